#include "core/net_util.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <netinet/in.h>
#include <sys/socket.h>

ssize_t send_all(int socket, const void* data, size_t length, int flags)
{
    const char* p = static_cast<const char*>(data);
    size_t sent = 0;
    while (sent < length) {
        ssize_t n = send(socket, p + sent, length - sent, flags);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return -1;
        }
        sent += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(sent);
}

std::string peer_address(int socket)
{
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    if (getpeername(socket, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        perror("getpeername");
        return {};
    }
    char text[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &addr.sin_addr, text, sizeof text);
    return text;
}
