// How long another client waits for its answer while slow clients hold
// connections: as many connections as the server serves at once, each
// sending one byte of a request head now and then, once from one host and
// once spread over four, against the HTTP engine running in this process on
// 127.0.0.1. The slow hosts are other loopback addresses (127.0.0.2 to
// 127.0.0.5).
//
// Usage: slow_clients_bench [samples]   (default 50)
#include "bench_listener.h"
#include "core/threads.h"
#include "http/http_registry.h"
#include "http/http_response.h"
#include "http/http_server.h"

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace
{

using Clock = std::chrono::steady_clock;

int small_answer(HttpConnection* c)
{
    static constexpr char kAnswer[] = "<root>answer</root>";
    c->content_type = "text/xml; charset=\"UTF-8\"";
    c->content_length = sizeof kAnswer - 1;
    return http_send_response(c, kAnswer);
}

int connect_from(const char* source, int port)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in from{};
    from.sin_family = AF_INET;
    inet_pton(AF_INET, source, &from.sin_addr);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0 ||
        connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Milliseconds from connecting to the end of the answer; negative when the
// server closed the connection without answering.
double answer_ms(int port)
{
    const auto start = Clock::now();
    int fd = connect_from("127.0.0.1", port);
    const char request[] = "GET /bench HTTP/1.1\r\nConnection: close\r\n\r\n";
    send(fd, request, sizeof request - 1, MSG_NOSIGNAL);
    std::string got;
    char buf[4096];
    ssize_t n;
    while ((n = recv(fd, buf, sizeof buf, 0)) > 0) {
        got.append(buf, static_cast<size_t>(n));
    }
    close(fd);
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    return got.find("answer</root>") != std::string::npos ? ms : -ms;
}

void report(const char* what, int port, int samples)
{
    std::vector<double> times;
    int refused = 0;
    for (int i = 0; i < samples; ++i) {
        const double ms = answer_ms(port);
        if (ms < 0) {
            ++refused;
        } else {
            times.push_back(ms);
        }
    }
    std::sort(times.begin(), times.end());
    if (times.empty()) {
        printf("%s: every one of %d requests refused\n", what, samples);
        return;
    }
    printf("%s: median %.3f ms, worst %.3f ms, %d of %d refused\n", what, times[times.size() / 2],
           times.back(), refused, samples);
}

// Opens count slow connections spread over hosts, each sending the first
// byte of a head, and returns those the server kept open.
std::vector<int> hold_slow(int port, const std::vector<const char*>& hosts, int count)
{
    std::vector<int> fds;
    for (int i = 0; i < count; ++i) {
        int fd = connect_from(hosts[static_cast<size_t>(i) % hosts.size()], port);
        if (fd >= 0) {
            send(fd, "G", 1, MSG_NOSIGNAL);
            fds.push_back(fd);
        }
    }
    sleep_ms(300);
    std::vector<int> open;
    for (int fd : fds) {
        pollfd p{fd, POLLIN, 0};
        char c;
        if (poll(&p, 1, 0) > 0 && recv(fd, &c, 1, MSG_DONTWAIT) <= 0) {
            close(fd);
        } else {
            open.push_back(fd);
        }
    }
    return open;
}

} // namespace

int main(int argc, char** argv)
{
    const int samples = argc > 1 ? atoi(argv[1]) : 50;
    http_register_handler(small_answer, HTTP_GET, "/bench");
    HttpListener& listener = bench_start_listener();
    report("no slow clients", listener.port, samples);

    std::vector<int> held = hold_slow(listener.port, {"127.0.0.2"}, kMaxConnectionThreads);
    printf("%d slow connections from one host: %zu held by the server\n", kMaxConnectionThreads,
           held.size());
    report("  another client", listener.port, samples);
    for (int fd : held) {
        close(fd);
    }
    while (http_connection_count() > 0) {
        sleep_ms(10);
    }

    held = hold_slow(listener.port, {"127.0.0.2", "127.0.0.3", "127.0.0.4", "127.0.0.5"},
                     kMaxConnectionThreads);
    printf("%d slow connections from four hosts: %zu held by the server\n", kMaxConnectionThreads,
           held.size());
    report("  another client", listener.port, samples);
    for (int fd : held) {
        close(fd);
    }
    return 0;
}
