// Limits of the HTTP engine. Fixed sizes come from the wire formats the
// server speaks; the time-outs and caps keep one misbehaving client from
// holding the server.
#pragma once

#include <cstddef>

inline constexpr size_t kHttpHeadSize = 1024;         // request head, 1023 characters
inline constexpr size_t kHttpUrlSize = 256;           // request target, 255 characters
inline constexpr size_t kHttpExtraHeadersSize = 1024; // handler's extra header lines
inline constexpr size_t kHttpBaseUrlSize = 128;
inline constexpr size_t kHttpClientIpSize = 18;
inline constexpr size_t kHttpResponseHeadSize = 1024; // composed answer head, 1023 bytes
inline constexpr size_t kHttpPageSize = 1024;         // the 404 page

inline constexpr int kMaxServerAddresses = 5;
inline constexpr int kFirstSearchedPort = 9000;
inline constexpr int kLastSearchedPort = 10000;
inline constexpr int kNetgearUpgradePort = 3640;
inline constexpr int kListenBacklog = 128;

// Every request body of this server (forms, SOAP, GENA) is small.
inline constexpr size_t kMaxRequestBody = 1024 * 1024;

// A client that sends nothing while a request is due, or stops reading an
// answer, is dropped after these.
inline constexpr int kReceiveTimeoutSeconds = 30;
inline constexpr int kSendTimeoutSeconds = 60;

// Connection threads alive at once; further connections are closed at once.
inline constexpr int kMaxConnectionThreads = 128;

// Size of each connection's receive buffer.
inline constexpr size_t kHttpReadBufferSize = 8192;
