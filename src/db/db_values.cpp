#include "db/db_values.h"

#include <cstdint>

namespace
{

bool is_continuation(char c)
{
    return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

bool is_lead(char c)
{
    return static_cast<unsigned char>(c) >= 0xC0;
}

// Where to cut text to at most max bytes. When the first byte left out
// continues a UTF-8 sequence that starts within three bytes before it, the
// whole sequence goes; otherwise (Latin-1 text) the cut is at max.
size_t cut_position(std::string_view text, size_t max)
{
    if (text.size() <= max) {
        return text.size();
    }
    size_t cut = max;
    for (int back = 0; back < 3 && cut > 0 && is_continuation(text[cut]); ++back) {
        --cut;
    }
    return cut < max && is_lead(text[cut]) ? cut : max;
}

} // namespace

std::string db_clean_text(std::string_view text, size_t max)
{
    // Past the bound plus the longest character the rest is cut anyway.
    const size_t enough = max > SIZE_MAX - 4 ? SIZE_MAX : max + 4;
    std::string out;
    out.reserve(text.size() < enough ? text.size() : enough);
    for (char c : text) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if (byte == '\t') {
            out += ' ';
        } else if (byte >= 32) {
            out += c;
        }
        if (out.size() > enough) {
            break;
        }
    }
    out.resize(cut_position(out, max));
    return out;
}

bool db_text_is_clean(std::string_view text)
{
    for (char c : text) {
        if (static_cast<unsigned char>(c) < 32) {
            return false;
        }
    }
    return true;
}

bool db_path_acceptable(std::string_view path)
{
    return !path.empty() && path.size() <= kDbMaxPath && db_text_is_clean(path);
}
