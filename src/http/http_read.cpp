#include "http/http_read.h"

#include "core/text_util.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>

namespace
{

// Receives into out, waiting no longer than the reader's deadline.
ssize_t receive(HttpReader& reader, void* out, size_t n)
{
    // How much the deadline may be passed when a plain receive waits out the
    // socket's time-out.
    constexpr int kSlackMs = 100;
    for (;;) {
        if (reader.deadline != HttpReader::Clock::time_point::max()) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(
                reader.deadline - HttpReader::Clock::now());
            if (reader.socket_timeout_ms > 0 &&
                left.count() + kSlackMs >= reader.socket_timeout_ms) {
                ssize_t got = recv(reader.socket, out, n, MSG_NOSIGNAL);
                if (got >= 0 || (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK)) {
                    return got;
                }
                continue; // interrupted, or the socket's time-out: look again
            }
            pollfd p{reader.socket, POLLIN, 0};
            const int ready = left.count() > 0 ? poll(&p, 1, static_cast<int>(left.count())) : 0;
            if (ready < 0 && errno == EINTR) {
                continue;
            }
            if (ready == 0) {
                reader.timed_out = true;
                errno = EAGAIN;
                return -1;
            }
            if (ready < 0) {
                return -1;
            }
        }
        ssize_t got = recv(reader.socket, out, n, MSG_NOSIGNAL);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            reader.timed_out = true;
        }
        return got;
    }
}

ssize_t fill(HttpReader& reader)
{
    if (reader.start == reader.end) {
        reader.start = reader.end = 0;
    }
    if (reader.end == reader.buffer.size()) {
        return 1; // still unread bytes: nothing to do
    }
    ssize_t n =
        receive(reader, reader.buffer.data() + reader.end, reader.buffer.size() - reader.end);
    if (n > 0) {
        reader.end += static_cast<size_t>(n);
    }
    return n;
}

// The request has begun: its head has head_ms to be complete, the whole
// request request_ms (the shorter limit wins). Returns when it began.
HttpReader::Clock::time_point start_request_clock(HttpReader& reader)
{
    const auto now = HttpReader::Clock::now();
    int head_ms = reader.request_ms;
    if (reader.head_ms > 0 && (head_ms <= 0 || reader.head_ms < head_ms)) {
        head_ms = reader.head_ms;
    }
    if (head_ms > 0) {
        reader.deadline = now + std::chrono::milliseconds(head_ms);
    }
    return now;
}

// The head is complete: the body has what is left of request_ms.
void continue_request_clock(HttpReader& reader, HttpReader::Clock::time_point began)
{
    if (reader.request_ms > 0) {
        reader.deadline = began + std::chrono::milliseconds(reader.request_ms);
    } else if (reader.head_ms > 0) {
        reader.deadline = HttpReader::Clock::time_point::max();
    }
}

// Reads one line of at most limit bytes, up to and including LF.
bool read_line(HttpReader& reader, char* line, size_t limit)
{
    size_t used = 0;
    while (used + 1 < limit) {
        char c;
        if (http_reader_recv(reader, &c, 1) != 1) {
            break;
        }
        line[used++] = c;
        if (c == '\n') {
            break;
        }
    }
    line[used] = '\0';
    return used > 0;
}

// Receives exactly n bytes into sb unless the peer closes or fails first.
bool receive_into(HttpReader& reader, StrBuf& sb, size_t n)
{
    char piece[4096];
    while (n > 0) {
        ssize_t got = http_reader_recv(reader, piece, std::min(n, sizeof piece));
        if (got <= 0) {
            return false;
        }
        strbuf_append_bytes(sb, piece, static_cast<size_t>(got));
        n -= static_cast<size_t>(got);
    }
    return true;
}

BodyResult read_chunked(HttpReader& reader, size_t max_body)
{
    BodyResult result;
    result.status = BodyStatus::Received;
    result.body = strbuf_new({}, 256);
    for (;;) {
        char line[21];
        if (!read_line(reader, line, sizeof line)) {
            return result;
        }
        uint64_t size = 0;
        for (const char* p = line; hex_value(*p) >= 0; ++p) {
            size = size * 16 + static_cast<uint64_t>(hex_value(*p));
            if (size > max_body) {
                result.status = BodyStatus::TooLarge;
                return result;
            }
        }
        if (size == 0) {
            // Trailer lines up to the empty line belong to this body; left
            // in the buffer they would be read as the next request.
            while (read_line(reader, line, sizeof line) && strcmp(line, "\r\n") != 0 &&
                   strcmp(line, "\n") != 0) {
            }
            return result;
        }
        if (static_cast<uint64_t>(result.body.length) + size > max_body) {
            result.status = BodyStatus::TooLarge;
            return result;
        }
        if (!receive_into(reader, result.body, static_cast<size_t>(size))) {
            return result;
        }
        char crlf[2];
        if (http_reader_recv(reader, crlf, 1) != 1 ||
            (crlf[0] == '\r' && http_reader_recv(reader, crlf + 1, 1) != 1)) {
            return result;
        }
    }
}

BodyResult read_body(HttpReader& reader, const HttpHead& head, size_t max_body)
{
    if (head.chunked) {
        return read_chunked(reader, max_body);
    }
    BodyResult result;
    const int64_t announced = head.content_length;
    if (announced == 0) {
        // An explicit empty body: reading on until the peer closes would
        // leave a client that waits for the answer hanging.
        result.status = BodyStatus::Received;
        result.body = strbuf_new({}, 1);
        return result;
    }
    if (announced > 0) {
        if (static_cast<uint64_t>(announced) > max_body) {
            result.status = BodyStatus::TooLarge;
            return result;
        }
        result.status = BodyStatus::Received;
        result.body = strbuf_new({}, static_cast<int>(announced) + 1);
        receive_into(reader, result.body, static_cast<size_t>(announced));
        return result;
    }
    if (head.connection_close) {
        result.status = BodyStatus::Received;
        result.body = strbuf_new({}, 1024);
        char piece[1023];
        ssize_t got;
        while ((got = http_reader_recv(reader, piece, sizeof piece)) > 0) {
            if (static_cast<size_t>(result.body.length) + static_cast<size_t>(got) > max_body) {
                result.status = BodyStatus::TooLarge;
                return result;
            }
            strbuf_append_bytes(result.body, piece, static_cast<size_t>(got));
        }
        return result;
    }
    return result;
}

} // namespace

ssize_t http_reader_recv(HttpReader& reader, void* out, size_t n)
{
    if (n == 0) {
        return 0;
    }
    if (reader.start == reader.end) {
        // A large read bypasses the buffer.
        if (n >= reader.buffer.size()) {
            return receive(reader, out, n);
        }
        ssize_t got = fill(reader);
        if (got <= 0) {
            return got;
        }
    }
    size_t take = std::min(n, reader.end - reader.start);
    memcpy(out, reader.buffer.data() + reader.start, take);
    reader.start += take;
    return static_cast<ssize_t>(take);
}

HeadResult http_read_head(HttpReader& reader, char* buffer, size_t size)
{
    HeadResult result;
    if (size == 0) {
        return result;
    }
    size_t used = 0;
    int state = 0; // CR LF CR LF seen so far
    // A request already waiting in the buffer began when it arrived.
    auto began = HttpReader::Clock::now();
    if (http_reader_buffered(reader) > 0) {
        began = start_request_clock(reader);
    }
    for (;;) {
        if (reader.start == reader.end) {
            const bool first = used == 0;
            ssize_t got = fill(reader);
            if (got <= 0) {
                buffer[used] = '\0';
                result.length = used;
                if (got == 0) {
                    result.status = HeadStatus::Closed;
                } else if (reader.timed_out) {
                    result.status = HeadStatus::TimedOut;
                } else {
                    result.status = HeadStatus::Failed;
                }
                return result;
            }
            if (first) {
                began = start_request_clock(reader);
            }
        }
        // Scan the buffered bytes; stop right after the blank line so that
        // the body and the next request stay in the buffer.
        while (reader.start < reader.end) {
            if (used + 1 >= size) {
                buffer[used] = '\0';
                result.length = used;
                result.status = HeadStatus::Cut;
                return result;
            }
            char c = reader.buffer[reader.start++];
            buffer[used++] = c;
            if (c == '\r' && (state == 0 || state == 2)) {
                ++state;
            } else if (c == '\n' && (state == 1 || state == 3)) {
                ++state;
            } else {
                state = 0;
            }
            if (state == 4) {
                buffer[used] = '\0';
                result.length = used;
                result.status = HeadStatus::Complete;
                continue_request_clock(reader, began);
                return result;
            }
        }
    }
}

int64_t http_content_length(const char* head)
{
    HttpHead split;
    if (!head || http_split_head(head, split).status != HeadSplit::Ok) {
        return -1;
    }
    return split.content_length;
}

BodyResult http_read_body(HttpReader& reader, const HttpHead& head, size_t max_body)
{
    reader.timed_out = false;
    BodyResult result = read_body(reader, head, max_body);
    // A body cut short by the deadline is not the client's request.
    if (reader.timed_out && result.status == BodyStatus::Received) {
        result.status = BodyStatus::TimedOut;
    }
    return result;
}

BodyResult http_read_body(HttpReader& reader, const char* head, size_t max_body)
{
    HttpHead split;
    if (http_split_head(head, split).status != HeadSplit::Ok) {
        BodyResult refused;
        refused.status = BodyStatus::Malformed;
        return refused;
    }
    return http_read_body(reader, split, max_body);
}
