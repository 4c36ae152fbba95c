#include "core/time_util.h"

#include <clocale>
#include <gtest/gtest.h>
#include <regex>

namespace
{

TEST(Durations, FormatAndParse)
{
    EXPECT_EQ(format_duration(3723004), "1:02:03.004");
    EXPECT_EQ(format_duration(0), "0:00:00.000");
    EXPECT_EQ(format_duration(360000000), "100:00:00.000");
    EXPECT_EQ(format_clock(3723004), "01:02:03");

    EXPECT_EQ(parse_duration("0:03:25.500"), 205500);
    EXPECT_EQ(parse_duration("0:03:25.5"), 205005) << "the fraction is a plain number of ms";
    EXPECT_EQ(parse_duration("1:00:00"), 3600000);
    EXPECT_EQ(parse_duration("2"), 7200000) << "a lone number is the hours field";
    EXPECT_EQ(parse_duration("x"), 0);
    EXPECT_EQ(parse_duration(nullptr), 0);
    EXPECT_EQ(parse_duration(format_duration(3723004).c_str()), 3723004);
}

TEST(Durations, HttpDateUsesEnglishNamesInAnyLocale)
{
    setlocale(LC_ALL, "de_DE.UTF-8"); // may be missing; the C names must come out anyway
    const std::string date = http_date();
    setlocale(LC_ALL, "C");
    const std::regex form(R"((Mon|Tue|Wed|Thu|Fri|Sat|Sun), \d\d )"
                          R"((Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) \d{4} )"
                          R"(\d\d:\d\d:\d\d GMT)");
    EXPECT_TRUE(std::regex_match(date, form)) << date;
}

TEST(Durations, ElapsedStartsAtFirstCallAndGrows)
{
    uint32_t first = elapsed_ms();
    uint32_t later = elapsed_ms();
    EXPECT_GE(later, first);
}

} // namespace
