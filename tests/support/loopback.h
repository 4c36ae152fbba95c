// Listening sockets on the loopback address for the fake servers of the
// tests (players, sources, station lists, FTP servers).
#pragma once

#include <string>

// A TCP socket listening on 127.0.0.1 (or another loopback address) at a
// free port, which goes to port; -1 when none can be made.
int loopback_listener(int& port, int backlog = 8, const char* address = "127.0.0.1");

// The next connection on listener within wait_ms, or -1.
int loopback_accept(int listener, int wait_ms);

// A request's head as the client sent it, up to its blank line (or what came
// before the client closed).
std::string loopback_read_head(int socket);

// A loopback port that nobody listens on (taken and given back at once).
int loopback_free_port();
