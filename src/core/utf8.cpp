#include "core/utf8.h"

#include <string_view>

namespace
{

bool in(char32_t cp, char32_t first, char32_t last)
{
    return cp >= first && cp <= last;
}

bool is_even(char32_t cp)
{
    return (cp & 1) == 0;
}

// Base letters of U+00C0..U+00FF and U+0100..U+017F; '.' where the character
// is not a letter (the multiplication and division signs).
constexpr std::string_view kLatin1Bases = "AAAAAAACEEEEIIIIDNOOOOO.OUUUUYTS"
                                          "AAAAAAACEEEEIIIIDNOOOOO.OUUUUYTY";
constexpr std::string_view kLatinExtendedABases = "AAAAAACCCCCCCCDDDDEEEEEEEEEEGGGGGGGGHHHH"
                                                  "IIIIIIIIIIIIJJKKKLLLLLLLLLLNNNNNNNNNOOOOOO"
                                                  "OORRRRRRSSSSSSSSTTTTTTUUUUUUUUUUUUWWYYYZZZ"
                                                  "ZZZS";
static_assert(kLatin1Bases.size() == 0x40);
static_assert(kLatinExtendedABases.size() == 0x80);

} // namespace

char32_t utf8_next(std::string_view text, size_t& pos)
{
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(pos);
    if (lead < 0x80) {
        ++pos;
        return lead;
    }
    size_t length = 0;
    char32_t cp = 0;
    char32_t minimum = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        cp = lead & 0x1F;
        minimum = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        cp = lead & 0x0F;
        minimum = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        cp = lead & 0x07;
        minimum = 0x10000;
    } else {
        ++pos;
        return kUtf8Replacement;
    }
    if (text.size() - pos < length) {
        ++pos;
        return kUtf8Replacement;
    }
    for (size_t i = 1; i < length; ++i) {
        const unsigned char next = byte(pos + i);
        if ((next & 0xC0) != 0x80) {
            ++pos;
            return kUtf8Replacement;
        }
        cp = (cp << 6) | (next & 0x3F);
    }
    if (cp < minimum || cp > 0x10FFFF || in(cp, 0xD800, 0xDFFF)) {
        ++pos;
        return kUtf8Replacement;
    }
    pos += length;
    return cp;
}

void utf8_append(std::string& out, char32_t cp)
{
    if (cp > 0x10FFFF || in(cp, 0xD800, 0xDFFF)) {
        cp = kUtf8Replacement;
    }
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

bool utf8_valid(std::string_view text)
{
    size_t pos = 0;
    while (pos < text.size()) {
        if (static_cast<unsigned char>(text[pos]) < 0x80) {
            ++pos;
            continue;
        }
        const size_t start = pos;
        if (utf8_next(text, pos) == kUtf8Replacement && pos == start + 1) {
            return false;
        }
    }
    return true;
}

std::string utf8_from_latin1(std::string_view text)
{
    std::string out;
    out.reserve(text.size() + text.size() / 4);
    for (char c : text) {
        utf8_append(out, static_cast<unsigned char>(c));
    }
    return out;
}

std::string utf8_from_unknown(std::string_view text)
{
    return utf8_valid(text) ? std::string(text) : utf8_from_latin1(text);
}

std::string utf8_repair(std::string_view text)
{
    if (utf8_valid(text)) {
        return std::string(text);
    }
    std::string out;
    out.reserve(text.size() + 8);
    size_t pos = 0;
    while (pos < text.size()) {
        utf8_append(out, utf8_next(text, pos));
    }
    return out;
}

std::string utf8_from_utf16(std::string_view bytes, bool big_endian, bool allow_bom)
{
    size_t pos = 0;
    const auto unit = [&](size_t at) -> char32_t {
        const auto a = static_cast<unsigned char>(bytes[at]);
        const auto b = static_cast<unsigned char>(bytes[at + 1]);
        return big_endian ? (a << 8) | b : (b << 8) | a;
    };
    if (allow_bom && bytes.size() >= 2) {
        const auto a = static_cast<unsigned char>(bytes[0]);
        const auto b = static_cast<unsigned char>(bytes[1]);
        if (a == 0xFF && b == 0xFE) {
            big_endian = false;
            pos = 2;
        } else if (a == 0xFE && b == 0xFF) {
            big_endian = true;
            pos = 2;
        }
    }
    std::string out;
    out.reserve(bytes.size());
    while (pos + 1 < bytes.size()) {
        char32_t cp = unit(pos);
        pos += 2;
        if (cp == 0) {
            break;
        }
        if (in(cp, 0xD800, 0xDBFF)) {
            if (pos + 1 < bytes.size() && in(unit(pos), 0xDC00, 0xDFFF)) {
                cp = 0x10000 + ((cp - 0xD800) << 10) + (unit(pos) - 0xDC00);
                pos += 2;
            } else {
                cp = kUtf8Replacement;
            }
        } else if (in(cp, 0xDC00, 0xDFFF)) {
            cp = kUtf8Replacement;
        }
        utf8_append(out, cp);
    }
    return out;
}

std::string utf8_to_latin1(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    size_t pos = 0;
    while (pos < text.size()) {
        const char32_t cp = utf8_next(text, pos);
        out += cp <= 0xFF ? static_cast<char>(cp) : '?';
    }
    return out;
}

size_t utf8_cut(std::string_view text, size_t max)
{
    if (text.size() <= max) {
        return text.size();
    }
    size_t cut = max;
    // Step back over continuation bytes, at most three: a longer run is not
    // one character anyway.
    for (int back = 0;
         back < 3 && cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80; ++back) {
        --cut;
    }
    if ((static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) {
        return max;
    }
    return cut;
}

size_t utf8_complete_prefix(std::string_view text)
{
    size_t start = text.size();
    for (int back = 0;
         back < 3 && start > 0 && (static_cast<unsigned char>(text[start - 1]) & 0xC0) == 0x80;
         ++back) {
        --start;
    }
    if (start == 0) {
        return text.size();
    }
    const unsigned char lead = static_cast<unsigned char>(text[start - 1]);
    if (lead < 0xC0) {
        return text.size();
    }
    const size_t needed = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
    return text.size() - (start - 1) < needed ? start - 1 : text.size();
}

char32_t utf8_lower_char(char32_t cp)
{
    if (cp < 0x80) {
        return in(cp, 'A', 'Z') ? cp + 32 : cp;
    }
    if (in(cp, 0xC0, 0xDE) && cp != 0xD7) {
        return cp + 32;
    }
    if (in(cp, 0x100, 0x17F)) {
        if (cp == 0x130) {
            return 'i';
        }
        if (cp == 0x178) {
            return 0xFF;
        }
        const bool even_upper = in(cp, 0x100, 0x137) || in(cp, 0x14A, 0x177);
        const bool odd_upper = in(cp, 0x139, 0x148) || in(cp, 0x179, 0x17E);
        if ((even_upper && is_even(cp)) || (odd_upper && !is_even(cp))) {
            return cp + 1;
        }
        return cp;
    }
    if (in(cp, 0x370, 0x3FF)) {
        if (cp == 0x386) {
            return 0x3AC;
        }
        if (in(cp, 0x388, 0x38A)) {
            return cp + 37;
        }
        if (cp == 0x38C) {
            return 0x3CC;
        }
        if (in(cp, 0x38E, 0x38F)) {
            return cp + 63;
        }
        if (in(cp, 0x391, 0x3AB) && cp != 0x3A2) {
            return cp + 32;
        }
        return cp;
    }
    if (in(cp, 0x400, 0x52F)) {
        if (in(cp, 0x400, 0x40F)) {
            return cp + 80;
        }
        if (in(cp, 0x410, 0x42F)) {
            return cp + 32;
        }
        if (cp == 0x4C0) {
            return 0x4CF;
        }
        const bool even_upper =
            in(cp, 0x460, 0x481) || in(cp, 0x48A, 0x4BF) || in(cp, 0x4D0, 0x52F);
        if ((even_upper && is_even(cp)) || (in(cp, 0x4C1, 0x4CE) && !is_even(cp))) {
            return cp + 1;
        }
        return cp;
    }
    if (in(cp, 0x531, 0x556)) {
        return cp + 48;
    }
    if (in(cp, 0xFF21, 0xFF3A)) {
        return cp + 32;
    }
    return cp;
}

char32_t utf8_upper_char(char32_t cp)
{
    if (cp < 0x80) {
        return in(cp, 'a', 'z') ? cp - 32 : cp;
    }
    if (in(cp, 0xE0, 0xFE) && cp != 0xF7) {
        return cp - 32;
    }
    if (cp == 0xFF) {
        return 0x178;
    }
    if (in(cp, 0x100, 0x17F)) {
        if (cp == 0x131) {
            return 'I';
        }
        if (cp == 0x17F) {
            return 'S';
        }
        const bool odd_lower = in(cp, 0x100, 0x137) || in(cp, 0x14A, 0x177);
        const bool even_lower = in(cp, 0x139, 0x148) || in(cp, 0x179, 0x17E);
        if ((odd_lower && !is_even(cp)) || (even_lower && is_even(cp) && cp != 0x138)) {
            return cp - 1;
        }
        return cp;
    }
    if (in(cp, 0x370, 0x3FF)) {
        if (cp == 0x3AC) {
            return 0x386;
        }
        if (in(cp, 0x3AD, 0x3AF)) {
            return cp - 37;
        }
        if (cp == 0x3CC) {
            return 0x38C;
        }
        if (in(cp, 0x3CD, 0x3CE)) {
            return cp - 63;
        }
        if (cp == 0x3C2) {
            return 0x3A3;
        }
        if (in(cp, 0x3B1, 0x3CB)) {
            return cp - 32;
        }
        return cp;
    }
    if (in(cp, 0x400, 0x52F)) {
        if (in(cp, 0x450, 0x45F)) {
            return cp - 80;
        }
        if (in(cp, 0x430, 0x44F)) {
            return cp - 32;
        }
        if (cp == 0x4CF) {
            return 0x4C0;
        }
        const bool odd_lower = in(cp, 0x460, 0x481) || in(cp, 0x48A, 0x4BF) || in(cp, 0x4D0, 0x52F);
        if ((odd_lower && !is_even(cp)) || (in(cp, 0x4C1, 0x4CE) && is_even(cp))) {
            return cp - 1;
        }
        return cp;
    }
    if (in(cp, 0x561, 0x586)) {
        return cp - 48;
    }
    if (in(cp, 0xFF41, 0xFF5A)) {
        return cp - 32;
    }
    return cp;
}

char32_t utf8_fold_char(char32_t cp)
{
    if (cp == 0x3C2) {
        return 0x3C3;
    }
    if (cp == 0x17F) {
        return 's';
    }
    return utf8_lower_char(cp);
}

std::string utf8_fold(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    size_t pos = 0;
    while (pos < text.size()) {
        const unsigned char c = static_cast<unsigned char>(text[pos]);
        if (c < 0x80) {
            out += static_cast<char>(in(c, 'A', 'Z') ? c + 32 : c);
            ++pos;
            continue;
        }
        utf8_append(out, utf8_fold_char(utf8_next(text, pos)));
    }
    return out;
}

int utf8_casecmp(std::string_view a, std::string_view b)
{
    size_t i = 0;
    size_t j = 0;
    while (i < a.size() && j < b.size()) {
        const unsigned char ca = static_cast<unsigned char>(a[i]);
        const unsigned char cb = static_cast<unsigned char>(b[j]);
        char32_t x = 0;
        char32_t y = 0;
        if (ca < 0x80 && cb < 0x80) {
            // Most titles are ASCII: no decoding.
            x = in(ca, 'A', 'Z') ? ca + 32 : ca;
            y = in(cb, 'A', 'Z') ? cb + 32 : cb;
            ++i;
            ++j;
        } else {
            x = utf8_fold_char(utf8_next(a, i));
            y = utf8_fold_char(utf8_next(b, j));
        }
        if (x != y) {
            return x < y ? -1 : 1;
        }
    }
    const bool a_left = i < a.size();
    const bool b_left = j < b.size();
    return a_left == b_left ? 0 : (a_left ? 1 : -1);
}

bool utf8_starts_with_nocase(std::string_view text, std::string_view prefix)
{
    size_t i = 0;
    size_t j = 0;
    while (j < prefix.size()) {
        if (i >= text.size()) {
            return false;
        }
        if (utf8_fold_char(utf8_next(text, i)) != utf8_fold_char(utf8_next(prefix, j))) {
            return false;
        }
    }
    return true;
}

bool utf8_contains_folded(std::string_view text, std::string_view folded_needle)
{
    if (folded_needle.empty()) {
        return true;
    }
    const unsigned char first = static_cast<unsigned char>(folded_needle[0]);
    size_t start = 0;
    while (start < text.size()) {
        const unsigned char lead = static_cast<unsigned char>(text[start]);
        if (lead < 0x80) {
            // Most texts are ASCII: positions whose first byte cannot match
            // are passed without decoding.
            if (first < 0x80 && (in(lead, 'A', 'Z') ? lead + 32 : lead) != first) {
                ++start;
                continue;
            }
        }
        size_t i = start;
        size_t j = 0;
        bool match = true;
        while (j < folded_needle.size()) {
            if (i >= text.size()) {
                // Every later start has fewer characters left still.
                return false;
            }
            const unsigned char a = static_cast<unsigned char>(text[i]);
            const unsigned char b = static_cast<unsigned char>(folded_needle[j]);
            char32_t x = 0;
            char32_t y = 0;
            if (a < 0x80 && b < 0x80) {
                x = in(a, 'A', 'Z') ? a + 32 : a;
                y = b;
                ++i;
                ++j;
            } else {
                x = utf8_fold_char(utf8_next(text, i));
                y = utf8_next(folded_needle, j);
            }
            if (x != y) {
                match = false;
                break;
            }
        }
        if (match) {
            return true;
        }
        if (lead < 0x80) {
            ++start;
        } else {
            utf8_next(text, start);
        }
    }
    return false;
}

namespace
{

// What a character counts as before accents are looked at.
char32_t collation_base(char32_t folded)
{
    const char base = utf8_latin_base_letter(folded);
    return base ? static_cast<char32_t>(base + 32) : folded;
}

} // namespace

int utf8_collate(std::string_view a, std::string_view b)
{
    size_t i = 0;
    size_t j = 0;
    // The first difference in accents, decided only when the letters tie.
    int accents = 0;
    while (i < a.size() && j < b.size()) {
        const unsigned char ca = static_cast<unsigned char>(a[i]);
        const unsigned char cb = static_cast<unsigned char>(b[j]);
        if (ca < 0x80 && cb < 0x80) {
            // Most titles are ASCII: no decoding, no table.
            const int x = in(ca, 'A', 'Z') ? ca + 32 : ca;
            const int y = in(cb, 'A', 'Z') ? cb + 32 : cb;
            if (x != y) {
                return x < y ? -1 : 1;
            }
            ++i;
            ++j;
            continue;
        }
        const char32_t x = utf8_fold_char(utf8_next(a, i));
        const char32_t y = utf8_fold_char(utf8_next(b, j));
        if (x == y) {
            continue;
        }
        const char32_t base_x = collation_base(x);
        const char32_t base_y = collation_base(y);
        if (base_x != base_y) {
            return base_x < base_y ? -1 : 1;
        }
        if (accents == 0) {
            accents = x < y ? -1 : 1;
        }
    }
    const bool a_left = i < a.size();
    const bool b_left = j < b.size();
    if (a_left != b_left) {
        return a_left ? 1 : -1;
    }
    return accents;
}

char utf8_latin_base_letter(char32_t cp)
{
    char base = 0;
    if (in(cp, 'A', 'Z')) {
        base = static_cast<char>(cp);
    } else if (in(cp, 'a', 'z')) {
        base = static_cast<char>(cp - 32);
    } else if (in(cp, 0xC0, 0xFF)) {
        base = kLatin1Bases[cp - 0xC0];
    } else if (in(cp, 0x100, 0x17F)) {
        base = kLatinExtendedABases[cp - 0x100];
    } else if (in(cp, 0xFF21, 0xFF3A)) {
        base = static_cast<char>(cp - 0xFF21 + 'A');
    } else if (in(cp, 0xFF41, 0xFF5A)) {
        base = static_cast<char>(cp - 0xFF41 + 'A');
    }
    return base == '.' ? 0 : base;
}
