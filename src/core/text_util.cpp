#include "core/text_util.h"

#include <cctype>
#include <cstdint>
#include <cstdio>

namespace
{

char ascii_lower(char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

} // namespace

bool equal_nocase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (ascii_lower(a[i]) != ascii_lower(b[i])) {
            return false;
        }
    }
    return true;
}

bool starts_with_nocase(std::string_view text, std::string_view prefix)
{
    return text.size() >= prefix.size() && equal_nocase(text.substr(0, prefix.size()), prefix);
}

bool ends_with_nocase(std::string_view text, std::string_view suffix)
{
    return text.size() >= suffix.size() &&
           equal_nocase(text.substr(text.size() - suffix.size()), suffix);
}

bool contains_nocase(std::string_view text, std::string_view part)
{
    for (size_t at = 0; at + part.size() <= text.size(); ++at) {
        if (equal_nocase(text.substr(at, part.size()), part)) {
            return true;
        }
    }
    return false;
}

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
