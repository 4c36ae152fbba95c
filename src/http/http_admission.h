// Which connections the server takes, and when.
//
// At most a fixed number of connections are served at once, and at most a
// share of them from one address. A host's connections beyond its share are
// not closed: a control point that fires many requests at once opens a
// connection for each, and a closed one is a failed request. They wait in a
// queue, bounded in length and time, and take the host's next free slot; a
// host with waiting connections has its answers close their connections, so
// that slots kept alive for nothing pass on at once.
//
// When every slot is taken, the connection that has waited the longest for
// a request or for the rest of its request head, whichever host holds it, is
// closed to make room: a head that has begun costs the client nothing to
// hold open, so it cannot count for more than an idle connection. A media
// stream whose player has paused is not counted against other hosts and is
// never closed as idle.
#pragma once

#include "core/threads.h"

#include <cstdint>
#include <netinet/in.h>

// Where a connection stands; guarded by the admission table's lock.
enum class HttpSlot : int {
    Queued,        // waits for a slot of its host
    Idle,          // waits for the first byte of a request
    Head,          // has the first bytes of a request head, waits for the rest
    Busy,          // reads a request body or answers
    StreamWaiting, // a media stream whose player does not read now
    Evicted,       // closed to make room; its thread ends soon
};

// One connection, from accept until its thread ends.
struct HttpAdmission {
    int socket = -1;
    in_addr_t peer = 0;
    HttpSlot slot = HttpSlot::Idle;
    bool served = false;  // has answered a request
    int64_t since_ms = 0; // when it began to wait (queue order, idle order)
};

enum class HttpAdmit {
    Admitted, // serve it now
    Queued,   // wait with http_admission_wait_slot first
    Refused,  // close it
};

struct HttpAdmitResult {
    HttpAdmit status = HttpAdmit::Refused;
    HttpAdmission* admission = nullptr;
};

// Takes, queues or refuses the accepted socket from peer. Logs refusals and
// evictions, at most once a second.
HttpAdmitResult http_admit(int socket, in_addr_t peer);

// For a queued connection: waits until it has a slot (true), or until wait_ms
// pass or *running leaves 1 (false: the admission is gone; close the socket
// without http_release).
bool http_admission_wait_slot(HttpAdmission* admission, int wait_ms, const ThreadFlag* running);

// The first byte of a request has arrived: the connection reads its head.
// False when it was closed to make room meanwhile.
bool http_admission_claim(HttpAdmission* admission);

// The request head is complete: the connection is busy and no longer gives
// way. False when it was closed to make room meanwhile.
bool http_admission_busy(HttpAdmission* admission);

// An answer is complete and the connection waits for the next request, or
// has received its start already (request_pending: it reads its head). False
// when it should end now instead, to give its slot to a waiting connection
// of its host, or when it was closed to make room.
bool http_admission_idle(HttpAdmission* admission, bool request_pending);

// Whether connections of the same host wait for a slot.
bool http_admission_host_waits(HttpAdmission* admission);

// A media stream's send waits for its reader (true), or moves again (false).
void http_admission_stream_waiting(HttpAdmission* admission, bool waiting);

// Ends an admission. Call before the socket is closed, so that an eviction
// never shuts down a descriptor that was reused meanwhile.
void http_release(HttpAdmission* admission);

// Connections admitted now (queued ones not included), and those queued.
int http_admitted_count();
int http_queued_count();

// The caps (tests shorten them; the defaults are the kMax... values).
struct HttpAdmissionLimits {
    int connections;
    int per_peer;
    int queued_per_peer;
    int queued;
};
HttpAdmissionLimits http_admission_default_limits();
void http_set_admission_limits(const HttpAdmissionLimits& limits);

// Raises the process's descriptor limit to its hard limit, once, and sizes
// the connections the server may hold to it.
void http_raise_descriptor_limit();
