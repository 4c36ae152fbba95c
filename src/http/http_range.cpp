#include "http/http_range.h"

#include "core/text_util.h"
#include "http/http_connection.h"

#include <cstring>
#include <limits>

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

namespace
{

HttpRange range_of(std::string_view head, const HttpHead& split)
{
    HttpRange range;
    // The values are views into the NUL-terminated head; a walk stops at the
    // end of the line.
    if (http_head_has(split, HttpField::Range)) {
        range.source = RangeSource::Bytes;
        walk_range(http_head_field(head, split, HttpField::Range).data(), range,
                   [](const char* text) {
                       // A suffix "-0" asks for no bytes at all; read as a
                       // start of 0 it would ask for the first byte.
                       const int64_t value = parse_int64(text);
                       return text[0] == '-' && value == 0 ? -1 : value;
                   });
    } else {
        HttpField time_field = HttpField::TimeSeekRange;
        if (!http_head_has(split, time_field)) {
            time_field = HttpField::SeekRange;
        }
        if (http_head_has(split, time_field)) {
            range.source = time_field == HttpField::TimeSeekRange ? RangeSource::TimeSeek
                                                                  : RangeSource::SeekRange;
            walk_range(http_head_field(head, split, time_field).data(), range,
                       http_parse_play_time);
        }
    }
    if (range.start > range.end && range.end >= 0) {
        range.end = range.start;
    }
    return range;
}

} // namespace

HttpRange http_parse_range(const char* head)
{
    HttpHead split;
    if (!head || http_split_head(head, split).status != HeadSplit::Ok) {
        return HttpRange{};
    }
    return range_of(head, split);
}

HttpRange http_request_range(const HttpConnection* c)
{
    if (c->range_override >= 0) {
        HttpRange range;
        range.start = c->range_override;
        range.source = RangeSource::Resume;
        return range;
    }
    return range_of(c->head.data(), c->fields);
}

HttpByteSpan http_byte_span(const HttpRange& range, int64_t total)
{
    HttpByteSpan span;
    total = total < 0 ? 0 : total;
    span.end = total - 1;
    span.length = total;
    if (range.start == -1 && range.end == -1) {
        return span;
    }
    span.partial = true;
    int64_t start = range.start;
    int64_t end = range.end;
    if (start < 0) {
        // A suffix: the last end bytes (all of them when the body is shorter).
        const int64_t suffix = end < 0 ? 0 : end;
        start = suffix >= total ? 0 : total - suffix;
        end = total - 1;
        if (suffix == 0) {
            span.satisfiable = false;
            span.length = 0;
            return span;
        }
    }
    if (start >= total) {
        span.satisfiable = false;
        span.start = start;
        span.length = 0;
        return span;
    }
    if (end < 0 || end >= total) {
        end = total - 1;
    }
    if (end < start) {
        end = start;
    }
    span.start = start;
    span.end = end;
    span.length = end - start + 1; // 0 <= start <= end < total: no overflow
    return span;
}

namespace
{

int64_t saturating_multiply(int64_t a, int64_t b)
{
    int64_t product = 0;
    if (__builtin_mul_overflow(a, b, &product)) {
        return (a < 0) != (b < 0) ? std::numeric_limits<int64_t>::min()
                                  : std::numeric_limits<int64_t>::max();
    }
    return product;
}

} // namespace

HttpRange http_time_range_to_bytes(const HttpRange& range, int64_t total, int64_t duration_ms)
{
    if (!range.is_time() || duration_ms <= 0 || range.start < 0) {
        return range;
    }
    const int64_t bytes_per_ms = total / duration_ms;
    HttpRange bytes = range;
    bytes.source = RangeSource::Bytes;
    bytes.start = saturating_multiply(bytes_per_ms, range.start);
    if (range.end >= 0) {
        bytes.end = saturating_multiply(bytes_per_ms, range.end);
    }
    return bytes;
}
