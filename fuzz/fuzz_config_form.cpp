// The configuration forms: the input's first line is a setting's current
// value, the rest a POST body as a browser (or anyone else) sends it. Every
// update rule reads it; a list update may only keep elements it had and add
// at most one, and a sort value holds at most two properties.
#include "webconfig/form_update.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

namespace
{

size_t elements(std::string_view list)
{
    if (list.empty()) {
        return 0;
    }
    size_t n = 1;
    for (const char ch : list) {
        n += ch == ',' ? 1 : 0;
    }
    return n;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const size_t line_end = input.find('\n');
    const std::string_view current = input.substr(0, line_end);
    const std::string_view body =
        line_end == std::string_view::npos ? std::string_view() : input.substr(line_end + 1);

    for (const char* key : {"friendlyname=", "port=", "C0=", "myselect=", "set+dir="}) {
        if (const auto field = form_field(body, key, "&")) {
            if (field->empty() || field->size() > body.size()) {
                abort();
            }
            (void)form_value(*field);
        }
    }
    const std::string list = form_list_update(current, body, "set+dir=", "&");
    if (elements(list) > elements(current) + 1) {
        abort();
    }
    const std::string sort = form_sort_update(body);
    if (elements(sort) > 2) {
        abort();
    }
    (void)form_on_off(body);
    (void)form_kept_pair(body, "networkcard=", "serverip=", current, current);
    return 0;
}
