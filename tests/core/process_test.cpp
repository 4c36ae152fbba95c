#include "core/log.h"
#include "core/process.h"
#include "core/settings.h"
#include "core/threads.h"
#include "support/child_process.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

namespace
{

// A worker that follows the flag protocol.
void start_obedient_worker(ThreadFlag& flag)
{
    flag = 1;
    ASSERT_TRUE(start_thread([&flag] {
        while (flag == 1) {
            sleep_ms(20);
        }
        flag = 0;
    }));
}

TEST(StopAll, ObedientWorkersStopWithinTheFirstWait)
{
    TempDir dir;
    start_obedient_worker(g_Radio_thread_running);
    start_obedient_worker(g_eventing_thread_running);
    log_open_file(dir.file("log.txt").c_str());
    services_stop_all();
    log_close();
    EXPECT_EQ(g_Radio_thread_running, 0);
    EXPECT_EQ(g_eventing_thread_running, 0);
    EXPECT_EQ(read_text_file(dir.file("log.txt")), "");
}

TEST(StopAll, StragglersAreReportedAfterTheBoundedWait)
{
    TempDir dir;
    g_iTunes_thread_running = 1; // nobody will answer
    g_iPod_thread_running = 1;
    log_open_file(dir.file("log.txt").c_str());
    services_stop_all();
    log_close();
    const std::string log = read_text_file(dir.file("log.txt"));
    EXPECT_NE(log.find("[Problem]SYSTEM:NOT ALL REQUESTED THREADS HAVE TERMINATED!\n"
                       "g_upnp_server_thread_running:      0\n"
                       "g_Radio_thread_running:            0\n"
                       "g_iTunes_thread_running:           -1\n"
                       "g_Winamp_thread_running:           0\n"
                       "g_file_scan_thread_running:        0\n"
                       "g_external_db_scan_thread_running: 0\n"
                       "g_db_read_file_thread_running:     0\n"
                       "g_db_write_file_thread_running:    0\n"
                       "g_eventing_thread_running:         0\n"),
              std::string::npos)
        << log;
    EXPECT_EQ(g_iPod_thread_running, -1) << "waited for but not printed";
    g_iTunes_thread_running = 0;
    g_iPod_thread_running = 0;
}

TEST(Threads, StopRequestOnlyTouchesRunningFlags)
{
    ThreadFlag flag{0};
    thread_request_stop(flag);
    EXPECT_EQ(flag, 0);
    flag = 1;
    thread_request_stop(flag);
    EXPECT_EQ(flag, -1);
}

} // namespace

namespace
{

std::atomic<int> g_starts{0};
std::atomic<int> g_destroys{0};

// The restart stops everything, reads the settings file again (not the
// command line) and starts the services anew, on a thread of its own.
TEST(Restart, StopsRereadsSettingsAndStartsAgain)
{
    TempDir dir;
    settings_set_file_path(dir.file("restart.ini"));
    write_text_file(dir.file("restart.ini"), "friendlyname=After Restart\n");
    setting_set(KEY_FRIENDLYNAME, "Before");
    ServiceHooks hooks;
    hooks.start_services = [] { ++g_starts; };
    hooks.destroy_tree = [] { ++g_destroys; };
    process_set_hooks(hooks);
    start_obedient_worker(g_file_scan_thread_running);

    server_restart();
    EXPECT_TRUE(wait_until([] { return g_starts == 1; }, std::chrono::seconds(10)));
    EXPECT_EQ(g_destroys, 1);
    EXPECT_EQ(g_file_scan_thread_running, 0) << "the scanner was asked to stop";
    EXPECT_EQ(setting_str(KEY_FRIENDLYNAME), "After Restart");
    process_set_hooks({});
    settings_set_file_path({});
    setting_set(KEY_FRIENDLYNAME, "");
}

} // namespace
