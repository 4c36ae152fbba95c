// Socket helpers shared by the HTTP server, the HTTP client and eventing.
#pragma once

#include <cstddef>
#include <netinet/in.h>
#include <string>
#include <sys/types.h>

// Sends all length bytes, looping over partial sends; returns the bytes sent,
// or -1 as soon as one send fails. Callers pass MSG_NOSIGNAL so that a closed
// peer gives an error instead of SIGPIPE.
ssize_t send_all(int socket, const void* data, size_t length, int flags);

// The peer's dotted IPv4 address; empty (after printing the system error with
// the prefix "getpeername") when it cannot be read.
std::string peer_address(int socket);

// Where an address leads, as far as the relays care: a public address is
// some host on the internet, every other kind is this machine or the home
// network behind it, which an internet station or a page must not be able
// to make the server talk to.
enum class AddressScope {
    Public,
    Loopback,       // 127/8, ::1
    PrivateNetwork, // 10/8, 172.16/12, 192.168/16, fc00::/7, fec0::/10
    LinkLocal,      // 169.254/16, fe80::/10
    Multicast,      // 224/4, ff00::/8
    Unspecified,    // 0/8, ::
    Reserved,       // 240/4 and the broadcast address
};

// The scope of an IPv4 address (network byte order, as in sockaddr_in), and
// of an IPv6 one; an IPv4-mapped IPv6 address (::ffff:a.b.c.d) has the scope
// of its IPv4 address.
AddressScope net_scope_ipv4(in_addr address);
AddressScope net_scope_ipv6(const in6_addr& address);

// What a scope is called in a log line: "public", "loopback", ...
const char* net_scope_name(AddressScope scope);
