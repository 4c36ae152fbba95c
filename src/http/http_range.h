// Byte ranges ("Range: bytes=a-b") and DLNA play-time ranges
// ("TimeSeekRange.dlna.org: npt=a-b", "X-Seek-Range") of a request head.
#pragma once

#include <cstdint>

struct HttpRange {
    int64_t start = -1;   // -1: not given
    int64_t end = -1;     // -1: up to the end
    bool is_time = false; // start and end are milliseconds of play time
};

HttpRange http_parse_range(const char* head);

// Milliseconds of an npt play time: "h:m:s.f", "m:s", or plain seconds,
// with an optional decimal fraction of a second.
int64_t http_parse_play_time(const char* text);
