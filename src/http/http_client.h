// The small outgoing HTTP/1.1 client: a GET to the host of an "http://" URL
// (the relays also connect to "ftp://" hosts with it), read with the same
// head and body readers as the server. Every exchange has a time limit: a
// device that never answers costs its caller seconds, not minutes.
#pragma once

#include "core/strbuf.h"

#include <netinet/in.h>
#include <optional>
#include <string>
#include <vector>

// Time limits: probes of players on the network are quick or fail.
inline constexpr int kHttpClientProbeMs = 3000;
inline constexpr int kHttpClientDefaultMs = 15000;
// The longest body a GET accepts.
inline constexpr size_t kHttpClientMaxBody = 16 * 1024 * 1024;

// The User-Agent of every request: the first 127 characters of text. Until it
// is set, requests carry "Corvalenso User-Agent".
void set_user_agent(const char* text);

// Where a URL points: host (without user information) and port.
struct HttpTarget {
    std::string host; // name or dotted address
    int port = 0;
    std::string host_header; // host and ":port" as written, for the Host line
    std::string path;        // after the first '/' following the host, no leading '/'
};

// The target of an "http://" (port 80) or "ftp://" (port 21) URL; nothing
// for any other scheme or an empty host.
std::optional<HttpTarget> http_parse_url(const char* url);

// A TCP connection to the URL's host, within timeout_ms; -1 on any failure.
int http_connect(const char* url, int timeout_ms = kHttpClientDefaultMs);

// The IPv4 addresses of host (a name, or an address in any form the
// resolver reads: "127.0.0.2", "127.2", "2130706434") with port, in the
// resolver's order; none when it names none. A caller that checks an
// address connects to that one with http_connect_address: a second look-up
// could give another (a name whose owner changes its answer in between).
std::vector<sockaddr_in> http_resolve(const std::string& host, int port);

// A TCP connection to an IPv4 address and port, within timeout_ms; -1 on any
// failure.
int http_connect_address(const sockaddr_in& address, int timeout_ms);

// Sends "GET /path" with Accept, Host, Connection: Keep-Alive, the User-Agent
// (unless extra has one) and extra (complete lines, or null); 0 sent, 1 not.
// With http10 the request is an HTTP/1.0 one with "Connection: close", whose
// answer is never sent in chunks: the relays pass bodies on as they come.
int http_send_get(int socket, const char* url, const char* extra, bool http10 = false);

// The whole exchange: the body of the answer (interim 100 answers skipped),
// or nothing when there is no answer within timeout_ms or it has no body
// (none is announced by chunks, a length or "connection: close"), or it
// is longer than max_body.
std::optional<StrBuf> HTTP_talk(const char* url, int timeout_ms = kHttpClientDefaultMs,
                                size_t max_body = kHttpClientMaxBody);
std::optional<StrBuf> http_get(const char* url, int timeout_ms = kHttpClientDefaultMs,
                               size_t max_body = kHttpClientMaxBody);
