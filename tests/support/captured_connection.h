// A request record whose answers land in a socket pair that the test reads:
// a handler can be called directly, without a server.
#pragma once

#include "http/http_connection.h"

#include <functional>
#include <string>

struct CapturedConnection {
    // A GET of url over HTTP/1.1.
    explicit CapturedConnection(const char* url = "/");
    ~CapturedConnection();
    CapturedConnection(const CapturedConnection&) = delete;
    CapturedConnection& operator=(const CapturedConnection&) = delete;

    // Everything the handler sent (the sending side is closed first).
    std::string sent();

    // Runs call (a handler on c) on another thread while reading what it
    // sends, for answers larger than the socket buffer; the result of call
    // is stored in result.
    std::string run(const std::function<int()>& call);
    int result = -1;

    int fds[2] = {-1, -1};
    HttpConnection c;
};
