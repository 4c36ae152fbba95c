// Reading request and response heads and bodies from a socket, shared by the
// server and the client.
//
// Each connection reads through its own buffer, so a head costs a few system
// calls instead of one per byte. Bytes received beyond the head stay in that
// buffer for the body or for the next request: nothing that belongs to them
// is lost.
#pragma once

#include "core/strbuf.h"
#include "http/http_head.h"
#include "http/http_limits.h"

#include <array>
#include <chrono>
#include <cstddef>
#include <sys/types.h>

struct HttpReader {
    using Clock = std::chrono::steady_clock;
    int socket = -1;
    size_t start = 0; // first unread byte in buffer
    size_t end = 0;   // one past the last received byte
    // No receive waits past the deadline. A head read moves it to head_ms
    // after the head's first byte, and once the head is complete to
    // request_ms after that byte, which the body shares, so a client cannot
    // stretch one request by trickling bytes. 0: no limit.
    Clock::time_point deadline = Clock::time_point::max();
    int request_ms = 0;
    int head_ms = 0;
    // The socket's own receive time-out (SO_RCVTIMEO), 0 when none: while
    // the deadline is at least that far away a plain receive cannot wait past
    // it, and the wait costs no extra system call.
    int socket_timeout_ms = 0;
    bool timed_out = false; // a receive failed because the deadline passed
    std::array<char, kHttpReadBufferSize> buffer{};
};

// Bytes received but not consumed yet.
inline size_t http_reader_buffered(const HttpReader& reader)
{
    return reader.end - reader.start;
}

// Receives at most n bytes, buffered bytes first. Returns the count, 0 when
// the peer closed, -1 on an error (errno kept).
ssize_t http_reader_recv(HttpReader& reader, void* out, size_t n);

// How a head read ended.
enum class HeadStatus {
    Complete, // up to and including the blank line
    Cut,      // the buffer filled first; the text so far is kept
    Closed,   // the peer closed before sending anything usable
    TimedOut, // the deadline passed first (the text so far is kept)
    Failed,   // a receive error
};

struct HeadResult {
    HeadStatus status = HeadStatus::Closed;
    size_t length = 0; // characters in the buffer, NUL-terminated
};

// Reads a head into buffer (size bytes, at most size - 1 characters) up to
// CR LF CR LF; a head ending in bare LF LF is not recognised.
HeadResult http_read_head(HttpReader& reader, char* buffer, size_t size);

enum class BodyStatus {
    None,      // the head announces no body
    Received,  // body holds what arrived (possibly less than announced)
    TooLarge,  // the announced or received body exceeds the limit
    TimedOut,  // the deadline passed before the body was complete
    Malformed, // the head's framing fields are ambiguous (see http_split_head)
};

struct BodyResult {
    BodyStatus status = BodyStatus::None;
    StrBuf body;
};

// The value of the head's Content-Length field; -1 when there is none or
// the head is malformed.
int64_t http_content_length(const char* head);

// Reads the body the split head announces: chunked, by Content-Length, or
// until the peer closes when the head says "Connection: close". Anything
// above max_body bytes is refused before it is allocated.
BodyResult http_read_body(HttpReader& reader, const HttpHead& head, size_t max_body);

// The same for a head not split yet (answers of the HTTP client).
BodyResult http_read_body(HttpReader& reader, const char* head, size_t max_body);
