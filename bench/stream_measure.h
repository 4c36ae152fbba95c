// Streaming figures of an HTTP server on loopback, measured the same way for
// the media server and for nginx: the throughput of one whole-file stream,
// of eight at once, and the median time of a 1000-byte Range request on a
// new connection.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <sys/types.h>

struct StreamFigures {
    double one_mb_s = 0;   // 10^6 bytes per second
    double eight_mb_s = 0; // all eight together
    double range_ms = 0;
};

// Best throughput of rounds and the median of range_count ranges of target
// (size bytes) on 127.0.0.1:port; zeros when the server gave wrong answers.
StreamFigures measure_streams(int port, const std::string& target, int64_t size, int rounds,
                              int range_count);

// nginx serving directory on a free loopback port from a configuration
// written into work; nothing when nginx is not installed or did not start.
struct Nginx {
    pid_t pid = -1;
    int port = 0;
};
std::optional<Nginx> nginx_start(const std::string& directory, const std::string& work);
void nginx_stop(Nginx& nginx);

// A TCP connection to 127.0.0.1:port without Nagle's delay, or -1.
int connect_loopback(int port);

// The body of a GET of target (HTTP/1.0), or an empty text.
std::string http_body(int port, const std::string& target);

// Writes size bytes of MPEG audio frames (no tags) to path.
bool write_stream_file(const std::string& path, int64_t size);
