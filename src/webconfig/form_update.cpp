#include "webconfig/form_update.h"

#include "http/url.h"

#include <cstdlib>
#include <vector>

namespace
{

// Where start begins a field: at the body's start or right after a '&'.
size_t field_start(std::string_view body, std::string_view start)
{
    for (size_t at = body.find(start); at != std::string_view::npos;
         at = body.find(start, at + 1)) {
        if (at == 0 || body[at - 1] == '&') {
            return at;
        }
    }
    return std::string_view::npos;
}

bool field_sent(std::string_view body, std::string_view name)
{
    return field_start(body, name) != std::string_view::npos;
}

std::string trim_blanks(std::string text)
{
    const size_t first = text.find_first_not_of(' ');
    if (first == std::string::npos) {
        return {};
    }
    const size_t last = text.find_last_not_of(' ');
    return text.substr(first, last - first + 1);
}

std::vector<std::string> split_list(std::string_view value)
{
    std::vector<std::string> items;
    if (value.empty()) {
        return items;
    }
    size_t at = 0;
    for (;;) {
        const size_t comma = value.find(',', at);
        items.emplace_back(value.substr(at, comma - at));
        if (comma == std::string_view::npos) {
            break;
        }
        at = comma + 1;
    }
    // "a," is one element: the writers of old leave a trailing comma.
    if (!items.empty() && items.back().empty()) {
        items.pop_back();
    }
    return items;
}

// The number after the n-th (from 0) "myselect=" field; 0 when missing.
int select_number(std::string_view body, int n)
{
    size_t at = 0;
    int seen = 0;
    for (size_t found = field_start(body, "myselect="); found != std::string_view::npos;) {
        if (seen == n) {
            at = found + 9;
            return atoi(std::string(body.substr(at, body.find('&', at) - at)).c_str());
        }
        ++seen;
        const size_t next = body.find("&myselect=", found + 1);
        found = next == std::string_view::npos ? next : next + 1;
    }
    return 0;
}

// A value kept by its box when its field is blank.
std::string kept_or_new(std::string_view body, std::string_view start, std::string_view end,
                        std::string_view keep_box, std::string_view current)
{
    const std::string value = form_single_value(body, start, end);
    if (!value.empty()) {
        return value;
    }
    return field_sent(body, keep_box) ? std::string(current) : std::string();
}

} // namespace

std::optional<std::string> form_field(std::string_view body, std::string_view start,
                                      std::string_view end)
{
    const size_t at = field_start(body, start);
    if (at == std::string_view::npos) {
        return std::nullopt;
    }
    const size_t value_start = at + start.size();
    const size_t value_end = end.empty() ? std::string_view::npos : body.find(end, value_start);
    std::string value(body.substr(value_start, value_end == std::string_view::npos
                                                   ? std::string_view::npos
                                                   : value_end - value_start));
    if (value.empty()) {
        return std::nullopt;
    }
    return value;
}

std::string form_value(std::string_view raw)
{
    std::string value(raw);
    url_decode(value);
    return trim_blanks(std::move(value));
}

std::string form_single_value(std::string_view body, std::string_view start, std::string_view end)
{
    const std::optional<std::string> raw = form_field(body, start, end);
    return raw ? form_value(*raw) : std::string();
}

std::string form_on_off(std::string_view body)
{
    const std::optional<std::string> value = form_field(body, "group1=", "&");
    return value && *value == "on" ? "1" : "0";
}

std::string form_list_update(std::string_view current, std::string_view body,
                             std::string_view new_start, std::string_view new_end)
{
    std::string out;
    const std::vector<std::string> items = split_list(current);
    for (size_t i = 0; i < items.size(); ++i) {
        if (field_sent(body, "C" + std::to_string(i) + "=")) {
            out += items[i] + ",";
        }
    }
    const std::string added = form_single_value(body, new_start, new_end);
    // A comma would split the new entry into two.
    if (!added.empty() && added.find(',') == std::string::npos) {
        out += added;
    }
    if (!out.empty() && out.back() == ',') {
        out.pop_back();
    }
    return out;
}

const char* form_sort_property(int number)
{
    static const char* const kProperties[] = {
        "dc:title",    "dc:date",    "upnp:originalTrackNumber",
        "upnp:artist", "dc:creator", "upnp:album",
        "upnp:genre",  "res"};
    return number >= 1 && number <= 8 ? kProperties[number - 1] : nullptr;
}

std::string form_sort_update(std::string_view body)
{
    std::string out;
    for (int row = 0; row < 2; ++row) {
        const char* property = form_sort_property(select_number(body, row));
        if (!property) {
            continue;
        }
        const bool ascending = field_sent(body, row == 0 ? "C0=" : "C1=");
        if (!out.empty()) {
            out += ",";
        }
        out += (ascending ? "+" : "-") + std::string(property);
    }
    return out;
}

FormPair form_kept_pair(std::string_view body, std::string_view first_field,
                        std::string_view second_field, std::string_view current_first,
                        std::string_view current_second)
{
    FormPair pair;
    pair.first = kept_or_new(body, first_field, "&", "C1=", current_first);
    pair.second = kept_or_new(body, second_field, "&", "C2=", current_second);
    return pair;
}
