#include "child_process.h"

#include "temp_dir.h"

#include <csignal>
#include <ctime>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& args,
                           const std::string& dir)
    : directory(dir)
{
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& a : args) {
        argv.push_back(const_cast<char*>(a.c_str()));
    }
    argv.push_back(nullptr);
    const std::string out_path = dir + "/stdout.txt";
    const std::string err_path = dir + "/stderr.txt";
    pid = fork();
    if (pid == 0) {
        // The child must not inherit a blocked signal mask from the test.
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        if (chdir(dir.c_str()) != 0) {
            _exit(126);
        }
        int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(out, STDOUT_FILENO);
        dup2(err, STDERR_FILENO);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
}

ChildProcess::~ChildProcess()
{
    if (pid > 0 && !reaped) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
}

void ChildProcess::send_signal(int signal_number) const
{
    if (pid > 0 && !reaped) {
        kill(pid, signal_number);
    }
}

std::optional<int> ChildProcess::wait_exit(std::chrono::milliseconds timeout)
{
    std::optional<int> result;
    wait_until(
        [&] {
            int status = 0;
            if (waitpid(pid, &status, WNOHANG) == pid) {
                reaped = true;
                result = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            return reaped;
        },
        timeout);
    return result;
}

std::string ChildProcess::out() const
{
    return read_text_file(directory + "/stdout.txt");
}

std::string ChildProcess::err() const
{
    return read_text_file(directory + "/stderr.txt");
}

int count_occurrences(const std::string& text, const std::string& needle)
{
    int n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) {
        ++n;
    }
    return n;
}

ScriptRun run_python_script(const std::vector<std::string>& args, std::chrono::milliseconds timeout)
{
    TempDir dir;
    ChildProcess script("/usr/bin/python3", args, dir.path);
    ScriptRun run;
    run.status = script.wait_exit(timeout);
    run.out = script.out();
    run.err = script.err();
    return run;
}
