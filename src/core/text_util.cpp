#include "core/text_util.h"

#include <cctype>
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
    // Unsigned arithmetic: an absurdly long number wraps instead of being
    // undefined behaviour.
    uint64_t n = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        n = n * 10 + static_cast<uint64_t>(*p - '0');
    }
    return negative ? static_cast<int64_t>(0 - n) : static_cast<int64_t>(n);
}
