#include "http/http_response.h"

#include "core/log.h"
#include "core/time_util.h"
#include "http/html_escape.h"
#include "http/http_admission.h"
#include "http/http_range.h"
#include "http/http_server.h"

#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <sys/sendfile.h>
#include <sys/socket.h>

namespace
{

// Error answers are HTML pages, whatever type the handler had set; a SOAP
// fault keeps its XML type with status 500.
const char* reason_for(int status, bool& html)
{
    html = true;
    switch (status) {
    case 400:
        return "400 Bad Request";
    case 403:
        return "403 Forbidden";
    case 404:
        return "404 Not Found";
    case 412:
        return "412 Precondition Failed";
    case 406:
        return "406 Not Acceptable";
    case 416:
        return "416 Requested Range Not Satisfiable";
    case 500:
        return "500 Internal Server Error";
    default:
        html = false;
        return "200 OK";
    }
}

} // namespace

std::string http_compose_header(HttpConnection* c, int status)
{
    const char* version = c->http_version == 10 ? "HTTP/1.0 " : "HTTP/1.1 ";
    bool html = false;
    const char* reason = reason_for(status, html);
    if (html && !(status == 500 && c->content_type && strcmp(c->content_type, kMimeXml) == 0)) {
        c->content_type = kMimeHtml;
    }
    char range_line[128] = "";
    // HTTP/1.0 clients get the range with its Content-Range too: a 200 would
    // make them take the fragment for the whole file.
    if (status == 206) {
        snprintf(range_line, sizeof range_line,
                 "Content-Range: bytes %" PRId64 "-%" PRId64 "/%" PRId64 "\r\n", c->range_start,
                 c->range_end, c->range_total);
        // DLNA time-seek answers carry the range but keep status 200; every
        // other range (a resumed stream's own included) is a 206.
        reason = http_request_range(c).source == RangeSource::TimeSeek ? "200 OK"
                                                                       : "206 Partial Content";
    } else if (status == 416) {
        // Tells the client how long the body is, so that it can ask again.
        snprintf(range_line, sizeof range_line, "Content-Range: bytes */%" PRId64 "\r\n",
                 c->range_total < 0 ? 0 : c->range_total);
    }
    if (!c->content_type) {
        log_msg(LOG_ERROR, LOG_CAT_HTTP, "NO MIME TYPE given!\n%s\n%s\n", c->url.data(),
                c->body ? c->body : "");
        c->content_type = "application/octet-stream";
    }
    char length_line[64] = "";
    if (c->content_length >= 0) {
        snprintf(length_line, sizeof length_line, "Content-Length: %" PRId64 "\r\n",
                 c->content_length);
    }
    char block[kHttpResponseHeadSize];
    int n = snprintf(
        block, sizeof block,
        "%s%s\r\nContent-Type: %s\r\n%sDate: %s\r\nConnection: %s\r\n%s%sEXT:\r\nServer:%s\r\n\r\n",
        version, reason, c->content_type, length_line, http_date().c_str(),
        c->close_after ? "close" : "keep-alive", range_line, c->extra_headers.data(),
        kServerIdentification);
    if (n < 0) {
        return {};
    }
    return std::string(block, std::min<size_t>(static_cast<size_t>(n), sizeof block - 1));
}

namespace
{

// Sends length bytes, giving up when the client takes nothing for limit_ms
// or the server stops. A media stream tells the admission while it waits
// for its player, so that a paused player does not count as a busy one.
int send_within(HttpConnection* c, const void* data, size_t length, int flags, int limit_ms,
                bool media_stream)
{
    using Clock = std::chrono::steady_clock;
    // How often a send that waits for the client looks at the stop flag.
    constexpr int kStopCheckMs = 200;
    if (http_stop_requested(c)) {
        return 1;
    }
    const auto* p = static_cast<const char*>(data);
    const auto limit = std::chrono::milliseconds(limit_ms);
    auto last_progress = Clock::now();
    bool marked_waiting = false;
    size_t sent = 0;
    int result = 0;
    while (sent < length) {
        const ssize_t n = send(c->socket, p + sent, length - sent, flags | MSG_DONTWAIT);
        if (n > 0) {
            sent += static_cast<size_t>(n);
            last_progress = Clock::now();
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK) || http_stop_requested(c) ||
            Clock::now() - last_progress >= limit) {
            result = 1;
            break;
        }
        if (media_stream && c->admission && !marked_waiting) {
            http_admission_stream_waiting(c->admission, true);
            marked_waiting = true;
        }
        pollfd out{c->socket, POLLOUT, 0};
        poll(&out, 1, kStopCheckMs);
    }
    if (marked_waiting) {
        http_admission_stream_waiting(c->admission, false);
    }
    return result;
}

} // namespace

int http_send_body(HttpConnection* c, const void* data, size_t length, bool more_follows)
{
    return send_within(c, data, length, MSG_NOSIGNAL | (more_follows ? MSG_MORE : 0),
                       http_time_limits().send_ms, false);
}

int http_send_media(HttpConnection* c, const void* data, size_t length)
{
    return send_within(c, data, length, MSG_NOSIGNAL, http_time_limits().stream_pause_ms, true);
}

int http_send_file(HttpConnection* c, int fd, int64_t offset, int64_t length,
                   const HttpFileSend& how)
{
    using Clock = std::chrono::steady_clock;
    constexpr int kStopCheckMs = 200;
    if (http_stop_requested(c)) {
        return 1;
    }
    // sendfile has no per-call flags: the socket is non-blocking for the
    // duration, so that a stalled client is noticed like in http_send_body.
    const int socket_flags = fcntl(c->socket, F_GETFL);
    const bool was_blocking = socket_flags >= 0 && !(socket_flags & O_NONBLOCK);
    if (was_blocking) {
        fcntl(c->socket, F_SETFL, socket_flags | O_NONBLOCK);
    }
    // Nor can sendfile be told not to raise SIGPIPE when the client has gone:
    // the signal is held back on this thread and a pending one is taken.
    sigset_t pipe_signal;
    sigset_t old_mask;
    sigemptyset(&pipe_signal);
    sigaddset(&pipe_signal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe_signal, &old_mask);
    // Full segments while a large file streams; uncorking at the end sends
    // the rest at once. A small body leaves in one go anyway.
    constexpr int64_t kCorkFrom = 256 * 1024;
    const bool cork = length >= kCorkFrom;
    if (cork) {
        const int on = 1;
        setsockopt(c->socket, IPPROTO_TCP, TCP_CORK, &on, sizeof on);
    }
    const HttpTimeLimits limits = http_time_limits();
    const auto limit =
        std::chrono::milliseconds(how.media_stream ? limits.stream_pause_ms : limits.send_ms);
    // Whether the admission knows that this stream waits for its player.
    bool marked_waiting = false;
    auto last_progress = Clock::now();
    off_t position = static_cast<off_t>(offset);
    int64_t left = length;
    int result = 0;
    while (left > 0) {
        const ssize_t n = sendfile(c->socket, fd, &position, static_cast<size_t>(left));
        if (n > 0) {
            left -= n;
            last_progress = Clock::now();
            if (marked_waiting) {
                http_admission_stream_waiting(c->admission, false);
                marked_waiting = false;
            }
            if (how.progress) {
                how.progress(length - left);
            }
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        // 0: the file ended before the promised length (it shrank).
        if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
            if (n == 0) {
                errno = EIO;
            }
            result = 1;
            break;
        }
        if (http_stop_requested(c) || Clock::now() - last_progress >= limit) {
            errno = ETIMEDOUT;
            result = 1;
            break;
        }
        if (how.media_stream && c->admission && !marked_waiting) {
            http_admission_stream_waiting(c->admission, true);
            marked_waiting = true;
        }
        pollfd out{c->socket, POLLOUT, 0};
        poll(&out, 1, kStopCheckMs);
    }
    const int saved = errno;
    if (marked_waiting) {
        http_admission_stream_waiting(c->admission, false);
    }
    if (result != 0 && saved == EPIPE) {
        const timespec no_wait{0, 0};
        sigtimedwait(&pipe_signal, nullptr, &no_wait);
    }
    pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
    if (cork) {
        const int off = 0;
        setsockopt(c->socket, IPPROTO_TCP, TCP_CORK, &off, sizeof off);
    }
    if (was_blocking) {
        fcntl(c->socket, F_SETFL, socket_flags);
    }
    errno = saved;
    return result;
}

int http_send_header(HttpConnection* c, int status, bool more_follows)
{
    const std::string block = http_compose_header(c, status);
    return http_send_body(c, block.data(), block.size(), more_follows);
}

int http_send_response(HttpConnection* c, const char* body)
{
    const bool with_body = c->method != HTTP_HEAD && body && c->content_length > 0;
    if (http_send_header(c, 200, with_body) != 0) {
        return 1;
    }
    if (!with_body) {
        return 0;
    }
    return http_send_body(c, body, static_cast<size_t>(c->content_length));
}

int http_send_empty(HttpConnection* c, int status)
{
    c->content_length = 0;
    return http_send_header(c, status);
}

int http_send_404(HttpConnection* c)
{
    // The target comes from the client: escaped, it shows as text and never
    // becomes markup or script in the browser that follows a crafted link.
    std::string page = "<HTML><HEAD><TITLE>404 Not Found</TITLE></HEAD><BODY><H1>Not Found</H1>";
    html_escape_append(page, c->url.data());
    page += " was not found on this server.</BODY></HTML>";
    return http_send_page(c, 404, page);
}

int http_send_page(HttpConnection* c, int status, std::string_view page)
{
    HttpConnection copy = *c;
    copy.content_length = static_cast<int64_t>(page.size());
    // A HEAD answer never carries a body: on a kept-alive connection the
    // client would read the page as the start of the next answer.
    const bool with_body = c->method != HTTP_HEAD;
    if (http_send_header(&copy, status, with_body) != 0) {
        return 1;
    }
    if (!with_body) {
        return 0;
    }
    return http_send_body(c, page.data(), page.size());
}

void http_add_header(HttpConnection* c, const char* lines)
{
    if (!lines) {
        return;
    }
    const size_t used = strlen(c->extra_headers.data());
    const size_t add = strlen(lines);
    if (used + add >= c->extra_headers.size()) {
        log_msg(LOG_ERROR, LOG_CAT_HTTP, "extra header lines too long, dropped: %s", lines);
        return;
    }
    memcpy(c->extra_headers.data() + used, lines, add + 1);
}

void http_add_no_cache(HttpConnection* c)
{
    http_add_header(c, "Expires: 0\r\nPragma: no-cache\r\n");
}
