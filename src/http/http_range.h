// Byte ranges ("Range: bytes=a-b") and DLNA play-time ranges
// ("TimeSeekRange.dlna.org: npt=a-b", "X-Seek-Range") of a request head.
#pragma once

#include <cstdint>

struct HttpConnection;

// Where a request's range came from: decided once, by the range parser, and
// only read after that (the status line, the DLNA headers, the handlers).
enum class RangeSource {
    None,      // the whole body
    Bytes,     // "Range: bytes=a-b" (it wins when a play-time field comes too)
    TimeSeek,  // "TimeSeekRange.dlna.org: npt=a-b": answered 200 with its range
    SeekRange, // the older "X-Seek-Range: npt=a-b": answered as a byte range
    Resume,    // a resumed stream's own offset, whatever the client sent
};

struct HttpRange {
    int64_t start = -1; // -1: not given
    int64_t end = -1;   // -1: up to the end
    RangeSource source = RangeSource::None;

    // Start and end are milliseconds of play time.
    bool is_time() const
    {
        return source == RangeSource::TimeSeek || source == RangeSource::SeekRange;
    }
};

HttpRange http_parse_range(const char* head);

// Milliseconds of an npt play time: "h:m:s.f", "m:s", or plain seconds,
// with an optional decimal fraction of a second.
int64_t http_parse_play_time(const char* text);

// The range a request asks for: the override a resumed stream set, or else
// the request head's range headers.
HttpRange http_request_range(const HttpConnection* connection);

// A byte range applied to a body of total bytes. Every value is checked
// against the total, so that no offset a client sends can overflow the
// arithmetic of an answer.
struct HttpByteSpan {
    bool partial = false;    // a range was asked for
    bool satisfiable = true; // false: the range starts beyond the body
    int64_t start = 0;
    int64_t end = -1; // inclusive
    int64_t length = 0;
};

// Absent range: the whole body. "bytes=a-" runs to the last byte, an end
// beyond the body is cut to its last byte, and a suffix "bytes=-n" (parsed
// as start -n, end n) is the last n bytes.
HttpByteSpan http_byte_span(const HttpRange& range, int64_t total);

// Turns a play-time range (milliseconds) into bytes at the body's average
// rate, total / duration_ms bytes per millisecond; products saturate rather
// than overflow. A byte range, or a duration of 0, is returned unchanged. What
// the request asked for stays http_request_range's to tell.
HttpRange http_time_range_to_bytes(const HttpRange& range, int64_t total, int64_t duration_ms);
