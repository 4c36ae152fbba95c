#include "server_process.h"

#include <csignal>
#include <regex>

using namespace std::chrono_literals;

ServerUnderTest::ServerUnderTest(const std::string& program, std::vector<std::string> extra)
{
    std::vector<std::string> args = {"-ip", "127.0.0.1", "-radio", "0", "-v", "9"};
    args.insert(args.end(), extra.begin(), extra.end());
    process = std::make_unique<ChildProcess>(program, args, dir.path);
    const std::regex started("Server starting at 127\\.0\\.0\\.1:(\\d+)\n[^]*HTTP server started");
    wait_until(
        [&] {
            std::smatch m;
            const std::string out = process->out();
            if (std::regex_search(out, m, started)) {
                http_port = std::stoi(m[1]);
                return true;
            }
            return false;
        },
        10s);
}

std::optional<int> ServerUnderTest::stop()
{
    process->send_signal(SIGTERM);
    return process->wait_exit(20s);
}

bool ServerUnderTest::scan_completed(const std::string& content_dir)
{
    return wait_until(
        [&] {
            return process->out().find("DB scan on " + content_dir + " completed") !=
                   std::string::npos;
        },
        std::chrono::seconds(20));
}
