#include "core/time_util.h"

#include <cctype>
#include <chrono>
#include <cstdio>
#include <ctime>

uint32_t elapsed_ms()
{
    using Clock = std::chrono::steady_clock;
    static const Clock::time_point start = Clock::now();
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    return static_cast<uint32_t>(ms);
}

std::string http_date()
{
    static constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                              "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    time_t now = time(nullptr);
    tm utc{};
    gmtime_r(&now, &utc);
    char text[32];
    snprintf(text, sizeof text, "%s, %02d %s %04d %02d:%02d:%02d GMT", kDays[utc.tm_wday % 7],
             utc.tm_mday, kMonths[utc.tm_mon % 12], utc.tm_year + 1900, utc.tm_hour, utc.tm_min,
             utc.tm_sec);
    return text;
}

std::string format_duration(long ms)
{
    if (ms < 0) {
        ms = 0;
    }
    char text[32];
    snprintf(text, sizeof text, "%ld:%02ld:%02ld.%03ld", ms / 3600000, ms / 60000 % 60,
             ms / 1000 % 60, ms % 1000);
    return text;
}

std::string format_clock(long ms)
{
    if (ms < 0) {
        ms = 0;
    }
    char text[32];
    snprintf(text, sizeof text, "%02ld:%02ld:%02ld", ms / 3600000, ms / 60000 % 60, ms / 1000 % 60);
    return text;
}

namespace
{

// One "%d" conversion: blanks, an optional sign, at least one digit.
bool scan_int(const char*& p, long& out)
{
    const char* q = p;
    while (isspace(static_cast<unsigned char>(*q))) {
        ++q;
    }
    bool negative = false;
    if (*q == '+' || *q == '-') {
        negative = *q == '-';
        ++q;
    }
    if (!isdigit(static_cast<unsigned char>(*q))) {
        return false;
    }
    long n = 0;
    for (; isdigit(static_cast<unsigned char>(*q)); ++q) {
        if (n < 100000000) {
            n = n * 10 + (*q - '0');
        }
    }
    out = negative ? -n : n;
    p = q;
    return true;
}

} // namespace

long parse_duration(const char* text)
{
    if (!text) {
        return 0;
    }
    static constexpr char kSeparators[] = {':', ':', '.'};
    long fields[4] = {0, 0, 0, 0};
    const char* p = text;
    for (int i = 0; i < 4; ++i) {
        if (!scan_int(p, fields[i])) {
            break;
        }
        if (i < 3) {
            if (*p != kSeparators[i]) {
                break;
            }
            ++p;
        }
    }
    return fields[0] * 3600000 + fields[1] * 60000 + fields[2] * 1000 + fields[3];
}
