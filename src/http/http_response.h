// Composing and sending answers from the response fields of a request.
#pragma once

#include "http/http_connection.h"

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

inline constexpr const char* kServerIdentification =
    "Linux/2.x.x, UPnP/1.0, Corvalenso UPnP SDK/1.0";
inline constexpr const char* kMimeHtml = "text/html; charset=UTF-8";
inline constexpr const char* kMimeXml = "text/xml; charset=\"UTF-8\"";

// The status line and header block for status, at most 1023 bytes.
std::string http_compose_header(HttpConnection* connection, int status);

// Sends the header block; 0 sent, 1 failed. more_follows tells the kernel a
// body comes right after, so that both leave in as few packets as possible.
int http_send_header(HttpConnection* connection, int status, bool more_follows = false);

// Sends answer bytes. A client that takes nothing for the send time limit, or
// a server stop (checked at every call and while the client is not
// reading), fails the send, so that a long stream ends within a second of a
// stop however long it is. 0 sent, 1 failed.
int http_send_body(HttpConnection* connection, const void* data, size_t length,
                   bool more_follows = false);

// Sends bytes of a media stream relayed from elsewhere: like http_send_body,
// but a player that stops reading for a while (a pause) is waited for up to
// the stream pause limit, as http_send_file waits for it. 0 sent, 1 failed.
int http_send_media(HttpConnection* connection, const void* data, size_t length);

// How http_send_file sends.
struct HttpFileSend {
    // A media stream: its player may stop reading for a while (a pause for a
    // phone call) and go on where it stopped, so the send waits for it up to
    // the stream pause limit instead of the send limit, and meanwhile does
    // not count as a busy connection.
    bool media_stream = false;
    // Called after every call of the kernel's send that moved bytes, with the
    // bytes of this send so far, so that what is shown follows the transfer
    // however large the send is.
    std::function<void(int64_t sent)> progress;
};

// Sends length bytes of the open file from offset with the kernel's
// zero-copy path, with the same stop and time-limit rules as http_send_body.
// A file shorter than promised fails the send. 0 sent, 1 failed (errno tells).
int http_send_file(HttpConnection* connection, int fd, int64_t offset, int64_t length,
                   const HttpFileSend& how = {});

// Status 200 and content_length bytes of body (no body for HEAD).
int http_send_response(HttpConnection* connection, const char* body);

// An answer without a body: content_length becomes 0.
int http_send_empty(HttpConnection* connection, int status);

// The 404 page for the request's target (the page only for non-HEAD requests).
int http_send_404(HttpConnection* connection);

// An answer of status with the page as its body, of the connection's content
// type (the body only for non-HEAD requests).
int http_send_page(HttpConnection* connection, int status, std::string_view page);

// Appends complete header lines ("Name: value\r\n"), keeping the total within
// 1023 characters; a line that does not fit is dropped whole.
void http_add_header(HttpConnection* connection, const char* lines);
void http_add_no_cache(HttpConnection* connection);
