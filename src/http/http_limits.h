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
inline constexpr int kListenBacklog = 128;

// Every request body of this server (forms, SOAP, GENA) is small.
inline constexpr size_t kMaxRequestBody = 1024 * 1024;

// Connection threads alive at once, and from one peer address, so that one
// host cannot take every slot; further connections are closed at once.
inline constexpr int kMaxConnectionThreads = 128;
inline constexpr int kMaxConnectionsPerPeer = 32;

// How long a client may take. A request's head and body must be complete
// within request_ms of its first byte, however slowly the bytes trickle in;
// an idle keep-alive connection is closed idle_ms after its last answer; an
// answer that the client stops reading fails after send_ms without progress.
struct HttpTimeLimits {
    int request_ms = 30000;
    int idle_ms = 30000;
    int send_ms = 60000;
};

// Size of each connection's receive buffer.
inline constexpr size_t kHttpReadBufferSize = 8192;
