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

} // namespace
