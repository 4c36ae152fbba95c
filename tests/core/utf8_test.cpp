#include "core/utf8.h"

#include <gtest/gtest.h>

TEST(Utf8, DecodingRefusesWhatIsNotACharacter)
{
    EXPECT_TRUE(utf8_valid("Caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x8E\xB5"));
    // Overlong slash, a surrogate, beyond U+10FFFF, a cut sequence, a stray
    // continuation byte, Latin-1.
    for (const char* bad :
         {"\xC0\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "ab\xE2\x82", "\x80", "Caf\xE9"}) {
        EXPECT_FALSE(utf8_valid(bad)) << bad;
    }
    EXPECT_EQ(utf8_repair("a\xE9z\xE2\x82"), "a\xEF\xBF\xBDz\xEF\xBF\xBD\xEF\xBF\xBD");
}

TEST(Utf8, SourceEncodingsBecomeUtf8)
{
    EXPECT_EQ(utf8_from_latin1("Caf\xE9 Cr\xE8me"), "Caf\xC3\xA9 Cr\xC3\xA8me");
    EXPECT_EQ(utf8_from_unknown("Cr\xC3\xA8me"), "Cr\xC3\xA8me");
    EXPECT_EQ(utf8_from_unknown("Cr\xE8me"), "Cr\xC3\xA8me");
    using namespace std::string_literals;
    // "Beyoncé" little-endian with a mark, big-endian without, then a G clef
    // as a surrogate pair, a lone surrogate and the NUL that ends the text.
    EXPECT_EQ(utf8_from_utf16("\xFF\xFE"
                              "B\0e\0y\0o\0n\0c\0\xE9\0"s,
                              true, true),
              "Beyonc\xC3\xA9");
    EXPECT_EQ(utf8_from_utf16("\0B\0\xE9"s, true, false), "B\xC3\xA9");
    EXPECT_EQ(utf8_from_utf16("\x34\xD8\x1E\xDD\x00\xDCx\0\0\0y\0"s, false, true),
              "\xF0\x9D\x84\x9E\xEF\xBF\xBDx");
    EXPECT_EQ(utf8_from_utf16("a\0b"s, false, true), "a");
    EXPECT_EQ(utf8_to_latin1("Caf\xC3\xA9 \xD0\x96"), "Caf\xE9 ?");
}

TEST(Utf8, CutsNeverSplitACharacter)
{
    const std::string text = "ab\xC3\xA9\xE2\x82\xAC";
    EXPECT_EQ(utf8_cut(text, 3), 2u);
    EXPECT_EQ(utf8_cut(text, 4), 4u);
    EXPECT_EQ(utf8_cut(text, 6), 4u);
    EXPECT_EQ(utf8_cut(text, 7), 7u);
    EXPECT_EQ(utf8_cut("\x80\x80\x80\x80\x80", 3), 3u);
}

TEST(Utf8, CaseIsFoldedForLatinGreekAndCyrillic)
{
    EXPECT_EQ(utf8_casecmp("CAF\xC3\x89", "caf\xC3\xA9"), 0);
    EXPECT_EQ(utf8_casecmp("\xCE\xA3\xCE\x9F\xCE\xA6\xCE\x99\xCE\x91", // ΣΟΦΙΑ
                           "\xCF\x83\xCE\xBF\xCF\x86\xCE\xB9\xCE\xB1"),
              0);
    EXPECT_EQ(utf8_casecmp("\xCE\xA3", "\xCF\x82"), 0);                 // final sigma
    EXPECT_EQ(utf8_casecmp("\xD0\x81\xD0\x96", "\xD1\x91\xD0\xB6"), 0); // ЁЖ, ёж
    EXPECT_EQ(utf8_casecmp("\xC5\x81\xC3\xB3"
                           "d\xC5\xBA",
                           "\xC5\x82\xC3\x93"
                           "D\xC5\xB9"),
              0);
    EXPECT_LT(utf8_casecmp("abc", "abd"), 0);
    EXPECT_LT(utf8_casecmp("ab", "abc"), 0);
    EXPECT_GT(utf8_casecmp("\xC3\xA9", "z"), 0);
    EXPECT_EQ(utf8_fold("\xC3\x89T\xC3\x89 \xD0\x9C\xD0\x98\xD0\xA0"),
              "\xC3\xA9t\xC3\xA9 \xD0\xBC\xD0\xB8\xD1\x80");
    EXPECT_TRUE(utf8_starts_with_nocase("\xC3\x89t\xC3\xA9", "\xC3\xA9T"));
    EXPECT_FALSE(utf8_starts_with_nocase("\xC3\x89", "\xC3\xA9t"));
    for (char32_t cp = 0; cp < 0x600; ++cp) {
        const char32_t lower = utf8_lower_char(cp);
        if (lower != cp) {
            EXPECT_EQ(static_cast<uint32_t>(utf8_upper_char(lower)),
                      static_cast<uint32_t>(cp == 0x130 ? U'I' : cp))
                << std::hex << static_cast<uint32_t>(cp);
        }
    }
}

TEST(Utf8, LatinLettersHaveTheirBaseLetter)
{
    EXPECT_EQ(utf8_latin_base_letter(U'\u00C9'), 'E');
    EXPECT_EQ(utf8_latin_base_letter(U'\u00E9'), 'E');
    EXPECT_EQ(utf8_latin_base_letter(U'\u00DF'), 'S');
    EXPECT_EQ(utf8_latin_base_letter(U'\u0141'), 'L');
    EXPECT_EQ(utf8_latin_base_letter(U'\u017D'), 'Z');
    EXPECT_EQ(utf8_latin_base_letter(U'q'), 'Q');
    EXPECT_EQ(utf8_latin_base_letter(U'\u00F7'), 0);
    EXPECT_EQ(utf8_latin_base_letter(U'\u0416'), 0);
    EXPECT_EQ(utf8_latin_base_letter(U'1'), 0);
}

TEST(Utf8, ContainsFoldedIgnoresCaseInEveryScript)
{
    struct Row {
        const char* text;
        const char* needle;
        bool found;
    } rows[] = {
        {"Caf\u00E9 Cr\u00E8me", "caf\u00E9", true},
        {"Caf\u00E9 Cr\u00E8me", "CAF\u00C9", true},
        {"Caf\u00E9 Cr\u00E8me", "cafe", false},
        {"\u0414\u043E\u0440\u043E\u0433\u0430", "\u0414\u041E\u0420\u041E\u0413\u0410", true},
        {"\u039F\u0394\u039F\u03A3", "\u03BF\u03B4\u03BF\u03C2", true},
        {"xxxxxy", "XXY", true},
        {"ab", "abc", false},
        {"\u6771\u4EAC", "\u4EAC", true},
        {"anything", "", true},
        {"", "a", false},
        {"I\u0307stanbul", "ISTAN", false},
        {"broken \xC3 byte", "BYTE", true},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(utf8_contains_folded(row.text, utf8_fold(row.needle)), row.found)
            << row.text << " / " << row.needle;
    }
}

TEST(Utf8, CollateOrdersByLettersThenAccents)
{
    const char* ordered[] = {
        "",
        "10cc",
        "Abba",
        "\u00C4rzte",
        "eagle",
        "\u00C9cole",
        "Elan",
        "\u00E9lan",
        "\u00C9LAN",
        "\u00E9lan vital",
        "zebra",
        "\u03B5\u03BB",
        "\u0434\u043E\u043C",
        "\u0414\u043E\u0440\u043E\u0433\u0430",
    };
    // "élan" and "ÉLAN" differ only by case: equal.
    for (size_t i = 0; i < std::size(ordered); ++i) {
        for (size_t j = 0; j < std::size(ordered); ++j) {
            const int expected = i == j ? 0 : i < j ? -1 : 1;
            const bool same_but_case = (i == 7 && j == 8) || (i == 8 && j == 7);
            const int got = utf8_collate(ordered[i], ordered[j]);
            EXPECT_EQ(got < 0   ? -1
                      : got > 0 ? 1
                                : 0,
                      same_but_case ? 0 : expected)
                << ordered[i] << " / " << ordered[j];
        }
    }
}

TEST(Utf8, CompletePrefixDropsOnlyACutSequence)
{
    EXPECT_EQ(utf8_complete_prefix("abc"), 3u);
    EXPECT_EQ(utf8_complete_prefix("ab\u00E9"), 4u);
    EXPECT_EQ(utf8_complete_prefix("ab\xC3"), 2u);
    EXPECT_EQ(utf8_complete_prefix("ab\xF0\x9F\x8E"), 2u);
    EXPECT_EQ(utf8_complete_prefix("ab\U0001F3B5"), 6u);
    EXPECT_EQ(utf8_complete_prefix("\xE6\x9D"), 0u);
    EXPECT_EQ(utf8_complete_prefix("Latin-1 \xE9"), 8u) << "a lone lead at the end goes";
    EXPECT_EQ(utf8_complete_prefix("\x80\x80"), 2u) << "no lead: nothing to judge";
}
