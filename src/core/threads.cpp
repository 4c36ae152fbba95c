#include "core/threads.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <system_error>
#include <thread>

ThreadFlag g_upnp_server_thread_running{0};
ThreadFlag g_db_read_file_thread_running{0};
ThreadFlag g_db_write_file_thread_running{0};
ThreadFlag g_Radio_thread_running{0};
ThreadFlag g_iTunes_thread_running{0};
ThreadFlag g_iPod_thread_running{0};
ThreadFlag g_file_scan_thread_running{0};
ThreadFlag g_external_db_scan_thread_running{0};
ThreadFlag g_eventing_thread_running{0};
ThreadFlag g_Winamp_thread_running{0};

void thread_request_stop(ThreadFlag& flag)
{
    int running = 1;
    flag.compare_exchange_strong(running, -1);
}

bool start_thread(std::function<void()> routine)
{
    try {
        std::thread(std::move(routine)).detach();
        return true;
    } catch (const std::system_error& e) {
        fprintf(stderr, "Cannot create thread: %s\n", strerror(e.code().value()));
        return false;
    }
}

bool start_worker(ThreadFlag& flag, std::function<void()> routine)
{
    int idle = 0;
    if (!flag.compare_exchange_strong(idle, 1)) {
        return false;
    }
    if (!start_thread(std::move(routine))) {
        flag = 0;
        return false;
    }
    return true;
}

void sleep_ms(long ms)
{
    if (ms < 0) {
        return;
    }
    timespec ts{};
    ts.tv_sec = ms / 1000;
    ts.tv_nsec = (ms % 1000) * 1000000L;
    nanosleep(&ts, nullptr);
}

std::string system_error_text()
{
    char buf[256];
    // GNU strerror_r returns the text, possibly not in buf.
    return strerror_r(errno, buf, sizeof buf);
}
