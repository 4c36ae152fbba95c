#include "stream_measure.h"

#include "mp3_writer.h"

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace
{

using Clock = std::chrono::steady_clock;

} // namespace

int connect_loopback(int port)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        close(fd);
        return -1;
    }
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return fd;
}

namespace
{

// One GET on a new connection; the body bytes received, or -1 when the
// answer was not the expected status or length.
int64_t fetch(int port, const std::string& target, const std::string& range, int64_t expect,
              std::vector<char>& buffer)
{
    const int fd = connect_loopback(port);
    if (fd < 0) {
        return -1;
    }
    std::string request = "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n";
    if (!range.empty()) {
        request += "Range: " + range + "\r\n";
    }
    request += "Connection: close\r\n\r\n";
    send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    std::string head;
    int64_t body = 0;
    bool in_body = false;
    for (;;) {
        const ssize_t n = recv(fd, buffer.data(), buffer.size(), 0);
        if (n <= 0) {
            break;
        }
        if (in_body) {
            body += n;
        } else {
            head.append(buffer.data(), static_cast<size_t>(n));
            const size_t end = head.find("\r\n\r\n");
            if (end != std::string::npos) {
                body = static_cast<int64_t>(head.size() - end - 4);
                head.resize(end);
                in_body = true;
            }
        }
        if (in_body && body >= expect) {
            break;
        }
    }
    close(fd);
    const bool status_ok = head.find(range.empty() ? " 200 " : " 206 ") != std::string::npos;
    return status_ok && body == expect ? body : -1;
}

double stream_round(int port, const std::string& target, int64_t size, int streams)
{
    std::vector<std::thread> threads;
    std::vector<int64_t> got(static_cast<size_t>(streams), 0);
    const auto start = Clock::now();
    for (int i = 0; i < streams; ++i) {
        threads.emplace_back([&, i] {
            std::vector<char> buffer(1 << 20);
            got[static_cast<size_t>(i)] = fetch(port, target, "", size, buffer);
        });
    }
    for (std::thread& t : threads) {
        t.join();
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    for (int64_t g : got) {
        if (g < 0) {
            return 0;
        }
    }
    return static_cast<double>(size) * streams / seconds / 1e6;
}

int free_loopback_port()
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    socklen_t length = sizeof addr;
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length);
    close(fd);
    return ntohs(addr.sin_port);
}

} // namespace

StreamFigures measure_streams(int port, const std::string& target, int64_t size, int rounds,
                              int range_count)
{
    StreamFigures f;
    for (int r = 0; r < rounds; ++r) {
        f.one_mb_s = std::max(f.one_mb_s, stream_round(port, target, size, 1));
        f.eight_mb_s = std::max(f.eight_mb_s, stream_round(port, target, size, 8));
    }
    std::vector<double> times;
    std::vector<char> buffer(65536);
    uint64_t offset = 12345;
    for (int i = 0; i < range_count; ++i) {
        offset = (offset * 6364136223846793005ULL + 1442695040888963407ULL);
        const int64_t from = static_cast<int64_t>(offset % static_cast<uint64_t>(size - 1000));
        const std::string range =
            "bytes=" + std::to_string(from) + "-" + std::to_string(from + 999);
        const auto start = Clock::now();
        if (fetch(port, target, range, 1000, buffer) != 1000) {
            return StreamFigures{};
        }
        times.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }
    std::sort(times.begin(), times.end());
    f.range_ms = times.empty() ? 0 : times[times.size() / 2];
    return f;
}

std::optional<Nginx> nginx_start(const std::string& directory, const std::string& work)
{
    const char* program = "/usr/sbin/nginx";
    if (access(program, X_OK) != 0) {
        return std::nullopt;
    }
    Nginx n;
    n.port = free_loopback_port();
    const std::string conf = work + "/nginx.conf";
    std::ofstream out(conf);
    out << "worker_processes 2;\ndaemon off;\npid " << work << "/nginx.pid;\nerror_log " << work
        << "/nginx-error.log;\nevents { worker_connections 256; }\nhttp {\n"
        << "  access_log off;\n  sendfile on;\n  tcp_nopush on;\n"
        << "  client_body_temp_path " << work << "/nginx-body;\n"
        << "  types { audio/mpeg mp3; }\n"
        << "  server {\n    listen 127.0.0.1:" << n.port << ";\n    root " << directory
        << ";\n  }\n}\n";
    out.close();
    n.pid = fork();
    if (n.pid == 0) {
        const std::string log = work + "/nginx-stderr.txt";
        freopen(log.c_str(), "w", stderr);
        freopen(log.c_str(), "a", stdout);
        execl(program, program, "-p", work.c_str(), "-e", (work + "/nginx-error.log").c_str(), "-c",
              conf.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    // Ready once it accepts.
    for (int i = 0; i < 200; ++i) {
        const int fd = connect_loopback(n.port);
        if (fd >= 0) {
            close(fd);
            return n;
        }
        if (waitpid(n.pid, nullptr, WNOHANG) == n.pid) {
            return std::nullopt;
        }
        usleep(20000);
    }
    nginx_stop(n);
    return std::nullopt;
}

void nginx_stop(Nginx& n)
{
    if (n.pid > 0) {
        kill(n.pid, SIGQUIT);
        waitpid(n.pid, nullptr, 0);
        n.pid = -1;
    }
}

std::string http_body(int port, const std::string& target)
{
    const int fd = connect_loopback(port);
    if (fd < 0) {
        return {};
    }
    const std::string request = "GET " + target + " HTTP/1.0\r\n\r\n";
    send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    std::string all;
    char buf[4096];
    ssize_t n;
    while ((n = recv(fd, buf, sizeof buf, 0)) > 0) {
        all.append(buf, static_cast<size_t>(n));
    }
    close(fd);
    const size_t end = all.find("\r\n\r\n");
    return end == std::string::npos ? std::string() : all.substr(end + 4);
}

bool write_stream_file(const std::string& path, int64_t size)
{
    const Bytes frames = mpeg_frames(2500);
    FILE* f = fopen(path.c_str(), "wb");
    if (!f) {
        return false;
    }
    int64_t left = size;
    while (left > 0) {
        const size_t n = static_cast<size_t>(std::min<int64_t>(left, frames.size()));
        if (fwrite(frames.data(), 1, n, f) != n) {
            fclose(f);
            return false;
        }
        left -= static_cast<int64_t>(n);
    }
    return fclose(f) == 0;
}
