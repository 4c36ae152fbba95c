#include "eventing/callback_urls.h"

#include <arpa/inet.h>
#include <strings.h>

namespace
{

constexpr std::string_view kScheme = "http://";

bool is_blank(char c)
{
    return c == ' ' || c == '\t';
}

// A port of one to five digits, 1 to 65535.
bool parse_port(std::string_view text, uint16_t& port)
{
    if (text.empty() || text.size() > 5) {
        return false;
    }
    unsigned value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    if (value == 0 || value > 65535) {
        return false;
    }
    port = static_cast<uint16_t>(value);
    return true;
}

// One URL, the text between '<' and '>'.
bool parse_url(std::string_view url, CallbackUrl& out)
{
    if (url.size() < kScheme.size() ||
        strncasecmp(url.data(), kScheme.data(), kScheme.size()) != 0) {
        return false;
    }
    url.remove_prefix(kScheme.size());
    const size_t slash = url.find('/');
    if (slash == std::string_view::npos) {
        return false;
    }
    const std::string_view authority = url.substr(0, slash);
    // Only a bare dotted address is taken: no user information, whose "@"
    // makes the host a matter of which parser reads it, and no name, which
    // could resolve to anyone.
    const size_t colon = authority.find(':');
    const std::string_view host = authority.substr(0, colon);
    if (colon != std::string_view::npos && !parse_port(authority.substr(colon + 1), out.port)) {
        return false;
    }
    char host_text[INET_ADDRSTRLEN];
    if (host.empty() || host.size() >= sizeof host_text) {
        return false;
    }
    host.copy(host_text, host.size());
    host_text[host.size()] = '\0';
    if (inet_pton(AF_INET, host_text, &out.address) != 1) {
        return false;
    }
    const std::string_view path = url.substr(slash);
    for (char c : path) {
        // The path goes into the NOTIFY request line as it is.
        if (static_cast<unsigned char>(c) <= ' ' || c == 0x7f) {
            return false;
        }
    }
    out.host_port = std::string(authority);
    out.path = std::string(path);
    return true;
}

} // namespace

bool callback_parse(std::string_view value, std::vector<CallbackUrl>& out)
{
    out.clear();
    size_t at = 0;
    while (out.size() < kMaxCallbackUrls) {
        while (at < value.size() && is_blank(value[at])) {
            ++at;
        }
        if (at == value.size()) {
            break;
        }
        const size_t close = value.find('>', at);
        CallbackUrl url;
        if (value[at] != '<' || close == std::string_view::npos ||
            !parse_url(value.substr(at + 1, close - at - 1), url)) {
            out.clear();
            return false;
        }
        out.push_back(std::move(url));
        at = close + 1;
    }
    return !out.empty();
}

bool callback_accept(std::string_view value, std::string_view subscriber,
                     std::vector<CallbackUrl>& out)
{
    char subscriber_text[INET_ADDRSTRLEN];
    in_addr own{};
    if (subscriber.size() >= sizeof subscriber_text) {
        out.clear();
        return false;
    }
    subscriber.copy(subscriber_text, subscriber.size());
    subscriber_text[subscriber.size()] = '\0';
    if (inet_pton(AF_INET, subscriber_text, &own) != 1 || !callback_parse(value, out)) {
        out.clear();
        return false;
    }
    for (const CallbackUrl& url : out) {
        if (url.address.s_addr != own.s_addr) {
            out.clear();
            return false;
        }
    }
    return true;
}

sockaddr_in callback_destination(const CallbackUrl& url)
{
    sockaddr_in destination{};
    destination.sin_family = AF_INET;
    destination.sin_addr = url.address;
    destination.sin_port = htons(url.port);
    return destination;
}
