#include "core/net_util.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
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

AddressScope net_scope_ipv4(in_addr address)
{
    const uint32_t a = ntohl(address.s_addr);
    const auto in = [a](uint32_t network, int bits) {
        return (a >> (32 - bits)) == (network >> (32 - bits));
    };
    // Linux takes a connection to 0.0.0.0 as one to this machine itself.
    if (in(0x00000000, 8)) {
        return AddressScope::Unspecified;
    }
    if (in(0x7F000000, 8)) {
        return AddressScope::Loopback;
    }
    if (in(0x0A000000, 8) || in(0xAC100000, 12) || in(0xC0A80000, 16)) {
        return AddressScope::PrivateNetwork;
    }
    if (in(0xA9FE0000, 16)) {
        return AddressScope::LinkLocal;
    }
    if (in(0xE0000000, 4)) {
        return AddressScope::Multicast;
    }
    if (in(0xF0000000, 4)) {
        return AddressScope::Reserved;
    }
    // 100.64/10 stays public: the provider's shared address space lies on
    // the far side of the home router, as the internet does.
    return AddressScope::Public;
}

AddressScope net_scope_ipv6(const in6_addr& address)
{
    const uint8_t* b = address.s6_addr;
    if (IN6_IS_ADDR_V4MAPPED(&address)) {
        in_addr v4{};
        memcpy(&v4.s_addr, b + 12, 4);
        return net_scope_ipv4(v4);
    }
    if (IN6_IS_ADDR_UNSPECIFIED(&address)) {
        return AddressScope::Unspecified;
    }
    if (IN6_IS_ADDR_LOOPBACK(&address)) {
        return AddressScope::Loopback;
    }
    // Unique local addresses, and the site-local ones they replaced.
    if ((b[0] & 0xFE) == 0xFC || (b[0] == 0xFE && (b[1] & 0xC0) == 0xC0)) {
        return AddressScope::PrivateNetwork;
    }
    if (b[0] == 0xFE && (b[1] & 0xC0) == 0x80) {
        return AddressScope::LinkLocal;
    }
    if (b[0] == 0xFF) {
        return AddressScope::Multicast;
    }
    return AddressScope::Public;
}

const char* net_scope_name(AddressScope scope)
{
    switch (scope) {
    case AddressScope::Public:
        return "public";
    case AddressScope::Loopback:
        return "loopback";
    case AddressScope::PrivateNetwork:
        return "private network";
    case AddressScope::LinkLocal:
        return "link-local";
    case AddressScope::Multicast:
        return "multicast";
    case AddressScope::Unspecified:
        return "unspecified";
    case AddressScope::Reserved:
        return "reserved";
    }
    return "unknown";
}
