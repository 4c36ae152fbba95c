// Which connections the server takes. At most kMaxConnectionThreads run at
// once and at most kMaxConnectionsPerPeer from one address. When every slot
// is taken, a newcomer from a host with fewer connections takes the slot of
// a connection of the busiest host that is only waiting for a request, so
// that a few hosts holding connections open cannot shut everyone else out.
#pragma once

#include <atomic>
#include <netinet/in.h>

// One admitted connection, from accept until its thread ends.
struct HttpAdmission {
    int socket = -1;
    in_addr_t peer = 0;
    // Set while the connection waits for (or reads) a request head, the only
    // time it may be closed to make room.
    std::atomic<bool> waiting{true};
};

// Admits the accepted socket from peer, or null when it must be closed.
// Logs refusals and evictions, at most once a second.
HttpAdmission* http_admit(int socket, in_addr_t peer);

// Ends an admission. Call before the socket is closed, so that an eviction
// never shuts down a descriptor that was reused meanwhile.
void http_release(HttpAdmission* admission);

// Connections admitted now.
int http_admitted_count();
