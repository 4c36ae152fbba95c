// The check of the Host, Origin and Referer fields of state-changing
// requests, and the HTML escaper, on arbitrary field values: the input is
// split at its first two line ends into Host, Origin and Referer, each
// present when its part is not empty.
#include "http/html_escape.h"
#include "http/http_origin.h"

#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string_view rest(reinterpret_cast<const char*>(data), size);
    std::string_view parts[3];
    for (std::string_view& part : parts) {
        const size_t end = rest.find('\n');
        part = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    }
    OriginFields fields;
    fields.has_host = !parts[0].empty();
    fields.host = parts[0];
    fields.has_origin = !parts[1].empty();
    fields.origin = parts[1];
    fields.has_referer = !parts[2].empty();
    fields.referer = parts[2];
    for (const char* machine : {"", "nas"}) {
        fields.machine_name = machine;
        for (const char* base :
             {"http://127.0.0.1:9000/", "http://192.168.1.5:80/", "", "http://"}) {
            (void)http_origin_is_own(base, fields);
        }
    }
    // Nothing that could open markup survives the escaper.
    const std::string escaped =
        html_escape(std::string_view(reinterpret_cast<const char*>(data), size));
    if (escaped.find_first_of("<>\"'") != std::string::npos) {
        __builtin_trap();
    }
    return 0;
}
