#include "db/db_values.h"

#include "core/utf8.h"

#include <cstdint>

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
    // Readers hand over UTF-8; bytes in another encoding that slip through
    // would make every document showing them unreadable, so they become
    // U+FFFD here, before they reach the tree.
    if (!utf8_valid(out)) {
        out = utf8_repair(out);
    }
    out.resize(utf8_cut(out, max));
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
