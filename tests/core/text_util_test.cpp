#include "core/file_io.h"
#include "core/text_util.h"
#include "support/temp_dir.h"

#include <array>
#include <gtest/gtest.h>
#include <memory>

namespace
{

TEST(TextUtil, FindIgnoringCase)
{
    const char* head = "GET / HTTP/1.1\r\nConnection: Keep-Alive\r\n";
    EXPECT_EQ(str_find_nocase(head, "\nconnection:"), head + 15);
    EXPECT_EQ(str_find_nocase(head, "KEEP-ALIVE\r\n"), head + 28);
    EXPECT_EQ(str_find_nocase(head, "close"), nullptr);
    EXPECT_EQ(str_find_nocase("ab", "abc"), nullptr);
    EXPECT_EQ(str_find_nocase(nullptr, "a"), nullptr);
    EXPECT_EQ(str_find_nocase("a", nullptr), nullptr);

    // Only ASCII letters fold; a NUL inside a view is a byte like any other,
    // and UTF-8 letters match only themselves.
    using namespace std::string_view_literals;
    EXPECT_TRUE(equal_nocase("Content-Type", "content-TYPE"));
    EXPECT_FALSE(equal_nocase("a\0b"sv, "a\0c"sv));
    EXPECT_FALSE(equal_nocase("\xc3\x89t\xc3\xa9", "\xc3\xa9t\xc3\xa9"));
    EXPECT_FALSE(equal_nocase("[", "{")) << "only letters differ by 0x20 as case";
    EXPECT_TRUE(starts_with_nocase("HTTP://host/", "http://"));
    EXPECT_FALSE(starts_with_nocase("htt", "http"));
    EXPECT_TRUE(ends_with_nocase("Song.FLAC", ".flac"));
    EXPECT_FALSE(ends_with_nocase("flac", ".flac"));
    EXPECT_TRUE(contains_nocase("Mozilla/4.0 (compatible; TerraTec)", "terratec"));
    EXPECT_TRUE(contains_nocase("", ""));
    EXPECT_FALSE(contains_nocase("Terra", "terratec"));
}

TEST(TextUtil, ParseInt64)
{
    EXPECT_EQ(parse_int64("500-100"), 500);
    EXPECT_EQ(parse_int64("+-42x"), -42);
    EXPECT_EQ(parse_int64("5000000000"), 5000000000LL);
    EXPECT_EQ(parse_int64("x1"), 0);
    EXPECT_EQ(parse_int64(nullptr), 0);
    // Beyond 64 bits the value saturates; wrapping would make it anything.
    EXPECT_EQ(parse_int64("99999999999999999999"), INT64_MAX);
    EXPECT_EQ(parse_int64("9223372036854775807"), INT64_MAX);
    EXPECT_EQ(parse_int64("-99999999999999999999"), -INT64_MAX);
    EXPECT_EQ(int_to_text(-17), "-17");
}

TEST(TextUtil, ShuffleIsRepeatableForASeed)
{
    std::array<int, 10> a{0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
    std::array<int, 10> b = a;
    shuffle(std::span<int>(a), 7u);
    shuffle(std::span<int>(b), 7u);
    EXPECT_EQ(a, b);
    std::array<int, 10> sorted = a;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(sorted, (std::array<int, 10>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9}));
    shuffle(std::span<int>(), 1u);
}

TEST(FileIo, CopyWholeFileToStream)
{
    TempDir dir;
    std::string content(40000, 'q');
    content[39999] = '!';
    write_text_file(dir.file("in.bin"), content);
    FILE* out = fopen(dir.file("out.bin").c_str(), "wb");
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(copy_file_to_stream(out, dir.file("in.bin")), 40000);
    EXPECT_EQ(copy_file_to_stream(out, dir.file("missing")), 0);
    fclose(out);
    EXPECT_EQ(read_text_file(dir.file("out.bin")), content);
}

} // namespace
