#include "http/html_escape.h"

#include "core/utf8.h"

namespace
{

bool is_forbidden_control(unsigned char byte)
{
    return (byte < 0x20 && byte != '\t' && byte != '\n' && byte != '\r') || byte == 0x7F;
}

} // namespace

void html_escape_append(std::string& out, std::string_view text)
{
    out.reserve(out.size() + text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte >= 0x80) {
            // Pages are UTF-8. A character passes whole, the C1 controls
            // (U+0080 to U+009F) are dropped, and bytes that are not UTF-8
            // show as U+FFFD rather than as whatever the browser guesses.
            size_t next = i;
            const char32_t cp = utf8_next(text, next);
            if (cp < 0x80 || cp > 0x9F) {
                utf8_append(out, cp);
            }
            i = next - 1;
            continue;
        }
        switch (byte) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        case '\'':
            out += "&#39;";
            break;
        default:
            if (!is_forbidden_control(byte)) {
                out += static_cast<char>(byte);
            }
        }
    }
}

std::string html_escape(std::string_view text)
{
    std::string out;
    html_escape_append(out, text);
    return out;
}
