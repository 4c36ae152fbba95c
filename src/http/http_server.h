// The embedded HTTP/1.1 server: one listener per server address, one accept
// thread per listener, one detached thread per connection.
#pragma once

#include "core/threads.h"
#include "http/http_connection.h"
#include "http/http_read.h"

#include <array>
#include <atomic>
#include <netinet/in.h>

struct HttpListener {
    ThreadFlag g_HTTP_thread_running{0};
    std::atomic<int> socket{0}; // 0 or -1: no socket
    std::array<char, 20> address{};
    int port = 0;
    in_addr ip{};
};

// The listeners of all server addresses.
extern std::array<HttpListener, kMaxServerAddresses> g_http_listeners;

// Resets a listener record for reuse (the thread flag included).
void http_listener_clear(HttpListener& listener);

// Closes the listen socket once, whoever comes first.
void http_listener_close(HttpListener& listener);

// Creates, binds and listens. Port 0 searches 9000 to 10000, trying
// preferred first when it is not 0; a fixed port is tried once. Failures are
// critical.
void http_listener_open(HttpListener& listener, int preferred = 0);

// The accept thread of a listener; runs until its flag leaves 1, then closes
// the listen socket (the stop only shuts it down, which wakes accept, so that
// a descriptor number reused meanwhile is never accepted on).
void http_accept_loop(HttpListener* listener);

// What a connection takes from its listener when it is accepted. The
// listener record is cleared and refilled by a restart while connections of
// the old run may still be alive, so they keep copies, and read only its
// running flag (which lives for the whole process).
struct HttpAdmission;
struct HttpTicket {
    const ThreadFlag* running = nullptr;
    int socket = -1;
    HttpAdmission* admission = nullptr;            // its place among the admitted connections
    int receive_timeout_ms = 0;                    // the socket's SO_RCVTIMEO
    std::array<char, kHttpBaseUrlSize> base_url{}; // "http://addr:port/"
};

// Reads the request line of the connection's head: method, one blank,
// target, one blank, "HTTP/1.x". Fills url (a target beyond 255 characters
// is cut) and http_version; false for anything else.
bool http_parse_request_line(HttpConnection& connection);

// Reads and answers one request on a connection: HTTP_KEEP, HTTP_CLOSE or
// HTTP_ALREADY_CLOSED.
int HTTP_send_receive(const HttpTicket& ticket, HttpReader& reader);

// How a request's client is recognised: called once per request, when its
// head has been split and before it is dispatched; it sets the record's
// client_type, and close_after for clients whose connections must close.
struct HttpClientHooks {
    void (*recognise)(HttpConnection* connection) = nullptr;
};
void http_set_client_hooks(const HttpClientHooks& hooks);

// Connection threads alive now.
int http_connection_count();

// The time limits every connection works with (tests shorten them).
HttpTimeLimits http_time_limits();
void http_set_time_limits(const HttpTimeLimits& limits);
