// Limits of the HTTP engine. Fixed sizes come from the wire formats the
// server speaks; the time-outs and caps keep one misbehaving client from
// holding the server.
#pragma once

#include <cstddef>

// A request head, at most 8191 characters: today's browsers and control
// points send heads well beyond 1 KiB (client hints, cookies, long
// User-Agents), and a head that does not fit is refused, not cut.
inline constexpr size_t kHttpHeadSize = 8192;
inline constexpr size_t kHttpUrlSize = 256;           // request target, 255 characters
inline constexpr size_t kHttpExtraHeadersSize = 1024; // handler's extra header lines
inline constexpr size_t kHttpBaseUrlSize = 128;
inline constexpr size_t kHttpClientIpSize = 18;
inline constexpr size_t kHttpResponseHeadSize = 1024; // composed answer head, 1023 bytes

inline constexpr int kMaxServerAddresses = 5;
inline constexpr int kFirstSearchedPort = 9000;
inline constexpr int kLastSearchedPort = 10000;
inline constexpr int kNetgearUpgradePort = 3640;
// Room for a burst of connections as large as the connection cap: a queue
// that overflows drops the newcomer's opening packet, and its client then
// waits a whole second for the retry, however soon a slot is free. The
// kernel cuts it to net.core.somaxconn (4096 on current systems).
inline constexpr int kListenBacklog = 1024;

// Every request body of this server (forms, SOAP, GENA) is small.
inline constexpr size_t kMaxRequestBody = 1024 * 1024;

// Connections served at once, and from one peer address. A stream whose
// player has paused is not counted in the first: it costs a descriptor and
// a parked thread, not work. Beyond its share a host's connections wait in a
// queue until one of its own slots frees; when every slot is taken, the
// connection idle the longest, whichever host holds it, makes room.
inline constexpr int kMaxConnectionThreads = 1024;
inline constexpr int kMaxConnectionsPerPeer = 32;
// Connections that may wait for a slot of their host, from one host and in
// all; further ones are closed.
inline constexpr int kMaxQueuedPerPeer = 256;
inline constexpr int kMaxQueuedConnections = 1024;
// Every connection, counted or not, waiting or served, stays this far below
// the descriptor limit, which leaves room for files, the database and SSDP.
inline constexpr int kReservedDescriptors = 128;
// Connection threads mostly wait; a small stack lets thousands of them
// exist. The deepest handler (picture decoding, XML parsing, DIDL
// rendering) uses well under a quarter of it.
inline constexpr size_t kConnectionStackBytes = 256 * 1024;

// How long a client may take. A request's head must be complete within
// head_ms of its first byte, and head and body together within request_ms,
// however slowly the bytes trickle in: a player or control point sends its
// head in one piece, so a head that takes seconds is a client holding a slot
// for nothing (servers on the open internet allow about as long). An idle
// keep-alive connection is closed idle_ms after its last answer; an answer
// that the client stops reading fails after send_ms without progress. A
// media stream is an exception: a player that pauses (a phone call) stops
// reading with the connection open and resumes where it stopped, so its
// stream waits up to stream_pause_ms. A connection queued behind its host's
// share waits at most request_ms for a slot.
struct HttpTimeLimits {
    int request_ms = 30000;
    int idle_ms = 30000;
    int send_ms = 60000;
    int stream_pause_ms = 30 * 60 * 1000;
    int head_ms = 10000;
};

// Size of each connection's receive buffer.
inline constexpr size_t kHttpReadBufferSize = 8192;
