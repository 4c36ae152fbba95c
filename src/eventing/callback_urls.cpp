#include "eventing/callback_urls.h"

#include "core/text_util.h"

std::vector<CallbackUrl> callback_urls(std::string_view callback)
{
    std::vector<CallbackUrl> urls;
    size_t at = 0;
    while ((at = callback.find("http:", at)) != std::string_view::npos) {
        const size_t host_start = at + 7; // after "http://"
        if (host_start > callback.size()) {
            break;
        }
        size_t end = callback.find('>', host_start);
        if (end == std::string_view::npos) {
            end = callback.size();
        }
        const std::string_view url = callback.substr(host_start, end - host_start);
        const size_t slash = url.find('/');
        if (slash == std::string_view::npos) {
            break;
        }
        const std::string_view authority = url.substr(0, slash);
        CallbackUrl target;
        target.host_port = std::string(authority);
        const size_t colon = authority.find(':');
        if (colon == std::string_view::npos) {
            target.host = std::string(authority);
        } else {
            target.host = std::string(authority.substr(0, colon));
            // A port out of range is no port: the connection fails.
            const int64_t port = parse_int64(std::string(authority.substr(colon + 1)).c_str());
            target.port = port > 0 && port <= 65535 ? static_cast<int>(port) : 0;
        }
        target.path = std::string(url.substr(slash));
        urls.push_back(std::move(target));
        at = end;
    }
    return urls;
}
