#include "http/url.h"

namespace
{

int hex_digit(char c)
{
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return 0;
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
