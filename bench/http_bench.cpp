// Keep-alive requests per second over loopback for a small answer, with 1 and
// with 8 connections. The HTTP engine runs in this process on 127.0.0.1 with a
// handler of its own; the clients are plain sockets on other threads.
#include "bench_listener.h"
#include "core/threads.h"
#include "http/http_registry.h"
#include "http/http_response.h"
#include "http/http_server.h"

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace
{

constexpr char kAnswer[] = "<root><small>answer of a description size</small></root>";

int small_answer(HttpConnection* c)
{
    c->content_type = "text/xml; charset=\"UTF-8\"";
    c->content_length = sizeof kAnswer - 1;
    return http_send_response(c, kAnswer);
}

// One client connection issuing requests back to back until stop; returns
// the number of complete answers.
long run_client(int port, const std::atomic<bool>& stop)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        perror("connect");
        return 0;
    }
    int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    const std::string request = "GET /bench HTTP/1.1\r\nHost: 127.0.0.1\r\nUser-Agent: bench\r\n"
                                "Accept: */*\r\n\r\n";
    std::string pending;
    char buf[8192];
    // Receives until pending holds at least want bytes.
    auto receive_until = [&](size_t want) {
        while (pending.size() < want) {
            ssize_t n = recv(fd, buf, sizeof buf, 0);
            if (n <= 0) {
                return false;
            }
            pending.append(buf, static_cast<size_t>(n));
        }
        return true;
    };
    long answers = 0;
    while (!stop) {
        if (send(fd, request.data(), request.size(), MSG_NOSIGNAL) !=
            static_cast<ssize_t>(request.size())) {
            break;
        }
        size_t end;
        while ((end = pending.find("\r\n\r\n")) == std::string::npos) {
            if (!receive_until(pending.size() + 1)) {
                close(fd);
                return answers;
            }
        }
        size_t length_at = pending.find("Content-Length: ");
        size_t length = std::strtoul(pending.c_str() + length_at + 16, nullptr, 10);
        if (!receive_until(end + 4 + length)) {
            break;
        }
        pending.erase(0, end + 4 + length);
        ++answers;
    }
    close(fd);
    return answers;
}

double measure(int port, int connections, double seconds)
{
    std::atomic<bool> stop{false};
    std::vector<long> counts(static_cast<size_t>(connections));
    std::vector<std::thread> clients;
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < connections; ++i) {
        clients.emplace_back([&, i] { counts[static_cast<size_t>(i)] = run_client(port, stop); });
    }
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    stop = true;
    for (std::thread& t : clients) {
        t.join();
    }
    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    long total = 0;
    for (long n : counts) {
        total += n;
    }
    return static_cast<double>(total) / elapsed;
}

} // namespace

int main(int argc, char** argv)
{
    const double seconds = argc > 1 ? std::atof(argv[1]) : 3.0;
    http_register_handler(small_answer, HTTP_GET, "/bench");
    HttpListener& listener = bench_start_listener();
    const double one = measure(listener.port, 1, seconds);
    const double eight = measure(listener.port, 8, seconds);
    printf(
        "keep-alive requests/s over loopback, %zu-byte answer: 1 connection %.0f, 8 connections %.0f\n",
        sizeof kAnswer - 1, one, eight);
    return 0;
}
