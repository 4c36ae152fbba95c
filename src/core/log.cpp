#include "core/log.h"

#include "core/settings.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <sys/time.h>
#include <unistd.h>

namespace
{

// Both live for the whole process (never destroyed), so a worker that logs
// while the process is exiting still finds a valid mutex.
std::mutex& log_mutex()
{
    static auto* m = new std::mutex;
    return *m;
}

FILE* g_log_file = nullptr;

[[noreturn]] void exit_at_once()
{
    fflush(nullptr);
    _exit(-1);
}

std::atomic<void (*)()> g_critical_exit{nullptr};

const char* category_prefix(int category)
{
    switch (category) {
    case LOG_CAT_SYSTEM:
        return "SYSTEM:";
    case LOG_CAT_SSDP:
        return "SSDP:";
    case LOG_CAT_DB:
        return "DB:";
    case LOG_CAT_HTTP:
        return "HTTP:";
    case LOG_CAT_CLIENT_DB:
        return "CLIENT-DB:";
    case LOG_CAT_EVENTING:
        return "EVENTING:";
    case LOG_CAT_EXIF:
        return "EXIF:";
    case LOG_CAT_HTTP_PROXY:
        return "HTTP-PROXY:";
    case LOG_CAT_XML_PARSER:
        return "XML PARSER:";
    default:
        return "";
    }
}

void print_time_stamp(FILE* out)
{
    timeval tv{};
    gettimeofday(&tv, nullptr);
    tm local{};
    localtime_r(&tv.tv_sec, &local);
    char clock[16];
    strftime(clock, sizeof clock, "%H:%M:%S", &local);
    fprintf(out, "%s:%03ld ", clock, static_cast<long>(tv.tv_usec / 1000));
}

} // namespace

void log_msg(int level, int category, const char* format, ...)
{
    if (level == LOG_INFO && (settings_log_mask() & category) != category) {
        return;
    }
    std::unique_lock lock(log_mutex());
    FILE* out = g_log_file ? g_log_file : (level >= LOG_ERROR ? stderr : stdout);
    print_time_stamp(out);

    va_list args;
    va_start(args, format);
    if (level == LOG_CRITICAL) {
        char text[1024];
        vsnprintf(text, sizeof text, format, args);
        va_end(args);
        fflush(out);
        fputs("!!! CRITICAL ERROR!!!\n", stdout);
        fputs(text, stdout);
        fputs("\n", stdout);
        fflush(stdout);
        // The termination sequence logs while it stops the services, on
        // this thread.
        lock.unlock();
        if (void (*handler)() = g_critical_exit.load()) {
            handler();
        }
        exit_at_once();
    }
    if (level == LOG_PROBLEM) {
        fputs("[Problem]", out);
    } else if (level == LOG_ERROR) {
        fputs("[ERROR]", out);
    }
    fputs(category_prefix(category), out);
    vfprintf(out, format, args);
    va_end(args);
    fflush(out);
}

void log_set_critical_exit(void (*handler)())
{
    g_critical_exit = handler;
}

void log_open_file(const char* path)
{
    if (!path) {
        return;
    }
    FILE* f = fopen(path, "wb");
    if (!f) {
        return;
    }
    std::lock_guard lock(log_mutex());
    if (g_log_file) {
        fclose(g_log_file);
    }
    g_log_file = f;
}

void log_close()
{
    std::lock_guard lock(log_mutex());
    if (g_log_file) {
        fclose(g_log_file);
        g_log_file = nullptr;
    }
}
