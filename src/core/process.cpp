#include "core/process.h"

#include "core/edition.h"
#include "core/log.h"
#include "core/paths.h"
#include "core/settings.h"
#include "core/threads.h"

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <mutex>
#include <unistd.h>

namespace
{

ServiceHooks g_hooks;
std::atomic<int> g_terminating{0};

// Serialises the stop and start sequences of the restart and the termination.
// Recursive because a critical error raised while services start runs the
// exit-time termination on the same thread.
std::recursive_mutex& services_mutex()
{
    static auto* m = new std::recursive_mutex;
    return *m;
}

sigset_t termination_signals()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGABRT);
    return set;
}

void daemonize()
{
    signal(SIGHUP, SIG_IGN);
    signal(SIGPIPE, SIG_IGN);
    // Whatever stdio still buffers would otherwise be written twice.
    fflush(nullptr);
    pid_t pid = fork();
    if (pid < 0) {
        perror("fork");
        exit(1);
    }
    if (pid > 0) {
        exit(0);
    }
    if (FILE* f = fopen(kPidFilePath, "w")) {
        fprintf(f, "%d\n", static_cast<int>(getpid()));
        fclose(f);
    }
    int null_fd = open("/dev/null", O_RDWR);
    if (null_fd >= 0) {
        dup2(null_fd, STDOUT_FILENO);
        dup2(null_fd, STDERR_FILENO);
        if (null_fd > STDERR_FILENO) {
            close(null_fd);
        }
    }
}

bool all_workers_stopped()
{
    const ThreadFlag* flags[] = {
        &g_upnp_server_thread_running,      &g_Radio_thread_running,
        &g_iTunes_thread_running,           &g_iPod_thread_running,
        &g_Winamp_thread_running,           &g_file_scan_thread_running,
        &g_external_db_scan_thread_running, &g_db_read_file_thread_running,
        &g_db_write_file_thread_running,    &g_eventing_thread_running,
    };
    for (const ThreadFlag* flag : flags) {
        if (flag->load() != 0) {
            return false;
        }
    }
    return true;
}

void stop_all_locked()
{
    if (g_upnp_server_thread_running == 1) {
        g_upnp_server_thread_running = -1;
        if (g_hooks.stop_network) {
            g_hooks.stop_network();
        }
    }
    ThreadFlag* workers[] = {
        &g_db_read_file_thread_running,
        &g_db_write_file_thread_running,
        &g_Radio_thread_running,
        &g_iTunes_thread_running,
        &g_iPod_thread_running,
        &g_file_scan_thread_running,
        &g_external_db_scan_thread_running,
        &g_eventing_thread_running,
    };
    for (ThreadFlag* flag : workers) {
        thread_request_stop(*flag);
    }
    for (int i = 0; i < 5; ++i) {
        sleep_ms(1000);
        if (all_workers_stopped()) {
            break;
        }
    }
    if (!all_workers_stopped()) {
        log_msg(LOG_PROBLEM, LOG_CAT_SYSTEM,
                "NOT ALL REQUESTED THREADS HAVE TERMINATED!\n"
                "g_upnp_server_thread_running:      %d\n"
                "g_Radio_thread_running:            %d\n"
                "g_iTunes_thread_running:           %d\n"
                "g_Winamp_thread_running:           %d\n"
                "g_file_scan_thread_running:        %d\n"
                "g_external_db_scan_thread_running: %d\n"
                "g_db_read_file_thread_running:     %d\n"
                "g_db_write_file_thread_running:    %d\n"
                "g_eventing_thread_running:         %d\n",
                g_upnp_server_thread_running.load(), g_Radio_thread_running.load(),
                g_iTunes_thread_running.load(), g_Winamp_thread_running.load(),
                g_file_scan_thread_running.load(), g_external_db_scan_thread_running.load(),
                g_db_read_file_thread_running.load(), g_db_write_file_thread_running.load(),
                g_eventing_thread_running.load());
    }
    if (g_hooks.destroy_tree) {
        g_hooks.destroy_tree();
    }
}

void run_termination(int signal_number, bool exit_after)
{
    if (g_terminating.exchange(1) != 0) {
        return;
    }
    printf("terminating....signal=%d\n", signal_number);
    fflush(stdout);
    services_stop_all();
    settings_free_all();
    log_close();
    if (exit_after) {
        // Detached workers (connections, search answers) may still be
        // running: the destructors of globals that exit would run must not
        // pull anything from under them. Everything that had to be written
        // has been written.
        fflush(nullptr);
        _exit(0);
    }
}

// Runs when any code calls exit. The process is already exiting with its own
// status, so the sequence must not call exit again: that would be undefined.
void exit_hook()
{
    run_termination(0, false);
}

// A critical error stops the services like a signal would; the log then
// ends the process with status -1.
void critical_exit()
{
    run_termination(0, false);
}

[[noreturn]] void idle_forever()
{
    const sigset_t signals = termination_signals();
    for (;;) {
        timespec wait{60, 0};
        int signal_number = sigtimedwait(&signals, nullptr, &wait);
        if (signal_number > 0) {
            terminate(signal_number);
        }
    }
}

} // namespace

void terminate(int signal_number)
{
    run_termination(signal_number, true);
}

void services_stop_all()
{
    std::lock_guard guard(services_mutex());
    stop_all_locked();
}

void server_restart()
{
    start_thread([] {
        sleep_ms(500);
        std::lock_guard guard(services_mutex());
        if (g_terminating) {
            return;
        }
        stop_all_locked();
        settings_read_file();
        if (g_hooks.start_services) {
            g_hooks.start_services();
        }
    });
}

void process_set_hooks(const ServiceHooks& hooks)
{
    g_hooks = hooks;
}

void process_main(int argc, char** argv, const ServiceHooks& hooks)
{
    process_set_hooks(hooks);
    // The termination sequence prints, locks and frees, none of which may run
    // inside a signal handler. The signals are blocked in every thread (new
    // threads inherit the mask) and the idle main thread waits for them.
    const sigset_t signals = termination_signals();
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    printf("Corvalenso %s Version %s\n", edition_product_name(), kVersionText);
    fflush(stdout);
    log_open_file(nullptr);

    char cwd[1024] = "";
    if (!getcwd(cwd, sizeof cwd)) {
        cwd[0] = '\0';
    }
    set_program_paths(argc > 0 ? argv[0] : "", cwd);
    settings_load(argc, argv);

    if (!setting_str(KEY_D).empty()) {
        daemonize();
    }
    std::string device = setting_str(KEY_DEV);
    if (!device.empty() && g_hooks.lookup_device) {
        g_hooks.lookup_device(device);
    }
    if (g_hooks.register_handlers) {
        g_hooks.register_handlers();
    }
    {
        std::lock_guard guard(services_mutex());
        if (g_hooks.start_services) {
            g_hooks.start_services();
        }
    }
    atexit(exit_hook);
    log_set_critical_exit(critical_exit);
    idle_forever();
}
