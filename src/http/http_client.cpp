#include "http/http_client.h"

#include "core/log.h"
#include "core/net_util.h"
#include "core/text_util.h"
#include "http/http_limits.h"
#include "http/http_read.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace
{

// Set once at start-up, read by every request.
struct UserAgent {
    std::mutex lock;
    std::string text;
    bool set = false;
};

UserAgent& user_agent()
{
    static auto* ua = new UserAgent;
    return *ua;
}

std::string current_user_agent()
{
    UserAgent& ua = user_agent();
    std::lock_guard guard(ua.lock);
    if (!ua.set) {
        ua.text = "Corvalenso User-Agent";
        ua.set = true;
    }
    return ua.text;
}

void close_socket(int s)
{
    shutdown(s, SHUT_RDWR);
    close(s);
}

// Connects s to address within the time left; false on failure or time-out.
bool connect_within(int s, const sockaddr* address, socklen_t size, int timeout_ms)
{
    const int flags = fcntl(s, F_GETFL);
    fcntl(s, F_SETFL, flags | O_NONBLOCK);
    int rc = connect(s, address, size);
    if (rc != 0 && errno == EINPROGRESS) {
        pollfd p{s, POLLOUT, 0};
        do {
            rc = poll(&p, 1, timeout_ms);
        } while (rc < 0 && errno == EINTR);
        int error = 0;
        socklen_t length = sizeof error;
        rc = rc == 1 && getsockopt(s, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0
                 ? 0
                 : -1;
    }
    fcntl(s, F_SETFL, flags);
    return rc == 0;
}

} // namespace

void set_user_agent(const char* text)
{
    UserAgent& ua = user_agent();
    std::lock_guard guard(ua.lock);
    ua.text = std::string(text ? text : "").substr(0, 127);
    ua.set = true;
}

std::optional<HttpTarget> http_parse_url(const char* url)
{
    if (!url) {
        return std::nullopt;
    }
    std::string_view rest(url);
    HttpTarget t;
    if (rest.starts_with("http://")) {
        rest.remove_prefix(7);
        t.port = 80;
    } else if (rest.starts_with("ftp://")) {
        rest.remove_prefix(6);
        t.port = 21;
    } else {
        return std::nullopt;
    }
    const size_t slash = rest.find('/');
    std::string_view authority = rest.substr(0, slash);
    t.path = slash == std::string_view::npos ? "" : std::string(rest.substr(slash + 1));
    // User and password before an '@' are not ours to send anywhere.
    if (const size_t at = authority.rfind('@'); at != std::string_view::npos) {
        authority.remove_prefix(at + 1);
    }
    t.host_header = std::string(authority.substr(0, 255));
    const size_t colon = authority.find(':');
    t.host = std::string(authority.substr(0, colon));
    if (colon != std::string_view::npos) {
        const int64_t port = parse_int64(std::string(authority.substr(colon + 1)).c_str());
        if (port <= 0 || port > 65535) {
            return std::nullopt;
        }
        t.port = static_cast<int>(port);
    }
    if (t.host.empty()) {
        return std::nullopt;
    }
    return t;
}

int http_connect(const char* url, int timeout_ms)
{
    const std::optional<HttpTarget> target = http_parse_url(url);
    if (!target) {
        return -1;
    }
    const std::vector<sockaddr_in> found = http_resolve(target->host, target->port);
    return found.empty() ? -1 : http_connect_address(found.front(), timeout_ms);
}

std::vector<sockaddr_in> http_resolve(const std::string& host, int port)
{
    std::vector<sockaddr_in> out;
    // getaddrinfo is safe between threads, unlike the older resolver calls.
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const std::string service = std::to_string(port);
    if (host.empty() || getaddrinfo(host.c_str(), service.c_str(), &hints, &found) != 0) {
        return out;
    }
    std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> owner(found, freeaddrinfo);
    for (const addrinfo* a = found; a; a = a->ai_next) {
        if (a->ai_family == AF_INET && a->ai_addrlen == sizeof(sockaddr_in)) {
            sockaddr_in address{};
            memcpy(&address, a->ai_addr, sizeof address);
            out.push_back(address);
        }
    }
    return out;
}

int http_connect_address(const sockaddr_in& address, int timeout_ms)
{
    const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0) {
        return -1;
    }
    if (!connect_within(s, reinterpret_cast<const sockaddr*>(&address), sizeof address,
                        timeout_ms)) {
        close(s);
        return -1;
    }
    return s;
}

int http_send_get(int socket, const char* url, const char* extra, bool http10)
{
    const std::optional<HttpTarget> target = http_parse_url(url);
    if (!target) {
        return 1;
    }
    // A URL comes from a playlist, a station list or another server's answer:
    // a line break in it would add lines of its own to the request, and a
    // blank would end the request line early.
    std::string path;
    for (const char ch : target->path) {
        const auto u = static_cast<unsigned char>(ch);
        if (u < 0x20 || u == 0x7F) {
            return 1;
        }
        path += ch == ' ' ? std::string("%20") : std::string(1, ch);
    }
    for (const char ch : target->host_header) {
        if (static_cast<unsigned char>(ch) <= 0x20 || ch == 0x7F) {
            return 1;
        }
    }
    const char* lines = extra ? extra : "";
    const std::string agent =
        strstr(lines, "User-Agent") ? "" : "User-Agent: " + current_user_agent() + "\r\n";
    char request[2048];
    const int n = snprintf(request, sizeof request,
                           "GET /%s HTTP/1.%c\r\nAccept: */*\r\nHost: %s\r\nConnection: "
                           "%s\r\n%s%s\r\n",
                           path.c_str(), http10 ? '0' : '1', target->host_header.c_str(),
                           http10 ? "close" : "Keep-Alive", agent.c_str(), lines);
    // A request cut short would be a different request: none is sent.
    if (n < 0 || static_cast<size_t>(n) >= sizeof request) {
        return 1;
    }
    return send_all(socket, request, static_cast<size_t>(n), MSG_NOSIGNAL) < 0 ? 1 : 0;
}

std::optional<StrBuf> HTTP_talk(const char* url, int timeout_ms, size_t max_body)
{
    const auto deadline = HttpReader::Clock::now() + std::chrono::milliseconds(timeout_ms);
    const int s = http_connect(url, timeout_ms);
    if (s < 0) {
        return std::nullopt;
    }
    if (http_send_get(s, url, nullptr) != 0) {
        close_socket(s);
        return std::nullopt;
    }
    auto reader = std::make_unique<HttpReader>();
    reader->socket = s;
    reader->deadline = deadline;
    char head[kHttpHeadSize];
    HeadResult result = http_read_head(*reader, head, sizeof head);
    // Interim answers come before the real one.
    while (result.length > 0 && strstr(head, "HTTP/1.1 100")) {
        result = http_read_head(*reader, head, sizeof head);
    }
    if (result.length == 0 ||
        (result.status != HeadStatus::Complete && result.status != HeadStatus::Cut)) {
        log_msg(LOG_ERROR, LOG_CAT_HTTP, "received no header in HTTP_talk!\n");
        close_socket(s);
        return std::nullopt;
    }
    HttpHead split;
    if (http_split_head(head, split).status != HeadSplit::Ok) {
        close_socket(s);
        return std::nullopt;
    }
    // An HTTP/1.0 answer ends with its connection unless it asks to stay
    // open: servers of that age send a body without a length.
    if (strncmp(head, "HTTP/1.0 ", 9) == 0 && !str_find_nocase(head, "keep-alive")) {
        split.connection_close = true;
    }
    BodyResult body = http_read_body(*reader, split, max_body);
    close_socket(s);
    if (body.status != BodyStatus::Received) {
        return std::nullopt;
    }
    return std::move(body.body);
}

std::optional<StrBuf> http_get(const char* url, int timeout_ms, size_t max_body)
{
    return HTTP_talk(url, timeout_ms, max_body);
}
