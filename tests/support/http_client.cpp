#include "http_client.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace
{

using Clock = std::chrono::steady_clock;

// Receives more bytes into pending; false when the peer closed or the
// deadline passed.
bool receive_more(int fd, std::string& pending, Clock::time_point deadline)
{
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) {
        return false;
    }
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left.count())) <= 0) {
        return false;
    }
    char buf[16384];
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n <= 0) {
        return false;
    }
    pending.append(buf, static_cast<size_t>(n));
    return true;
}

} // namespace

RawHttpClient::RawHttpClient(int port, const char* source_address)
{
    fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd >= 0 && source_address) {
        sockaddr_in source{};
        source.sin_family = AF_INET;
        inet_pton(AF_INET, source_address, &source.sin_addr);
        if (bind(fd, reinterpret_cast<sockaddr*>(&source), sizeof source) != 0) {
            close(fd);
            fd = -1;
            return;
        }
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        close(fd);
        fd = -1;
    }
}

RawHttpClient::~RawHttpClient()
{
    if (fd >= 0) {
        close(fd);
    }
}

bool RawHttpClient::send_text(const std::string& text)
{
    size_t sent = 0;
    while (sent < text.size()) {
        ssize_t n = send(fd, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) {
            return false;
        }
        sent += static_cast<size_t>(n);
    }
    return true;
}

std::optional<RawHttpAnswer> RawHttpClient::read_answer(std::chrono::milliseconds timeout,
                                                        bool head_only)
{
    const auto deadline = Clock::now() + timeout;
    size_t end;
    while ((end = pending.find("\r\n\r\n")) == std::string::npos) {
        if (!receive_more(fd, pending, deadline)) {
            return std::nullopt;
        }
    }
    RawHttpAnswer answer;
    answer.head = pending.substr(0, end + 4);
    pending.erase(0, end + 4);
    if (answer.head.size() > 12) {
        answer.status = std::stoi(answer.head.substr(9, 3));
    }
    auto length = header_value(answer.head, "Content-Length");
    size_t wanted = head_only || !length ? 0 : std::stoul(*length);
    while (pending.size() < wanted) {
        if (!receive_more(fd, pending, deadline)) {
            return std::nullopt;
        }
    }
    answer.body = pending.substr(0, wanted);
    pending.erase(0, wanted);
    return answer;
}

bool RawHttpClient::closed_by_peer(std::chrono::milliseconds timeout)
{
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(timeout.count())) <= 0) {
        return false;
    }
    char c;
    return recv(fd, &c, 1, 0) == 0 || errno == ECONNRESET;
}

std::string RawHttpClient::read_until_close(std::chrono::milliseconds timeout)
{
    const auto deadline = Clock::now() + timeout;
    while (receive_more(fd, pending, deadline)) {
    }
    std::string all;
    all.swap(pending);
    return all;
}

std::optional<RawHttpAnswer> http_exchange(int port, const std::string& request)
{
    RawHttpClient client(port);
    if (!client.connected() || !client.send_text(request)) {
        return std::nullopt;
    }
    return client.read_answer(std::chrono::seconds(10), request.rfind("HEAD ", 0) == 0);
}

std::optional<std::string> header_value(const std::string& head, const std::string& name)
{
    const std::string key = "\r\n" + name + ":";
    size_t at = head.find(key);
    if (at == std::string::npos) {
        return std::nullopt;
    }
    at += key.size();
    while (at < head.size() && head[at] == ' ') {
        ++at;
    }
    return head.substr(at, head.find("\r\n", at) - at);
}
