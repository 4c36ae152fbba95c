#include "http/http_range.h"

#include "core/text_util.h"

#include <cstring>

namespace
{

bool is_digit(char c)
{
    return c >= '0' && c <= '9';
}

// Walks a range value: every '=' (re)starts the start value, the first '-'
// after it ends it, and a digit after that '-' starts the end value. Only the
// first range of a list counts.
template <typename Parse> void walk_range(const char* p, HttpRange& range, Parse parse)
{
    bool started = false;
    for (; *p && *p != '\r' && *p != '\n'; ++p) {
        if (*p == '=') {
            range.start = parse(p + 1);
            started = true;
        } else if (*p == '-' && started) {
            if (is_digit(p[1])) {
                range.end = parse(p + 1);
            }
            return;
        }
    }
}

} // namespace

int64_t http_parse_play_time(const char* p)
{
    int64_t total = 0;
    int64_t number = 0;
    int64_t unit = 3600000;
    bool fraction = false;
    int64_t fraction_ms = 0;
    int64_t fraction_scale = 100;
    for (; *p; ++p) {
        char c = *p;
        if (is_digit(c)) {
            if (fraction) {
                fraction_ms += (c - '0') * fraction_scale;
                fraction_scale /= 10;
            } else if (number < 100000000) {
                number = number * 10 + (c - '0');
            }
        } else if (c == ':' && !fraction) {
            total += number * unit;
            unit /= 60;
            number = 0;
        } else if (c == '.' && !fraction) {
            total += number * 1000;
            number = 0;
            fraction = true;
        } else if (c != ' ') {
            break;
        }
    }
    return fraction ? total + fraction_ms : total + number * 1000;
}

HttpRange http_parse_range(const char* head)
{
    HttpRange range;
    if (!head) {
        return range;
    }
    if (const char* field = str_find_nocase(head, "\nRange:")) {
        walk_range(field + 1, range, [](const char* text) { return parse_int64(text); });
    } else {
        const char* time_field = str_find_nocase(head, "TimeSeekRange.dlna.org:");
        if (!time_field) {
            time_field = str_find_nocase(head, "X-Seek-Range:");
        }
        if (time_field) {
            range.is_time = true;
            // Starting 12 characters in skips the '-' of "X-Seek-Range".
            walk_range(time_field + 12, range, http_parse_play_time);
        }
    }
    if (range.start > range.end && range.end >= 0) {
        range.end = range.start;
    }
    return range;
}
