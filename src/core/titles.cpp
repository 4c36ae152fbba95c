#include "core/titles.h"

#include "core/settings.h"
#include "core/utf8.h"

#include <array>

namespace
{

bool is_word_separator(char c)
{
    switch (c) {
    case ' ':
    case '&':
    case '.':
    case ')':
    case '(':
    case '[':
    case ']':
    case '-':
        return true;
    default:
        return false;
    }
}

char ascii_upper(char c)
{
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

char ascii_lower(char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

} // namespace

bool is_roman_numeral(std::string_view word)
{
    size_t end = word.find(' ');
    if (end != std::string_view::npos) {
        word = word.substr(0, end);
    }
    for (char c : word) {
        switch (c) {
        case 'I':
        case 'V':
        case 'X':
        case 'i':
        case 'v':
        case 'x':
            break;
        default:
            return false;
        }
    }
    return true;
}

std::string adapt_case(std::string title)
{
    if (setting_int(KEY_ADAPTCASE) == 0 || title.empty()) {
        return title;
    }
    // Character by character: a case change may alter a character's length
    // in bytes ("ı" becomes "I"), so the result is written anew.
    std::string adapted;
    adapted.reserve(title.size());
    bool word_start = true;
    size_t i = 0;
    while (i < title.size()) {
        const char c = title[i];
        if (static_cast<unsigned char>(c) < 0x80) {
            ++i;
            if (is_word_separator(c)) {
                word_start = true;
                adapted += c;
                continue;
            }
            if (word_start && is_roman_numeral(std::string_view(title).substr(i - 1))) {
                // The flag stays set so that the whole numeral is upper-cased.
                adapted += ascii_upper(c);
                continue;
            }
            adapted += word_start ? ascii_upper(c) : ascii_lower(c);
            word_start = false;
            continue;
        }
        const size_t start = i;
        const char32_t cp = utf8_next(title, i);
        if (cp == kUtf8Replacement && i == start + 1) {
            // Not UTF-8: kept as it is, for the tree's own check to judge.
            adapted += c;
        } else {
            utf8_append(adapted, word_start ? utf8_upper_char(cp) : utf8_lower_char(cp));
        }
        word_start = false;
    }
    title = std::move(adapted);
    static constexpr std::array<std::string_view, 4> kArticles = {"The ", "Der ", "Die ", "Das "};
    for (std::string_view article : kArticles) {
        if (title.compare(0, article.size(), article) == 0) {
            std::string moved = title.substr(article.size());
            moved += ", ";
            moved += article.substr(0, article.size() - 1);
            return moved;
        }
    }
    return title;
}

std::string title_from_filename(std::string_view path)
{
    size_t slash = path.rfind('/');
    std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
    size_t dot = name.rfind('.');
    if (dot != std::string_view::npos) {
        name = name.substr(0, dot);
    }
    if (name.empty()) {
        return "No Title";
    }
    // File names carry no encoding: UTF-8 when they read as UTF-8, else
    // the Latin-1 of older systems.
    return adapt_case(utf8_from_unknown(name));
}
