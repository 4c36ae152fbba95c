#include "core/text_util.h"

#include <cctype>
#include <cstdint>
#include <cstdio>

const char* str_find_nocase(const char* haystack, const char* needle)
{
    if (!haystack || !needle) {
        return nullptr;
    }
    if (!*needle) {
        return haystack;
    }
    const unsigned char first =
        static_cast<unsigned char>(tolower(static_cast<unsigned char>(*needle)));
    for (const char* h = haystack; *h; ++h) {
        if (static_cast<unsigned char>(tolower(static_cast<unsigned char>(*h))) != first) {
            continue;
        }
        const char* a = h;
        const char* b = needle;
        while (*a && *b &&
               tolower(static_cast<unsigned char>(*a)) == tolower(static_cast<unsigned char>(*b))) {
            ++a;
            ++b;
        }
        if (!*b) {
            return h;
        }
        if (!*a) {
            return nullptr;
        }
    }
    return nullptr;
}

int hex_value(char c)
{
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

std::string int_to_text(int n)
{
    char text[16];
    snprintf(text, sizeof text, "%d", n);
    return text;
}

int64_t parse_int64(const char* text)
{
    if (!text) {
        return 0;
    }
    const char* p = text;
    if (*p == '+') {
        ++p;
    }
    bool negative = false;
    if (*p == '-') {
        negative = true;
        ++p;
    }
    // An absurdly long number saturates: wrapping could turn it into any
    // value, a plausible byte offset among them.
    constexpr uint64_t kMax = static_cast<uint64_t>(INT64_MAX);
    uint64_t n = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        const auto digit = static_cast<uint64_t>(*p - '0');
        n = n > (kMax - digit) / 10 ? kMax : n * 10 + digit;
    }
    return negative ? -static_cast<int64_t>(n) : static_cast<int64_t>(n);
}
