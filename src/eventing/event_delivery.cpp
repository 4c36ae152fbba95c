#include "eventing/event_delivery.h"

#include "core/file_io.h"
#include "core/log.h"
#include "eventing/callback_urls.h"
#include "eventing/subscriptions.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <system_error>
#include <thread>
#include <unistd.h>
#include <vector>

namespace
{

using Clock = std::chrono::steady_clock;

int ms_left(Clock::time_point deadline)
{
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// Waits for events on the socket until the deadline; false when none came.
bool wait_for(int fd, short events, Clock::time_point deadline)
{
    pollfd p{fd, events, 0};
    for (;;) {
        const int n = poll(&p, 1, ms_left(deadline));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        return n > 0;
    }
}

// A non-blocking connection to exactly the parsed address of url, made
// before the deadline, or -1.
int connect_before(const CallbackUrl& url, Clock::time_point deadline)
{
    UniqueFd s(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (s.fd < 0) {
        return -1;
    }
    const sockaddr_in destination = callback_destination(url);
    if (connect(s.fd, reinterpret_cast<const sockaddr*>(&destination), sizeof destination) != 0) {
        if (errno != EINPROGRESS || !wait_for(s.fd, POLLOUT, deadline)) {
            return -1;
        }
        int error = 0;
        socklen_t length = sizeof error;
        if (getsockopt(s.fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0) {
            return -1;
        }
    }
    const int fd = s.fd;
    s.fd = -1;
    return fd;
}

bool send_before(int fd, const std::string& data, Clock::time_point deadline)
{
    size_t sent = 0;
    while (sent < data.size()) {
        const ssize_t n = send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && wait_for(fd, POLLOUT, deadline)) {
            continue;
        }
        return false;
    }
    return true;
}

// The answer is read only so that the subscriber is not cut off while it
// replies; its content does not matter.
void await_answer(int fd, Clock::time_point deadline)
{
    if (wait_for(fd, POLLIN, deadline)) {
        char sink[512];
        [[maybe_unused]] ssize_t n = recv(fd, sink, sizeof sink, MSG_DONTWAIT);
    }
}

// Tries the callback URLs in order until one takes the connection, all
// within the one budget of this subscriber.
void deliver(const SubscriptionTarget& target, const std::string& body)
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(kNotifyBudgetMs);
    for (const CallbackUrl& url : target.urls) {
        if (Clock::now() >= deadline) {
            break;
        }
        UniqueFd s(connect_before(url, deadline));
        if (s.fd < 0) {
            continue;
        }
        if (send_before(s.fd, notify_request(url, target.sid, target.seq, body), deadline)) {
            await_answer(s.fd, deadline);
        }
        shutdown(s.fd, SHUT_RDWR);
        return;
    }
    log_msg(LOG_INFO, LOG_CAT_EVENTING, "event for %s (SEQ %u) not delivered\n", target.sid.c_str(),
            target.seq);
}

} // namespace

std::string notify_request(const CallbackUrl& url, const std::string& sid, uint32_t seq,
                           const std::string& body)
{
    std::string request =
        "NOTIFY " + url.path + " HTTP/1.1\r\nHOST: " + url.host_port +
        "\r\nCONTENT-TYPE: text/xml\r\nCONTENT-LENGTH: " + std::to_string(body.size()) +
        "\r\nNT: upnp:event\r\nNTS: upnp:propchange\r\nSID: " + sid +
        "\r\nSEQ: " + std::to_string(seq) +
        "\r\nUser-Agent: SSDP CD Events\r\nCache-Control: no-cache\r\n\r\n";
    request += body;
    return request;
}

void notify_subscribers(int index, uint8_t service, const std::string& body,
                        const std::optional<std::string>& expected_sid)
{
    const std::vector<SubscriptionTarget> targets =
        subscriptions_take_events(index, service, expected_sid);
    if (targets.size() == 1) {
        deliver(targets.front(), body);
        return;
    }
    // One thread per subscriber, started in the order they subscribed; a
    // thread that cannot be made leaves that delivery to this one.
    std::vector<std::thread> workers;
    workers.reserve(targets.size());
    for (const SubscriptionTarget& target : targets) {
        try {
            workers.emplace_back([&target, &body] { deliver(target, body); });
        } catch (const std::system_error&) {
            deliver(target, body);
        }
    }
    for (std::thread& worker : workers) {
        worker.join();
    }
}

std::string content_directory_event_body(uint32_t system_update_id, const char* container_ids)
{
    return "<e:propertyset xmlns:e=\"urn:schemas-upnp-org:event-1-0\">\n<e:property>\n"
           "<SystemUpdateID>" +
           std::to_string(system_update_id) +
           "</SystemUpdateID>\n</e:property>\n<e:property>\n<ContainerUpdateIDs>" +
           (container_ids ? container_ids : "") +
           "</ContainerUpdateIDs>\n</e:property>\n<e:property>\n<TransferIDs></TransferIDs>\n"
           "</e:property>\n</e:propertyset>\n";
}

std::string connection_manager_event_body(const char* source, const char* sink)
{
    char body[512];
    snprintf(body, sizeof body,
             "<e:propertyset xmlns:e=\"urn:schemas-upnp-org:event-1-0\">\n<e:property>\n"
             "<SourceProtocolInfo>%s</SourceProtocolInfo>\n</e:property>\n<e:property>\n"
             "<SinkProtocolInfo>%s</SinkProtocolInfo>\n</e:property>\n<e:property>\n"
             "<CurrentConnectionIDs>0</CurrentConnectionIDs>\n</e:property>\n"
             "</e:propertyset>\n",
             source, sink);
    return body;
}

void event_content_directory(int index, uint32_t system_update_id, const char* container_ids,
                             const std::optional<std::string>& expected_sid)
{
    const std::string body = content_directory_event_body(system_update_id, container_ids);
    log_msg(LOG_INFO, LOG_CAT_EVENTING, "sending update ID event:\n%s\n\n", body.c_str());
    notify_subscribers(index, EVENT_CONTENT_DIRECTORY, body, expected_sid);
}

void event_connection_manager(int index, const char* source, const char* sink,
                              const std::optional<std::string>& expected_sid)
{
    notify_subscribers(index, EVENT_CONNECTION_MANAGER, connection_manager_event_body(source, sink),
                       expected_sid);
}
