// What the relay reads of a remote source's answer, on arbitrary bytes: the
// head's fields and the client's type, the Location resolved against a
// station address, and the addresses a playlist body names. Whatever the
// relay would connect to next is an "http://" address without control
// bytes and within the length bound.
#include "delivery/relay_head.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

namespace
{

void check_address(const std::string& url)
{
    if (url.rfind("http://", 0) != 0) {
        abort();
    }
    for (const char ch : url) {
        if (static_cast<unsigned char>(ch) < 0x20 || ch == 0x7F) {
            abort();
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const char* const station = "http://127.0.0.1:8000/dir/station.mp3?sid=1";
    const RelayHead head = relay_parse_head(text);
    if (head.location.size() > kRelayUrlLimit) {
        abort();
    }
    if (const std::optional<std::string> type = relay_media_type(head, station)) {
        if (type->empty() || head.status != 200) {
            abort();
        }
    }
    relay_is_redirect(head);
    for (const std::string_view location : {std::string_view(head.location), text}) {
        if (const std::optional<std::string> next = relay_resolve_location(station, location)) {
            check_address(*next);
        }
    }
    const std::vector<std::string> candidates = relay_candidates(text, 8);
    if (candidates.size() > 8) {
        abort();
    }
    for (const std::string& c : candidates) {
        check_address(c);
        if (c.size() > kRelayUrlLimit) {
            abort();
        }
    }
    return 0;
}
