// Socket helpers shared by the HTTP server, the HTTP client and eventing.
#pragma once

#include <cstddef>
#include <string>
#include <sys/types.h>

// Sends all length bytes, looping over partial sends; returns the bytes sent,
// or -1 as soon as one send fails. Callers pass MSG_NOSIGNAL so that a closed
// peer gives an error instead of SIGPIPE.
ssize_t send_all(int socket, const void* data, size_t length, int flags);

// The peer's dotted IPv4 address; empty (after printing the system error with
// the prefix "getpeername") when it cannot be read.
std::string peer_address(int socket);
