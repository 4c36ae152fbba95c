// Starts a program of this build as a child process in a directory of the
// test's own, with its standard output and error captured in files there.
// Tests end only the processes they started, by PID.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

struct ChildProcess {
    // Starts program with args in directory; stdout and stderr go to
    // directory/stdout.txt and directory/stderr.txt.
    ChildProcess(const std::string& program, const std::vector<std::string>& args,
                 const std::string& directory);
    // Kills the child (SIGKILL) if it is still running.
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    void send_signal(int signal_number) const;

    // The exit status (WEXITSTATUS, or 128 + signal), once the child ended
    // within timeout; nothing when it is still running.
    std::optional<int> wait_exit(std::chrono::milliseconds timeout);

    std::string out() const;
    std::string err() const;

    pid_t pid = -1;
    std::string directory;
    bool reaped = false;
};

// A Python script of the tests (python3 with the system's gi bindings) run
// to its end in a directory of its own, so that its output stays apart from
// the server's. Status 77 means what the script needs is not installed;
// nothing means it did not finish within timeout.
struct ScriptRun {
    std::optional<int> status;
    std::string out;
    std::string err;
};
ScriptRun run_python_script(const std::vector<std::string>& args,
                            std::chrono::milliseconds timeout);

// Waits until predicate holds or timeout passes; returns its last value.
template <typename Predicate>
bool wait_until(Predicate predicate, std::chrono::milliseconds timeout)
{
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!predicate()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return predicate();
        }
        struct timespec pause {
            0, 20 * 1000 * 1000
        };
        nanosleep(&pause, nullptr);
    }
    return true;
}

// Number of times needle occurs in text.
int count_occurrences(const std::string& text, const std::string& needle);
