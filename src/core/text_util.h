// Small text helpers shared by the HTTP engine, the control point answers and
// the media readers.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>
#include <string_view>
#include <utility>

// First position where needle matches ignoring ASCII case, or null (also null
// when either is null). Header lookups go through it.
const char* str_find_nocase(const char* haystack, const char* needle);

// Comparisons in which ASCII letters match without their case and every other
// byte (NUL and UTF-8 included) only itself: names of fields, files, types.
bool equal_nocase(std::string_view a, std::string_view b);
bool starts_with_nocase(std::string_view text, std::string_view prefix);
bool ends_with_nocase(std::string_view text, std::string_view suffix);
bool contains_nocase(std::string_view text, std::string_view part);

// The value of a hexadecimal digit (either case), or -1.
int hex_value(char c);

// "%d" of n.
std::string int_to_text(int n);

// An optional '+', then an optional '-', then decimal digits up to the first
// non-digit; 0 for null or no digits. Beyond the 64-bit range the value
// saturates at INT64_MAX (or its negation).
int64_t parse_int64(const char* text);

// Seeds the C random generator with seed, then count times swaps the element
// at rand() mod count with the one at rand() mod count. The same seed gives
// the same order, which the shuffled browse pages rely on.
template <typename T> void shuffle(std::span<T> items, unsigned seed)
{
    if (items.empty()) {
        return;
    }
    srand(seed);
    const size_t count = items.size();
    for (size_t i = 0; i < count; ++i) {
        size_t a = static_cast<size_t>(rand()) % count;
        size_t b = static_cast<size_t>(rand()) % count;
        std::swap(items[a], items[b]);
    }
}
