#include "http/url.h"

#include <gtest/gtest.h>

namespace
{

TEST(UrlDecode, EscapesAndPlus)
{
    const std::pair<const char*, std::string> rows[] = {
        {"/file%3A%2Fmusic%2fa+b.mp3", "/file:/music/a b.mp3"},
        {"%zz", std::string(1, '\0')},
        {"abc%4", "abc%4"},
        {"abc%", "abc%"},
        {"%41%42", "AB"},
    };
    for (const auto& [in, out] : rows) {
        std::string text = in;
        url_decode(text);
        EXPECT_EQ(text, out.c_str()) << in;
    }
    char raw[] = "x%2";
    url_decode(raw);
    EXPECT_STREQ(raw, "x%2") << "a cut-off escape is copied unchanged";
    url_decode(static_cast<char*>(nullptr));
}

} // namespace
