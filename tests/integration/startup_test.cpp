// Starts the real programs in empty directories and checks what a user sees:
// the banner, the settings file, the usage text and a clean termination.
#include "support/child_process.h"
#include "support/temp_dir.h"

#include <csignal>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace std::chrono_literals;

namespace
{

const std::vector<std::string> kLoopback = {"-ip", "127.0.0.1", "-radio", "0"};

std::vector<std::string> with_loopback(std::vector<std::string> more)
{
    std::vector<std::string> args = kLoopback;
    args.insert(args.end(), more.begin(), more.end());
    return args;
}

bool file_exists(const std::string& path)
{
    return access(path.c_str(), F_OK) == 0;
}

// The process has finished its start-up once the settings file is written.
void wait_for_settings_file(const std::string& path)
{
    ASSERT_TRUE(wait_until([&] { return file_exists(path); }, 10s)) << path;
}

TEST(Startup, FullEditionWritesSettingsAndTerminatesCleanly)
{
    TempDir dir;
    ChildProcess server(PLENWICK_BIN, kLoopback, dir.path);
    wait_for_settings_file(dir.file("corvalenso-plenwick.ini"));

    std::string expected = read_text_file(TEST_DATA_DIR "/default_settings.ini");
    ASSERT_FALSE(expected.empty());
    expected.replace(expected.find("\nradio=1\n"), 9, "\nradio=0\n");
    expected.replace(expected.find("\nip=\n"), 5, "\nip=127.0.0.1\n");
    EXPECT_EQ(read_text_file(dir.file("corvalenso-plenwick.ini")), expected);

    server.send_signal(SIGTERM);
    EXPECT_EQ(server.wait_exit(20s), 0);
    EXPECT_EQ(server.out().rfind("Corvalenso Plenwick Version 2.71\n", 0), 0u) << server.out();
    EXPECT_NE(server.out().find("terminating....signal=15\n"), std::string::npos);
}

TEST(Startup, SecondSignalDuringShutdownChangesNothing)
{
    TempDir dir;
    ChildProcess server(PLENWICK_BIN, kLoopback, dir.path);
    wait_for_settings_file(dir.file("corvalenso-plenwick.ini"));
    server.send_signal(SIGTERM);
    usleep(200 * 1000); // inside the first second of the shutdown wait
    server.send_signal(SIGINT);
    server.send_signal(SIGTERM);
    EXPECT_EQ(server.wait_exit(20s), 0);
    EXPECT_EQ(count_occurrences(server.out(), "terminating...."), 1) << server.out();
    EXPECT_NE(server.out().find("terminating....signal=15\n"), std::string::npos);
}

TEST(Startup, SigintAndSigabrtAlsoTerminate)
{
    for (int signal_number : {SIGINT, SIGABRT}) {
        TempDir dir;
        ChildProcess server(PLENWICK_BIN, kLoopback, dir.path);
        wait_for_settings_file(dir.file("corvalenso-plenwick.ini"));
        server.send_signal(signal_number);
        EXPECT_EQ(server.wait_exit(20s), 0);
        EXPECT_NE(
            server.out().find("terminating....signal=" + std::to_string(signal_number) + "\n"),
            std::string::npos);
    }
}

TEST(Startup, MusicEditionHasItsOwnBannerAndFile)
{
    TempDir dir;
    ChildProcess server(TESSAMUND_BIN, kLoopback, dir.path);
    wait_for_settings_file(dir.file("corvalenso-tessamund.ini"));
    server.send_signal(SIGTERM);
    EXPECT_EQ(server.wait_exit(20s), 0);
    EXPECT_EQ(server.out().rfind("Corvalenso Tessamund Version 2.71\n", 0), 0u) << server.out();
    EXPECT_FALSE(file_exists(dir.file("corvalenso-plenwick.ini")));
}

TEST(Startup, MusicEditionTakesOverTheFullEditionsSettings)
{
    TempDir dir;
    write_text_file(dir.file("corvalenso-plenwick.ini"), "friendlyname=Kitchen\nscantime=30\n");
    ChildProcess server(TESSAMUND_BIN, kLoopback, dir.path);
    wait_for_settings_file(dir.file("corvalenso-tessamund.ini"));
    server.send_signal(SIGTERM);
    EXPECT_EQ(server.wait_exit(20s), 0);
    const std::string written = read_text_file(dir.file("corvalenso-tessamund.ini"));
    EXPECT_NE(written.find("\nfriendlyname=Kitchen\n"), std::string::npos);
    EXPECT_NE(written.find("\nscantime=30\n"), std::string::npos);
    EXPECT_EQ(read_text_file(dir.file("corvalenso-plenwick.ini")),
              "friendlyname=Kitchen\nscantime=30\n")
        << "the full edition's file is only read";
}

TEST(Startup, InifileOptionChoosesTheSettingsFile)
{
    TempDir dir;
    ChildProcess server(PLENWICK_BIN, with_loopback({"-INIFILE", dir.file("my.ini")}), dir.path);
    wait_for_settings_file(dir.file("my.ini"));
    server.send_signal(SIGTERM);
    EXPECT_EQ(server.wait_exit(20s), 0);
    EXPECT_FALSE(file_exists(dir.file("corvalenso-plenwick.ini")));
}

TEST(Startup, MissingOptionValuePrintsUsageAndExitsZero)
{
    TempDir dir;
    ChildProcess server(PLENWICK_BIN, with_loopback({"-dbfile"}), dir.path);
    EXPECT_EQ(server.wait_exit(10s), 0);
    const std::string out = server.out();
    EXPECT_NE(out.find("\nusage: " PLENWICK_BIN "\n\n -enableweb [n] \n\t set to 0"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("\n\n -httpport [n] \n\t set port for http server, 0 for dynamicall port "
                       "allocation\n\n"),
              std::string::npos);
    EXPECT_FALSE(file_exists(dir.file("corvalenso-plenwick.ini")));
}

TEST(Startup, UnknownWordsAreLoggedAndSkipped)
{
    TempDir dir;
    ChildProcess server(PLENWICK_BIN, with_loopback({"bogus", "-IP", "10.1.2.3"}), dir.path);
    wait_for_settings_file(dir.file("corvalenso-plenwick.ini"));
    server.send_signal(SIGTERM);
    EXPECT_EQ(server.wait_exit(20s), 0);
    const std::string out = server.out();
    EXPECT_NE(out.find("[Problem]SYSTEM:unknown command line parameter \"bogus\", skipped.\n"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("[Problem]SYSTEM:unknown command line parameter \"10.1.2.3\", skipped.\n"),
              std::string::npos);
    EXPECT_NE(read_text_file(dir.file("corvalenso-plenwick.ini")).find("\nip=127.0.0.1\n"),
              std::string::npos);
}

// Daemon mode writes its pid to a fixed system path, which needs root.
TEST(Startup, DaemonParentReturnsAtOnceAndPidFileNamesTheChild)
{
    if (access("/var/run", W_OK) != 0) {
        GTEST_SKIP() << "/var/run is not writable";
    }
    TempDir dir;
    unlink("/var/run/plenwick.pid");
    ChildProcess parent(PLENWICK_BIN, with_loopback({"-D"}), dir.path);
    EXPECT_EQ(parent.wait_exit(5s), 0);

    std::string pid_text;
    ASSERT_TRUE(wait_until(
        [&] {
            pid_text = read_text_file("/var/run/plenwick.pid");
            return !pid_text.empty() && pid_text.back() == '\n';
        },
        5s));
    const pid_t daemon_pid = std::stoi(pid_text);
    ASSERT_GT(daemon_pid, 1);
    EXPECT_NE(daemon_pid, parent.pid);
    EXPECT_EQ(pid_text, std::to_string(daemon_pid) + "\n");
    EXPECT_EQ(kill(daemon_pid, 0), 0) << "the daemon keeps running";

    // Stop the daemon this test started; it is no child of ours, so watch
    // its /proc entry instead of waiting for it.
    kill(daemon_pid, SIGTERM);
    const std::string stat_path = "/proc/" + std::to_string(daemon_pid) + "/stat";
    EXPECT_TRUE(wait_until(
        [&] {
            std::string stat = read_text_file(stat_path);
            size_t close = stat.rfind(')');
            return stat.empty() ||
                   (close != std::string::npos && stat.compare(close + 2, 1, "Z") == 0);
        },
        20s));
    unlink("/var/run/plenwick.pid");
}

} // namespace
