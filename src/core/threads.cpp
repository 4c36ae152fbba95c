#include "core/threads.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <pthread.h>

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

namespace
{

void* run_routine(void* routine)
{
    std::unique_ptr<std::function<void()>> owned(static_cast<std::function<void()>*>(routine));
    (*owned)();
    return nullptr;
}

} // namespace

bool start_thread(std::function<void()> routine, size_t stack_bytes)
{
    pthread_attr_t attributes;
    if (pthread_attr_init(&attributes) != 0) {
        fprintf(stderr, "Cannot create thread: %s\n", strerror(ENOMEM));
        return false;
    }
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    int error = 0;
    if (stack_bytes > 0) {
        error = pthread_attr_setstacksize(&attributes, stack_bytes);
    }
    auto owned = std::make_unique<std::function<void()>>(std::move(routine));
    pthread_t thread;
    if (error == 0) {
        error = pthread_create(&thread, &attributes, run_routine, owned.get());
    }
    pthread_attr_destroy(&attributes);
    if (error != 0) {
        fprintf(stderr, "Cannot create thread: %s\n", strerror(error));
        return false;
    }
    owned.release(); // the thread owns it now
    return true;
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
