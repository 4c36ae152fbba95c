// Listening sockets on the loopback address for the fake servers of the
// tests (players, sources, station lists, FTP servers).
#pragma once

// A TCP socket listening on 127.0.0.1 at a free port, which goes to port;
// -1 when none can be made.
int loopback_listener(int& port, int backlog = 8);

// A loopback port that nobody listens on (taken and given back at once).
int loopback_free_port();
