#include "captured_connection.h"

#include <cstdio>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

CapturedConnection::CapturedConnection(const char* url)
{
    socketpair(AF_UNIX, SOCK_STREAM, 0, fds);
    c.socket = fds[0];
    c.http_version = 11;
    c.method = HTTP_GET;
    snprintf(c.url.data(), c.url.size(), "%s", url);
}

CapturedConnection::~CapturedConnection()
{
    close(fds[0]);
    close(fds[1]);
}

std::string CapturedConnection::sent()
{
    shutdown(fds[0], SHUT_WR);
    std::string all;
    char buf[8192];
    ssize_t n;
    while ((n = read(fds[1], buf, sizeof buf)) > 0) {
        all.append(buf, static_cast<size_t>(n));
    }
    return all;
}

std::string CapturedConnection::run(const std::function<int()>& call)
{
    std::thread handler([&] {
        result = call();
        shutdown(fds[0], SHUT_WR);
    });
    std::string all;
    char buf[65536];
    ssize_t n;
    while ((n = read(fds[1], buf, sizeof buf)) > 0) {
        all.append(buf, static_cast<size_t>(n));
    }
    handler.join();
    return all;
}
