// The record of one request: what was received and what the handler answers.
#pragma once

#include "core/threads.h"
#include "http/http_head.h"
#include "http/http_limits.h"

#include <array>
#include <cstdint>

struct HttpAdmission;

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
    int64_t body_length = 0;              // bytes of the received body
    // The answer's body length, set by the handler; it starts at 0, so that a
    // handler that sets none answers with an empty body. A negative value
    // sends no Content-Length.
    int64_t content_length = 0;
    int close_after = 0;
    const char* content_type = nullptr;
    std::array<char, kHttpClientIpSize> client_ip{};
    std::array<char, kHttpBaseUrlSize> base_url{}; // "http://addr:port/"
    std::array<char, kHttpHeadSize> head{};
    // The head split into the fields the server reads; read them with
    // http_header, never by searching the head text.
    HttpHead fields{};
    std::array<char, kHttpExtraHeadersSize> extra_headers{};
    // The byte range of a partial answer; -1 is absent.
    int64_t range_start = -1;
    int64_t range_end = -1;
    int64_t range_total = -1;
    // A byte offset from which the answer must start, set by a handler that
    // resumes a stream, in place of the client's own range headers; -1 none.
    int64_t range_override = -1;
    // The listener's running flag: a long answer ends soon after it leaves 1
    // (the server stops or restarts). Null for a connection of no listener.
    const ThreadFlag* stop_flag = nullptr;
    // The connection's place among the admitted ones; null for a request
    // made in code. A media stream tells it when its player stops reading.
    HttpAdmission* admission = nullptr;
    // The client type of the request, recognised once when its head has
    // been read (a ClientType of control/clients.h); -1 until then.
    int client_type = -1;
};

// Whether a long answer should end now because the server is stopping.
inline bool http_stop_requested(const HttpConnection* c)
{
    return c->stop_flag && c->stop_flag->load(std::memory_order_relaxed) != 1;
}

// The value of a header field of the request (blanks around it trimmed);
// empty when the request has none.
inline std::string_view http_header(const HttpConnection* c, HttpField field)
{
    return http_head_field(c->head.data(), c->fields, field);
}

inline bool http_has_header(const HttpConnection* c, HttpField field)
{
    return http_head_has(c->fields, field);
}

// Puts a head into the record and splits it, as the server does for a
// received request (for requests made in code); false when it does not fit
// or is malformed.
bool http_set_head(HttpConnection* c, std::string_view head);

using HttpHandler = int (*)(HttpConnection* connection);
