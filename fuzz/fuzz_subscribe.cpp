// A SUBSCRIBE head: its TIMEOUT, SID and CALLBACK fields through the parsers
// the handler uses, and the NOTIFY built for every URL. Every accepted
// callback URL must make delivery connect to exactly the host and port that
// the check accepted, as read independently from the raw text here.
#include "eventing/callback_urls.h"
#include "eventing/event_delivery.h"
#include "eventing/subscriptions.h"
#include "http/http_head.h"

#include <arpa/inet.h>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace
{

void check(bool condition)
{
    if (!condition) {
        abort();
    }
}

// The n-th "<...>" group of a callback value, read naively.
std::string_view raw_group(std::string_view value, size_t n)
{
    size_t at = 0;
    for (size_t i = 0;; ++i) {
        const size_t open = value.find('<', at);
        const size_t close = value.find('>', open == std::string_view::npos ? at : open);
        if (open == std::string_view::npos || close == std::string_view::npos) {
            abort();
        }
        if (i == n) {
            return value.substr(open + 1, close - open - 1);
        }
        at = close + 1;
    }
}

void check_accepted(std::string_view value, const char* subscriber)
{
    std::vector<CallbackUrl> urls;
    if (!callback_accept(value, subscriber, urls)) {
        check(urls.empty());
        return;
    }
    in_addr own{};
    check(inet_pton(AF_INET, subscriber, &own) == 1);
    check(!urls.empty() && urls.size() <= kMaxCallbackUrls);
    for (size_t i = 0; i < urls.size(); ++i) {
        const CallbackUrl& url = urls[i];
        const sockaddr_in to = callback_destination(url);
        check(to.sin_family == AF_INET && to.sin_addr.s_addr == own.s_addr);
        check(ntohs(to.sin_port) == url.port && url.port != 0);

        // The authority as written: "http://" up to the first '/'.
        std::string_view raw = raw_group(value, i);
        check(raw.size() > 7);
        raw.remove_prefix(7);
        const std::string_view authority = raw.substr(0, raw.find('/'));
        check(authority.find('@') == std::string_view::npos);
        check(authority == url.host_port);
        const size_t colon = authority.find(':');
        const std::string host(authority.substr(0, colon));
        in_addr written{};
        check(inet_pton(AF_INET, host.c_str(), &written) == 1 && written.s_addr == own.s_addr);
        const int written_port = colon == std::string_view::npos
                                     ? 80
                                     : atoi(std::string(authority.substr(colon + 1)).c_str());
        check(written_port == url.port);

        // The request line carries the path and nothing else.
        const std::string request = notify_request(url, "uuid:x", 0, "body");
        check(request.find("\r\n") == 16 + url.path.size());
        check(url.path.find_first_of(" \t\r\n") == std::string::npos);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);

    // The input as a bare callback value.
    std::vector<CallbackUrl> urls;
    if (callback_parse(text, urls)) {
        char subscriber[INET_ADDRSTRLEN];
        inet_ntop(AF_INET, &urls.front().address, subscriber, sizeof subscriber);
        check_accepted(text, subscriber);
    }

    // The input as a request head.
    HttpHead head;
    if (http_split_head(text, head).status != HeadSplit::Ok) {
        return 0;
    }
    const int granted =
        subscription_granted_timeout(http_head_field(text, head, HttpField::Timeout));
    check(granted >= 1 && granted <= kMaxSubscriptionTimeoutS);
    subscription_sid_well_formed(http_head_field(text, head, HttpField::Sid));
    const std::string_view callback = http_head_field(text, head, HttpField::Callback);
    check_accepted(callback, "127.0.0.1");
    if (callback_parse(callback, urls)) {
        char subscriber[INET_ADDRSTRLEN];
        inet_ntop(AF_INET, &urls.back().address, subscriber, sizeof subscriber);
        check_accepted(callback, subscriber);
    }
    return 0;
}
