#include "core/settings.h"
#include "core/titles.h"

#include <gtest/gtest.h>

namespace
{

class Titles : public ::testing::Test
{
protected:
    void SetUp() override
    {
        setting_set(KEY_ADAPTCASE, "1");
    }
    void TearDown() override
    {
        setting_set(KEY_ADAPTCASE, "1");
    }
};

TEST_F(Titles, AdaptCaseCapitalisesWordsAndRomanNumerals)
{
    struct Row {
        const char* in;
        const char* out;
    } rows[] = {
        {"rocky iv", "Rocky IV"},
        {"the the", "The, The"},
        {"the beatles", "Beatles, The"},
        {"DIE ÄRZTE", "Ärzte, Die"},
        {"das boot", "Boot, Das"},
        {"mix tape", "Mix Tape"},
        {"vivid xiv", "Vivid XIV"},
        {"AC-DC (live)[remaster]", "Ac-Dc (Live)[Remaster]"},
        {"rock&roll.part ii", "Rock&Roll.Part II"},
        {"caf\xe9 \xe9t\xe9", "Caf\xe9 \xe9t\xe9"},
        {"theory", "Theory"},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(adapt_case(row.in), row.out) << row.in;
    }
}

TEST_F(Titles, AdaptCaseOffLeavesTitleAlone)
{
    setting_set(KEY_ADAPTCASE, "0");
    EXPECT_EQ(adapt_case("the beatles"), "the beatles");
    EXPECT_EQ(title_from_filename("/m/the beatles.mp3"), "the beatles");
}

TEST_F(Titles, RomanNumeralsEndAtABlank)
{
    EXPECT_TRUE(is_roman_numeral("xiv"));
    EXPECT_TRUE(is_roman_numeral("IV rest"));
    EXPECT_FALSE(is_roman_numeral("ivy"));
    EXPECT_FALSE(is_roman_numeral("iv)"));
}

TEST_F(Titles, TitleFromFileName)
{
    EXPECT_EQ(title_from_filename("/m/02 - the dark side.mp3"), "02 - The Dark Side");
    EXPECT_EQ(title_from_filename("/m/.mp3"), "No Title");
    EXPECT_EQ(title_from_filename("noext"), "Noext");
    EXPECT_EQ(title_from_filename("/m/a.b.c"), "A.B");
}

TEST_F(Titles, AdaptCaseWorksOnCharacters)
{
    struct Row {
        const char* in;
        const char* out;
    } rows[] = {
        {"\u00E9lan vital", "\u00C9lan Vital"},
        {"\u0434\u043E\u0440\u043E\u0433\u0430", "\u0414\u043E\u0440\u043E\u0433\u0430"},
        {"\u039A\u0391\u039B\u0397 \u03BD\u03CD\u03C7\u03C4\u03B1",
         "\u039A\u03B1\u03BB\u03B7 \u039D\u03CD\u03C7\u03C4\u03B1"},
        {"CR\u00C8ME BR\u00DBL\u00C9E", "Cr\u00E8me Br\u00FBl\u00E9e"},
        {"\u00FFes", "\u0178es"},
        {"\u6771\u4EAC tower ii", "\u6771\u4EAC Tower II"},
        {"the \u00E9cole", "\u00C9cole, The"},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(adapt_case(row.in), row.out) << row.in;
    }
    // A long title of two-byte letters keeps every character whole.
    std::string long_title;
    std::string expected = "\u00C9";
    for (int i = 0; i < 500; ++i) {
        long_title += i % 2 ? "\u00C9" : "\u00E9";
    }
    for (int i = 1; i < 500; ++i) {
        expected += "\u00E9";
    }
    EXPECT_EQ(adapt_case(long_title), expected);
}

TEST_F(Titles, TitleFromFileNameOfAnyEncoding)
{
    EXPECT_EQ(title_from_filename("/m/cr\xE8me.mp3"), "Cr\u00E8me") << "Latin-1 name";
    EXPECT_EQ(title_from_filename("/m/cr\u00E8me br\u00FBl\u00E9e.mp3"),
              "Cr\u00E8me Br\u00FBl\u00E9e")
        << "UTF-8 name";
    EXPECT_EQ(title_from_filename("/\u00E9t\u00E9/\u0434\u043E\u0440\u043E\u0433\u0430.ogg"),
              "\u0414\u043E\u0440\u043E\u0433\u0430");
}

} // namespace
