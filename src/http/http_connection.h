// The record of one request: what was received and what the handler answers.
#pragma once

#include "http/http_limits.h"

#include <array>
#include <cstdint>

enum HttpMethod : int {
    HTTP_GET = 1,
    HTTP_HEAD = 2,
    HTTP_POST = 4,
    HTTP_SUBSCRIBE = 8,
    HTTP_UNSUBSCRIBE = 16,
    HTTP_NOTIFY = 32,
};

// What a handler returns; the connection thread acts on it.
enum HttpResult : int {
    HTTP_KEEP = 0,           // keep the connection for the next request
    HTTP_CLOSE = 1,          // close it
    HTTP_ALREADY_CLOSED = 2, // the handler closed it
};

struct HttpConnection {
    int socket = -1;
    int method = 0;                       // one HttpMethod bit, 0 for any other method
    std::array<char, kHttpUrlSize> url{}; // the target as received, not decoded
    int http_version = 10;                // 11 or 10
    const char* body = nullptr;           // request body, NUL-terminated, or null
    // On entry the received body length; the handler sets its answer's length.
    // A negative value sends no Content-Length.
    int64_t content_length = 0;
    int close_after = 0;
    const char* content_type = nullptr;
    std::array<char, kHttpClientIpSize> client_ip{};
    std::array<char, kHttpBaseUrlSize> base_url{}; // "http://addr:port/"
    std::array<char, kHttpHeadSize> head{};
    std::array<char, kHttpExtraHeadersSize> extra_headers{};
    int64_t range_start = 0;
    int64_t range_end = 0;
    int64_t range_total = 0;
};

using HttpHandler = int (*)(HttpConnection* connection);
