#include "support/loopback.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

int loopback_listener(int& port, int backlog, const char* address)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    // Loopback only: the tests' servers are never reachable from a network.
    if (inet_pton(AF_INET, address, &a.sin_addr) != 1 || (ntohl(a.sin_addr.s_addr) >> 24) != 127) {
        return -1;
    }
    const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0) {
        return -1;
    }
    socklen_t size = sizeof a;
    if (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        getsockname(s, reinterpret_cast<sockaddr*>(&a), &size) != 0 || listen(s, backlog) != 0) {
        close(s);
        return -1;
    }
    port = ntohs(a.sin_port);
    return s;
}

int loopback_free_port()
{
    int port = 0;
    const int s = loopback_listener(port, 1);
    if (s >= 0) {
        close(s);
    }
    return port;
}

int loopback_accept(int listener, int wait_ms)
{
    pollfd p{listener, POLLIN, 0};
    if (poll(&p, 1, wait_ms) != 1) {
        return -1;
    }
    return accept(listener, nullptr, nullptr);
}

std::string loopback_read_head(int socket)
{
    std::string request;
    char block[1024];
    while (request.find("\r\n\r\n") == std::string::npos) {
        const ssize_t n = recv(socket, block, sizeof block, 0);
        if (n <= 0) {
            break;
        }
        request.append(block, static_cast<size_t>(n));
    }
    return request;
}
