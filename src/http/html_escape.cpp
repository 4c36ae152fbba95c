#include "http/html_escape.h"

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
        // U+0080 to U+009F are 0xC2 0x80 to 0xC2 0x9F in UTF-8.
        if (byte == 0xC2 && i + 1 < text.size() &&
            static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
            static_cast<unsigned char>(text[i + 1]) <= 0x9F) {
            ++i;
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
