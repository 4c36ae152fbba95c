#include "delivery/ftp_client.h"

#include "control/clients.h"
#include "core/file_io.h"
#include "core/log.h"
#include "core/text_util.h"
#include "core/threads.h"
#include "delivery/http_relay.h"
#include "http/http_client.h"
#include "http/http_response.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <netinet/in.h>
#include <optional>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace
{

using Clock = std::chrono::steady_clock;

// "%xy" escapes only: a '+' in an FTP path is a plus.
std::string percent_decode(std::string_view text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && hex_value(text[i + 1]) >= 0 &&
            hex_value(text[i + 2]) >= 0) {
            out += static_cast<char>(hex_value(text[i + 1]) * 16 + hex_value(text[i + 2]));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

// A value that goes into a command line: a line break in it would be a
// command of its own.
bool has_control_byte(const std::string& text)
{
    return std::any_of(text.begin(), text.end(),
                       [](char ch) { return static_cast<unsigned char>(ch) < 0x20 || ch == 0x7F; });
}

// The text between "ftp://" and the '@' that ends the login, if any.
std::optional<std::string_view> login_of(const char* url)
{
    if (!url) {
        return std::nullopt;
    }
    std::string_view rest(url);
    const size_t scheme = rest.find("ftp://");
    if (scheme == std::string_view::npos) {
        return std::nullopt;
    }
    rest.remove_prefix(scheme + 6);
    rest = rest.substr(0, rest.find('/'));
    const size_t at = rest.rfind('@');
    if (at == std::string_view::npos) {
        return std::nullopt;
    }
    return rest.substr(0, at);
}

// What the connection thread and the data thread share. The connection
// thread opens the gate once the 200 head has gone out, so that no byte of
// the body can overtake it, and it waits for done before its connection is
// closed or reused.
struct FtpDataJob {
    HttpConnection* connection = nullptr;
    sockaddr_in address{};
    std::mutex lock;
    std::condition_variable changed;
    bool gate_open = false;
    bool abort = false;
    bool done = false;
    bool client_failed = false;
    int64_t bytes = 0;
};

void finish(FtpDataJob& job)
{
    std::lock_guard guard(job.lock);
    job.done = true;
    job.changed.notify_all();
}

void ftp_data_thread(const std::shared_ptr<FtpDataJob>& job)
{
    char address[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &job->address.sin_addr, address, sizeof address);
    log_msg(LOG_INFO, LOG_CAT_HTTP, "opening FTP data connection: %s\n", address);
    UniqueFd data(http_connect_address(job->address, kRelayConnectMs));
    if (data.fd < 0) {
        log_msg(LOG_ERROR, LOG_CAT_HTTP, "FTP data could not connect: %s\n", address);
        finish(*job);
        return;
    }
    {
        std::unique_lock guard(job->lock);
        job->changed.wait(guard, [&] { return job->gate_open || job->abort; });
        if (job->abort) {
            guard.unlock();
            finish(*job);
            return;
        }
    }
    HttpConnection* c = job->connection;
    char block[kRelayBlock];
    auto last_data = Clock::now();
    for (;;) {
        {
            std::lock_guard guard(job->lock);
            if (job->abort) {
                break;
            }
        }
        if (http_stop_requested(c)) {
            break;
        }
        pollfd p[2] = {{data.fd, POLLIN, 0}, {c->socket, POLLRDHUP, 0}};
        const int ready = poll(p, 2, 250);
        if (ready < 0 && errno != EINTR) {
            break;
        }
        if (p[1].revents & (POLLRDHUP | POLLHUP | POLLERR)) {
            log_msg(LOG_INFO, LOG_CAT_HTTP, "FTP data transfer interupted by client\n");
            std::lock_guard guard(job->lock);
            job->client_failed = true;
            break;
        }
        if (!(p[0].revents & (POLLIN | POLLHUP | POLLERR))) {
            if (Clock::now() - last_data >= std::chrono::milliseconds(kRelaySilenceMs)) {
                log_msg(LOG_PROBLEM, LOG_CAT_HTTP, "FTP data connection fell silent\n");
                break;
            }
            continue;
        }
        const ssize_t n = recv(data.fd, block, sizeof block, MSG_DONTWAIT);
        if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        last_data = Clock::now();
        if (http_send_media(c, block, static_cast<size_t>(n)) != 0) {
            log_msg(LOG_INFO, LOG_CAT_HTTP, "FTP data transfer interupted by client\n");
            std::lock_guard guard(job->lock);
            job->client_failed = true;
            break;
        }
        std::lock_guard guard(job->lock);
        job->bytes += n;
    }
    log_msg(LOG_INFO, LOG_CAT_HTTP, "FTP data transfer completed.\n");
    finish(*job);
}

// Stops the data thread (when told to) and waits until it has let go of the
// client's connection.
void end_data_thread(FtpDataJob& job, bool abort)
{
    std::unique_lock guard(job.lock);
    if (abort) {
        job.abort = true;
        job.changed.notify_all();
    }
    job.changed.wait(guard, [&] { return job.done; });
}

// Receives at most one line's rest: what the socket holds up to and with
// the first line feed, or all of it (at most room bytes) when it holds none.
// A server may send its next reply in the same segment as this one (the 226
// right behind the 150 of a small file); it stays in the socket for the next
// read instead of being lost behind this reply's end.
ssize_t recv_line_part(int s, char* into, size_t room)
{
    const ssize_t peeked = recv(s, into, room, MSG_PEEK);
    if (peeked <= 0) {
        return peeked;
    }
    const void* lf = memchr(into, '\n', static_cast<size_t>(peeked));
    const size_t take = lf ? static_cast<size_t>(static_cast<const char*>(lf) - into) + 1
                           : static_cast<size_t>(peeked);
    return recv(s, into, take, 0);
}

// The dialogue's failures before the head went out: the 404 answer.
int fail_before_head(HttpConnection* c, int status, const char* format, int code)
{
    if (format) {
        log_msg(LOG_ERROR, LOG_CAT_HTTP, format, code);
    }
    return http_send_empty(c, status);
}

} // namespace

int ftp_reply_scan(const char* buffer, size_t length, size_t& line_start)
{
    while (line_start < length) {
        const char* line = buffer + line_start;
        const size_t left = length - line_start;
        const void* lf = memchr(line, '\n', left);
        if (!lf) {
            return 0; // a line still arriving
        }
        const size_t line_length = static_cast<size_t>(static_cast<const char*>(lf) - line) + 1;
        // Reply codes run from 1xx to 5xx; any other line is text, so that
        // a "000 " line cannot stall the reader as a reply never complete.
        if (line_length >= 4 && line[0] >= '1' && line[0] <= '5' && line[1] >= '0' &&
            line[1] <= '9' && line[2] >= '0' && line[2] <= '9' && line[3] == ' ') {
            return (line[0] - '0') * 100 + (line[1] - '0') * 10 + (line[2] - '0');
        }
        line_start += line_length;
    }
    return 0;
}

int ftp_command(int s, const char* command, char* buffer, size_t size)
{
    if (command) {
        const size_t length = strlen(command);
        if (send(s, command, length, MSG_NOSIGNAL) != static_cast<ssize_t>(length)) {
            return 0;
        }
        // A password is nobody's business in the log.
        log_msg(LOG_INFO, LOG_CAT_HTTP, "FTP command: %s\n",
                strncmp(command, "PASS ", 5) == 0 ? "PASS ****\r\n" : command);
    }
    if (!buffer || size < 2) {
        log_msg(LOG_ERROR, LOG_CAT_HTTP, "no FTP reply buffer given.\n");
        return 0;
    }
    size_t length = 0;
    size_t line_start = 0;
    buffer[0] = '\0';
    const auto deadline = Clock::now() + std::chrono::milliseconds(kFtpReplyMs);
    for (;;) {
        if (length == size - 1) {
            log_msg(LOG_PROBLEM, LOG_CAT_HTTP, "FTP reply buffer too small, discarding: %s\n",
                    buffer);
            // The line being received is kept when it is not the whole
            // buffer; a single line that long is dropped.
            const size_t keep = line_start < length && line_start > 0 ? length - line_start : 0;
            memmove(buffer, buffer + length - keep, keep);
            length = keep;
            line_start = 0;
            buffer[length] = '\0';
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        pollfd p{s, POLLIN, 0};
        if (left <= 0 || poll(&p, 1, static_cast<int>(left)) != 1) {
            log_msg(LOG_ERROR, LOG_CAT_HTTP, "bad reply code from ftp server:\n%s\n", buffer);
            return 0;
        }
        const ssize_t n = recv_line_part(s, buffer + length, size - 1 - length);
        if (n <= 0) {
            if (n < 0 && errno == EINTR) {
                continue;
            }
            log_msg(LOG_ERROR, LOG_CAT_HTTP, "bad reply code from ftp server:\n%s\n", buffer);
            return 0;
        }
        length += static_cast<size_t>(n);
        buffer[length] = '\0';
        if (const int code = ftp_reply_scan(buffer, length, line_start)) {
            log_msg(LOG_INFO, LOG_CAT_HTTP, "FTP reply: %s\n", buffer);
            return code;
        }
    }
}

std::string ftp_user(const char* url)
{
    const std::optional<std::string_view> login = login_of(url);
    if (!login) {
        return "anonymous";
    }
    return percent_decode(login->substr(0, login->find(':')));
}

std::string ftp_password(const char* url)
{
    const std::optional<std::string_view> login = login_of(url);
    if (!login || login->find(':') == std::string_view::npos) {
        return kFtpAnonymousPassword;
    }
    return percent_decode(login->substr(login->find(':') + 1));
}

int ftp_fetch(HttpConnection* c, const char* url)
{
    c->close_after = 1;
    const std::string_view text(url);
    const size_t scheme = text.find("ftp://");
    const size_t slash =
        scheme == std::string_view::npos ? std::string_view::npos : text.find('/', scheme + 6);
    if (slash == std::string_view::npos) {
        return http_send_empty(c, 404);
    }
    // The path goes to the server from its '/' on, as its own bytes.
    std::string path = percent_decode(text.substr(slash));
    if (const size_t type = path.find(";type="); type != std::string::npos) {
        path.erase(type);
    }
    const std::string user = ftp_user(url);
    const std::string password = ftp_password(url);
    if (has_control_byte(path) || path.size() < 2 || path.size() > 900) {
        return http_send_empty(c, 404);
    }
    if (user.empty() || has_control_byte(user) || has_control_byte(password) || user.size() > 200 ||
        password.size() > 200) {
        return http_send_empty(c, 500);
    }
    UniqueFd control(http_connect(url, kRelayConnectMs));
    if (control.fd < 0) {
        return http_send_empty(c, 404);
    }
    char reply[kFtpReplySize];
    int code = ftp_command(control.fd, nullptr, reply, sizeof reply);
    if (code != 220) {
        return fail_before_head(c, 404, "Connection Establishment: %d\n", code);
    }
    code = ftp_command(control.fd, ("USER " + user + "\r\n").c_str(), reply, sizeof reply);
    if (code == 331) {
        code = ftp_command(control.fd, ("PASS " + password + "\r\n").c_str(), reply, sizeof reply);
        if (code != 230 && code != 202) {
            return fail_before_head(c, 404, "Login PASS: %d\n", code);
        }
    } else if (code != 230) {
        return fail_before_head(c, 404, "Login USER: %d\n", code);
    }
    code = ftp_command(control.fd, "TYPE I\r\n", reply, sizeof reply);
    if (code != 200) {
        return fail_before_head(c, 404, "Login USER: %d\n", code);
    }
    int64_t size = -1;
    code = ftp_command(control.fd, ("SIZE " + path + "\r\n").c_str(), reply, sizeof reply);
    if (code == 213) {
        // The code's line is the last one of the reply.
        const char* line = strstr(reply, "213 ");
        long long value = -1;
        if (line && sscanf(line, "213 %lld", &value) == 1 && value >= 0) {
            size = value;
        } else {
            log_msg(LOG_PROBLEM, LOG_CAT_HTTP, "SIZE unknown\n");
        }
    } else if (code == 502 || code == 500) {
        log_msg(LOG_PROBLEM, LOG_CAT_HTTP, "SIZE: Command not implemented\n");
    } else {
        return fail_before_head(c, 404, "SIZE: %d\n", code);
    }
    c->content_type = client_mime_for(client_of(c), path);
    // Without a size the body ends when the connection closes: a made-up
    // length would have the player wait for bytes that never come.
    c->content_length = size;
    if (c->method == HTTP_HEAD) {
        http_send_header(c, 200);
        ftp_command(control.fd, "QUIT\r\n", reply, sizeof reply);
        return HTTP_CLOSE;
    }
    code = ftp_command(control.fd, "PASV\r\n", reply, sizeof reply);
    const char* comma = code == 227 ? strchr(reply, ',') : nullptr;
    if (!comma) {
        return fail_before_head(c, 404, "PASV: %d\n", code);
    }
    const char* numbers = comma;
    while (numbers > reply && numbers[-1] >= '0' && numbers[-1] <= '9') {
        --numbers;
    }
    int h[4];
    int p[2];
    if (sscanf(numbers, "%d,%d,%d,%d,%d,%d", &h[0], &h[1], &h[2], &h[3], &p[0], &p[1]) != 6 ||
        p[0] < 0 || p[0] > 255 || p[1] < 0 || p[1] > 255 || p[0] * 256 + p[1] == 0) {
        log_msg(LOG_ERROR, LOG_CAT_HTTP, "could not parse IP and port: %s\n", reply);
        return fail_before_head(c, 404, "PASV: %d\n", code);
    }
    log_msg(LOG_INFO, LOG_CAT_HTTP, "PASSIVE MODE %d,%d,%d,%d,%d,%d\n", h[0], h[1], h[2], h[3],
            p[0], p[1]);
    // The data connection goes to the server the control connection reached,
    // whatever address the reply names: a server behind a router names its
    // inner address, and a hostile one could name any host of the network.
    auto job = std::make_shared<FtpDataJob>();
    job->connection = c;
    socklen_t address_length = sizeof job->address;
    if (getpeername(control.fd, reinterpret_cast<sockaddr*>(&job->address), &address_length) != 0 ||
        job->address.sin_family != AF_INET) {
        return fail_before_head(c, 404, "PASV: %d\n", code);
    }
    job->address.sin_port = htons(static_cast<uint16_t>(p[0] * 256 + p[1]));
    if (!start_thread([job] { ftp_data_thread(job); })) {
        return fail_before_head(c, 500, nullptr, 0);
    }
    if (http_send_header(c, 200) != 0) {
        end_data_thread(*job, true);
        ftp_command(control.fd, "QUIT\r\n", reply, sizeof reply);
        return HTTP_CLOSE;
    }
    {
        std::lock_guard guard(job->lock);
        job->gate_open = true;
        job->changed.notify_all();
    }
    code = ftp_command(control.fd, ("RETR " + path + "\r\n").c_str(), reply, sizeof reply);
    bool complete = false;
    if (code == 110 || code == 125 || code == 150) {
        // The server ends the data connection before its final reply; the
        // data thread may take as long as the player takes, so the final
        // reply is read only after it.
        end_data_thread(*job, false);
        code = ftp_command(control.fd, nullptr, reply, sizeof reply);
    }
    if (code == 226 || code == 250) {
        end_data_thread(*job, false);
        complete = true;
    } else {
        log_msg(LOG_ERROR, LOG_CAT_HTTP, "RETR: %d\n", code);
        end_data_thread(*job, true);
    }
    if (complete && size >= 0 && job->bytes != size && !job->client_failed) {
        log_msg(LOG_PROBLEM, LOG_CAT_HTTP, "FTP transfer of %s ended after %lld of %lld bytes\n",
                path.c_str(), static_cast<long long>(job->bytes), static_cast<long long>(size));
    }
    code = ftp_command(control.fd, "QUIT\r\n", reply, sizeof reply);
    if (code != 221) {
        log_msg(LOG_PROBLEM, LOG_CAT_HTTP, "QUIT: %d\n", code);
    }
    // A failure after the head leaves the body short; closing the connection
    // tells the player, where a second head would only corrupt the body.
    return HTTP_CLOSE;
}
