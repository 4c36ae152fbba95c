#include "http/url.h"

#include "core/text_util.h"

namespace
{

// Any character that is no hex digit counts as 0.
int hex_digit(char c)
{
    int v = hex_value(c);
    return v < 0 ? 0 : v;
}

} // namespace

void url_decode(char* text)
{
    if (!text) {
        return;
    }
    char* out = text;
    for (const char* in = text; *in;) {
        if (*in == '%' && in[1] && in[2]) {
            *out++ = static_cast<char>(hex_digit(in[1]) * 16 + hex_digit(in[2]));
            in += 3;
        } else if (*in == '+') {
            *out++ = ' ';
            ++in;
        } else {
            *out++ = *in++;
        }
    }
    *out = '\0';
}

void url_decode(std::string& text)
{
    url_decode(text.data());
    text.resize(std::char_traits<char>::length(text.data()));
}
