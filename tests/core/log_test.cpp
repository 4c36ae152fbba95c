#include "core/log.h"
#include "core/settings.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>
#include <regex>
#include <unistd.h>

namespace
{

class Logging : public ::testing::Test
{
protected:
    void TearDown() override
    {
        log_close();
        setting_set(KEY_V, "0");
    }

    // Logs one line of each category at information level with "v" = mask.
    std::string info_lines_with_mask(const char* mask)
    {
        setting_set(KEY_V, mask);
        log_open_file(dir.file("log.txt").c_str());
        for (int category = 1; category <= 256; category <<= 1) {
            log_msg(LOG_INFO, category, "cat %d\n", category);
        }
        log_msg(LOG_INFO, LOG_CAT_SYSTEM | LOG_CAT_SSDP, "two bits\n");
        log_close();
        return read_text_file(dir.file("log.txt"));
    }

    TempDir dir;
};

TEST_F(Logging, MaskSelectsInformationCategories)
{
    EXPECT_EQ(info_lines_with_mask("0"), "");

    std::string some = info_lines_with_mask("10");
    EXPECT_NE(some.find("SSDP:cat 2\n"), std::string::npos);
    EXPECT_NE(some.find("HTTP:cat 8\n"), std::string::npos);
    EXPECT_EQ(some.find("cat 1\n"), std::string::npos);
    EXPECT_EQ(some.find("cat 4\n"), std::string::npos);
    EXPECT_EQ(some.find("two bits"), std::string::npos);

    EXPECT_EQ(info_lines_with_mask("2").find("two bits"), std::string::npos)
        << "a two-bit category needs both bits";
    EXPECT_NE(info_lines_with_mask("3").find("two bits"), std::string::npos);

    std::string all = info_lines_with_mask("511");
    for (const char* prefix :
         {"SYSTEM:cat 1", "SSDP:cat 2", "DB:cat 4", "HTTP:cat 8", "CLIENT-DB:cat 16",
          "EVENTING:cat 32", "EXIF:cat 64", "HTTP-PROXY:cat 128", "XML PARSER:cat 256"}) {
        EXPECT_NE(all.find(std::string(prefix) + "\n"), std::string::npos) << prefix;
    }
    EXPECT_NE(all.find(" two bits\n"), std::string::npos) << "an unknown category has no prefix";
}

TEST_F(Logging, ProblemsAndErrorsAreNeverFilteredAndCarryMarkers)
{
    setting_set(KEY_V, "0");
    log_open_file(dir.file("log.txt").c_str());
    log_msg(LOG_PROBLEM, LOG_CAT_SYSTEM, "odd %s\n", "thing");
    log_msg(LOG_ERROR, LOG_CAT_HTTP, "broken\n");
    log_close();
    const std::string text = read_text_file(dir.file("log.txt"));
    const std::regex line(R"(\d\d:\d\d:\d\d:\d\d\d \[Problem\]SYSTEM:odd thing\n)"
                          R"(\d\d:\d\d:\d\d:\d\d\d \[ERROR\]HTTP:broken\n)");
    EXPECT_TRUE(std::regex_match(text, line)) << text;
}

TEST_F(Logging, OpenFailureKeepsConsole)
{
    log_open_file(dir.file("no/such/dir/log.txt").c_str());
    log_open_file(nullptr);
    testing::internal::CaptureStdout();
    log_msg(LOG_PROBLEM, LOG_CAT_DB, "still here\n");
    EXPECT_NE(testing::internal::GetCapturedStdout().find("[Problem]DB:still here\n"),
              std::string::npos);
}

TEST_F(Logging, CriticalEndsProcessWithStatusMinusOne)
{
    EXPECT_EXIT(
        {
            dup2(2, 1);
            log_msg(LOG_CRITICAL, LOG_CAT_HTTP, "no free port for HTTP server found on IP: %s\n",
                    "1.2.3.4");
        },
        ::testing::ExitedWithCode(255),
        "!!! CRITICAL ERROR!!!\nno free port for HTTP server found on IP: 1.2.3.4\n");
}

} // namespace
