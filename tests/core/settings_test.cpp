#include "core/log.h"
#include "core/settings.h"
#include "core/settings_table.h"
#include "support/temp_dir.h"

#include <atomic>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace
{

class Settings : public ::testing::Test
{
protected:
    void SetUp() override
    {
        settings_free_all();
        settings_apply_defaults();
        settings_set_file_path(dir.file("test.ini"));
    }
    void TearDown() override
    {
        log_close();
        settings_free_all();
        settings_set_file_path({});
    }

    void read_file(std::string_view text)
    {
        write_text_file(dir.file("test.ini"), text);
        settings_read_file();
    }

    // Runs the whole start-up sequence with the given arguments; log lines
    // are captured in a file.
    std::string load(std::vector<std::string> args)
    {
        args.insert(args.begin(), {"plenwick", "-inifile", dir.file("test.ini")});
        std::vector<char*> argv;
        for (std::string& a : args) {
            argv.push_back(a.data());
        }
        log_open_file(dir.file("log.txt").c_str());
        settings_load(static_cast<int>(argv.size()), argv.data());
        log_close();
        return read_text_file(dir.file("log.txt"));
    }

    TempDir dir;
};

TEST_F(Settings, DefaultsFillTheWholeTemplate)
{
    const std::string reference = read_text_file(TEST_DATA_DIR "/default_settings.ini");
    ASSERT_FALSE(reference.empty());
    EXPECT_EQ(settings_file_text(), reference);

    settings_write();
    EXPECT_EQ(read_text_file(dir.file("test.ini")), reference);

    // A number's default lies in its range, so the checks of values never
    // refuse what the server itself starts with.
    for (const SettingRow& row : kSettingRows) {
        if (row.kind == SettingKind::Number && row.default_value) {
            EXPECT_LE(row.min, setting_int(row.key)) << row.name;
            EXPECT_GE(row.max, setting_int(row.key)) << row.name;
        }
    }
}

TEST_F(Settings, FileNamesMatchIgnoringCaseAndOneBlankBeforeEquals)
{
    read_file("\xEF\xBB\xBFIP =  10.0.0.7\n"
              "Friendlyname=a=b\n"
              "  radio=0\n"
              "# enableweb=0\n"
              "adaptcase 0\n"
              "scantime=5 # every five minutes\n");
    EXPECT_EQ(setting_str(KEY_IP), "10.0.0.7");
    EXPECT_EQ(setting_str(KEY_FRIENDLYNAME), "a=b") << "a later '=' belongs to the value";
    EXPECT_EQ(setting_str(KEY_RADIO), "1") << "leading blanks make the name unknown";
    EXPECT_EQ(setting_str(KEY_ENABLEWEB), "1");
    EXPECT_EQ(setting_str(KEY_ADAPTCASE), "1") << "a line without '=' is ignored";
    EXPECT_EQ(setting_str(KEY_SCANTIME), "5 # every five minutes") << "a '#' after '=' is text";
    EXPECT_EQ(setting_int(KEY_SCANTIME), 5);
}

TEST_F(Settings, EmptyFileValueUnsetsTheDefault)
{
    read_file("playlists=\nrootmusic= \t\n");
    EXPECT_EQ(setting_str(KEY_PLAYLISTS), "");
    EXPECT_EQ(setting_str(KEY_ROOTMUSIC), "") << "blanks are skipped, the tab ends the line";
    EXPECT_EQ(setting_str(KEY_ALLTRACKS), "All Tracks");
}

TEST_F(Settings, ListValueKeepsTrailingBlankInLastItem)
{
    read_file("contentdir=/music,/video \r\n");
    EXPECT_EQ(setting_str(KEY_CONTENTDIR), "/music,/video ");
    EXPECT_EQ(setting_list_count(KEY_CONTENTDIR), 2);
    EXPECT_EQ(setting_list_item(KEY_CONTENTDIR, 0), "/music");
    EXPECT_EQ(setting_list_item(KEY_CONTENTDIR, 1), "/video ");
    EXPECT_EQ(setting_list_item(KEY_CONTENTDIR, 2), std::nullopt);
}

TEST_F(Settings, HighBytesAreOrdinaryAndLongLinesStayWhole)
{
    std::string dirs;
    for (int i = 0; i < 12; ++i) {
        dirs += (i ? "," : "") + std::string("/srv/media/a household's collection number ") +
                std::to_string(i) + std::string(62, 'x');
    }
    ASSERT_GT(dirs.size(), 1200u);
    const std::string longest(kSettingValueMax, 'n');
    read_file("friendlyname=Caf\xe9 K\xfc"
              "che\n"
              "contentdir=" +
              dirs + "\ndbfile=" + longest + "\n");
    EXPECT_EQ(setting_str(KEY_FRIENDLYNAME), "Caf\xe9 K\xfc"
                                             "che");
    EXPECT_EQ(setting_str(KEY_CONTENTDIR), dirs);
    EXPECT_EQ(setting_str(KEY_DBFILE), longest);
}

// A cut line once made a half path a content directory, and the end of a
// long friendly name a setting of its own.
TEST_F(Settings, LongValuesComeBackWholeAfterARestart)
{
    // Cut at its '#', the folder would have become its parent.
    const std::string name = std::string(1010, 'N') + "contentdir=/etc";
    setting_set(KEY_FRIENDLYNAME, name);
    setting_set(KEY_CONTENTDIR, "/srv/media/#Favourites,/srv/Kitchen #2");
    settings_write();
    settings_free_all();
    settings_apply_defaults();
    settings_read_file();
    EXPECT_EQ(setting_str(KEY_FRIENDLYNAME), name);
    EXPECT_EQ(setting_str(KEY_CONTENTDIR), "/srv/media/#Favourites,/srv/Kitchen #2");

    // Longer than any value: refused whole, named in the log, and the line
    // after it is read as usual.
    log_open_file(dir.file("log.txt").c_str());
    read_file("contentdir=/srv/" + std::string(kSettingValueMax + 300, 'x') + "\nhttpport=9123\n");
    setting_set(KEY_IP, std::string(kSettingValueMax + 1, '1'));
    log_close();
    EXPECT_EQ(setting_str(KEY_CONTENTDIR), "/srv/media/#Favourites,/srv/Kitchen #2");
    EXPECT_EQ(setting_int(KEY_HTTPPORT), 9123);
    EXPECT_EQ(setting_str(KEY_IP), "");
    const std::string log = read_text_file(dir.file("log.txt"));
    EXPECT_NE(log.find("line 1: the value of \"contentdir\" is longer than 65536 characters"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("the value of setting \"ip\" is longer"), std::string::npos) << log;
}

TEST_F(Settings, ListItemsAreExactPieces)
{
    setting_set(KEY_IGNOREDIR, "a,,b ,");
    EXPECT_EQ(setting_list_count(KEY_IGNOREDIR), 4);
    EXPECT_EQ(setting_list_item(KEY_IGNOREDIR, 1), "");
    EXPECT_EQ(setting_list_item(KEY_IGNOREDIR, 2), "b ");
    EXPECT_EQ(setting_list_item(KEY_IGNOREDIR, 3), "");
    EXPECT_EQ(setting_list_item(KEY_IGNOREDIR, -1), std::nullopt);

    setting_set(KEY_IGNOREDIR, "");
    EXPECT_EQ(setting_list_count(KEY_IGNOREDIR), 0);
    EXPECT_EQ(setting_list_item(KEY_IGNOREDIR, 0), std::nullopt);

    setting_set(KEY_FRIENDLYNAME, "a,b");
    EXPECT_EQ(setting_list_count(KEY_FRIENDLYNAME), 0) << "not a list key";
}

TEST_F(Settings, IntegersFollowAtoiRules)
{
    struct Row {
        const char* text;
        int value;
    } rows[] = {{" 12abc", 12}, {"-5", -5}, {"+7", 7}, {"abc", 0}, {"99999999999", 2147483647}};
    for (const Row& row : rows) {
        setting_set(KEY_HTTPPORT, row.text);
        EXPECT_EQ(setting_int(KEY_HTTPPORT), row.value) << row.text;
    }
    setting_set(KEY_HTTPPORT, "");
    EXPECT_EQ(setting_int(KEY_HTTPPORT), 0);
    EXPECT_EQ(setting_flag(KEY_NOSEARCH), 0);
    setting_set(KEY_NOSEARCH, "2");
    EXPECT_EQ(setting_flag(KEY_NOSEARCH), 1);
}

TEST_F(Settings, SetByNameIgnoresCaseAndUnknownNames)
{
    setting_set_by_name("MUSICNODE10", "Mine,%GENRE");
    setting_set_by_name("musicnode11", "x");
    EXPECT_EQ(setting_str(KEY_MUSICNODE1 + 9), "Mine,%GENRE");
    EXPECT_EQ(setting_key_by_name("musicnode11"), -1);
    EXPECT_STREQ(setting_name(KEY_FOLLOWMESERVER), "followmeserver");
    EXPECT_EQ(setting_name(KEY_COUNT), nullptr);
}

TEST_F(Settings, CommandLineOverridesFileAndIsCaseSensitive)
{
    write_text_file(dir.file("test.ini"), "radio=1\nip=10.1.1.1\n");
    std::string log = load(
        {"-radio", "0", "-D", "-IP", "10.9.9.9", "-musicnode11", "x", "word", "-ip", "127.0.0.1"});
    EXPECT_EQ(setting_str(KEY_RADIO), "0");
    EXPECT_EQ(setting_str(KEY_D), "1");
    EXPECT_EQ(setting_str(KEY_IP), "127.0.0.1");
    EXPECT_NE(log.find("[Problem]SYSTEM:unknown command line parameter \"10.9.9.9\", skipped.\n"),
              std::string::npos);
    EXPECT_NE(log.find("[Problem]SYSTEM:unknown command line parameter \"x\", skipped.\n"),
              std::string::npos);
    EXPECT_NE(log.find("[Problem]SYSTEM:unknown command line parameter \"word\", skipped.\n"),
              std::string::npos);
    EXPECT_EQ(log.find("-IP"), std::string::npos) << "unknown options are skipped silently";
    EXPECT_EQ(log.find("musicnode11"), std::string::npos);

    // The file is written back with the values in force; "D" is not in it.
    std::string file = read_text_file(dir.file("test.ini"));
    EXPECT_NE(file.find("\nradio=0\n"), std::string::npos);
    EXPECT_NE(file.find("\nip=127.0.0.1\n"), std::string::npos);
    EXPECT_EQ(file.find("\nD="), std::string::npos);
}

TEST_F(Settings, ValueAfterRecognisedOptionIsNotTestedForHelp)
{
    load({"-friendlyname", "helpdesk?"});
    EXPECT_EQ(setting_str(KEY_FRIENDLYNAME), "helpdesk?");
}

TEST_F(Settings, HelpAndMissingValuesPrintUsageAndExitZero)
{
    const std::vector<std::vector<std::string>> cases = {
        {"-dbfile"}, {"help"}, {"-radio", "0", "-?"}, {"-x", "--help"}, {"-inifile"}};
    for (const auto& args : cases) {
        EXPECT_EXIT(
            {
                std::vector<std::string> all = {"plenwick"};
                all.insert(all.end(), args.begin(), args.end());
                std::vector<char*> argv;
                for (std::string& a : all) {
                    argv.push_back(a.data());
                }
                dup2(2, 1);
                settings_load(static_cast<int>(argv.size()), argv.data());
            },
            ::testing::ExitedWithCode(0), "usage: plenwick")
            << args.front();
    }
}

TEST_F(Settings, UsageTextListsEveryParamEntry)
{
    const std::string usage = settings_usage_text();
    EXPECT_EQ(usage.rfind(" -enableweb [n] \n\t set to 0 to disable web configuration, 1 for local "
                          "access only and 2 for public access.\n\n -contentdir",
                          0),
              0u);
    EXPECT_NE(usage.find("\n\n -httpport [n] \n\t set port for http server, 0 for dynamicall port "
                         "allocation\n\n"),
              std::string::npos);
    EXPECT_NE(usage.find("\n\n -ds \n\t default sort for container\n\n"), std::string::npos);
    EXPECT_NE(usage.find("\n\n -musicbuffer [n] set the buffer to send music content\n\n"),
              std::string::npos);
    EXPECT_EQ(usage.find("# param"), std::string::npos);
    EXPECT_EQ(usage.find("Plenwick only"), std::string::npos) << "other comments are not printed";
}

TEST_F(Settings, FailedWriteKeepsTheOldFileAndLogsTheError)
{
    write_text_file(dir.file("test.ini"), "radio=0\n");
    // A directory in the way of the temporary file makes the write fail.
    ASSERT_EQ(mkdir(dir.file("test.ini.tmp").c_str(), 0755), 0);
    log_open_file(dir.file("log.txt").c_str());
    settings_write();
    log_close();
    EXPECT_EQ(read_text_file(dir.file("test.ini")), "radio=0\n");
    EXPECT_NE(read_text_file(dir.file("log.txt"))
                  .find("[ERROR]SYSTEM:\nini file \"" + dir.file("test.ini") +
                        "\" not writable! ***\n\n"),
              std::string::npos);
}

// A value given on the command line or in a form stays one value: its line
// break cannot add a setting to the file the server reads at the next start.
TEST_F(Settings, LineBreaksInAValueCannotWriteAnotherSetting)
{
    setting_set(KEY_FRIENDLYNAME, "Den\nradio\r\n\tX");
    setting_set(KEY_COMPILATIONSDIR, "Various\nhttpport=1234\ncontentdir=/etc");
    EXPECT_EQ(setting_str(KEY_FRIENDLYNAME), "Denradio X");
    settings_write();
    settings_free_all();
    settings_apply_defaults();
    settings_read_file();
    EXPECT_EQ(setting_str(KEY_FRIENDLYNAME), "Denradio X");
    EXPECT_EQ(setting_int(KEY_HTTPPORT), 0);
    EXPECT_EQ(setting_str(KEY_CONTENTDIR), "");
}

TEST_F(Settings, SuccessfulWriteLeavesNoTemporaryFile)
{
    settings_write();
    EXPECT_FALSE(read_text_file(dir.file("test.ini")).empty());
    EXPECT_TRUE(read_text_file(dir.file("test.ini.tmp")).empty());
    EXPECT_NE(access(dir.file("test.ini.tmp").c_str(), F_OK), 0);
}

// The configuration pages set keys while request threads read them; a reader
// must never see a freed or half-written value.
TEST_F(Settings, ConcurrentSetAndReadSeeWholeValues)
{
    std::atomic<bool> stop{false};
    std::atomic<int> bad{0};
    std::vector<std::thread> readers;
    for (int r = 0; r < 3; ++r) {
        readers.emplace_back([&] {
            while (!stop) {
                std::string v = setting_str(KEY_CONTENTDIR);
                if (!v.empty() && v != "/a,/b" && v != "/long/path/one,/long/path/two,/x") {
                    ++bad;
                }
                auto item = setting_list_item(KEY_CONTENTDIR, 1);
                if (item && *item != "/b" && *item != "/long/path/two") {
                    ++bad;
                }
            }
        });
    }
    for (int i = 0; i < 20000; ++i) {
        setting_set(KEY_CONTENTDIR, i % 3 == 0   ? "/a,/b"
                                    : i % 3 == 1 ? ""
                                                 : "/long/path/one,/long/path/two,/x");
    }
    stop = true;
    for (std::thread& t : readers) {
        t.join();
    }
    EXPECT_EQ(bad, 0);
}

} // namespace
