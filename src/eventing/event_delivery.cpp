#include "eventing/event_delivery.h"

#include "core/log.h"
#include "eventing/callback_urls.h"
#include "eventing/subscriptions.h"
#include "http/http_client.h"

#include <cerrno>
#include <cstdio>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace
{

// How long a subscriber may take to start its answer; the answer is read
// only so that the subscriber is not cut off while it replies.
constexpr int kNotifyAnswerMs = 1000;

bool send_all_within(int socket, const std::string& data)
{
    timeval limit{kNotifySendMs / 1000, (kNotifySendMs % 1000) * 1000};
    setsockopt(socket, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    size_t sent = 0;
    while (sent < data.size()) {
        const ssize_t n = send(socket, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        sent += static_cast<size_t>(n);
    }
    return true;
}

void await_answer(int socket)
{
    pollfd in{socket, POLLIN, 0};
    if (poll(&in, 1, kNotifyAnswerMs) > 0) {
        char sink[512];
        [[maybe_unused]] ssize_t n = recv(socket, sink, sizeof sink, MSG_DONTWAIT);
    }
}

// Tries the callback URLs in order until one takes the connection.
void deliver(const SubscriptionTarget& target, const std::string& body)
{
    for (const CallbackUrl& url : callback_urls(target.callback)) {
        const std::string address = "http://" + url.host_port + url.path;
        const int socket = http_connect(address.c_str(), kNotifyConnectMs);
        if (socket < 0) {
            continue;
        }
        if (send_all_within(socket, notify_request(url, target.sid, target.seq, body))) {
            await_answer(socket);
        }
        shutdown(socket, SHUT_RDWR);
        close(socket);
        return;
    }
    log_msg(LOG_INFO, LOG_CAT_EVENTING, "event for uuid:%u not delivered: %s\n", target.sid,
            target.callback.c_str());
}

} // namespace

std::string notify_request(const CallbackUrl& url, uint32_t sid, uint32_t seq,
                           const std::string& body)
{
    std::string request =
        "NOTIFY " + url.path + " HTTP/1.1\r\nHOST: " + url.host_port +
        "\r\nCONTENT-TYPE: text/xml\r\nCONTENT-LENGTH: " + std::to_string(body.size()) +
        "\r\nNT: upnp:event\r\nNTS: upnp:propchange\r\nSID: uuid:" + std::to_string(sid) +
        "\r\nSEQ: " + std::to_string(seq) +
        "\r\nUser-Agent: SSDP CD Events\r\nCache-Control: no-cache\r\n\r\n";
    request += body;
    return request;
}

void notify_subscribers(int index, uint8_t service, const std::string& body,
                        std::optional<uint32_t> expected_sid)
{
    const int first = index < 0 ? 0 : index;
    const int last = index < 0 ? kMaxSubscriptions - 1 : index;
    for (int i = first; i <= last && eventing_enabled(); ++i) {
        if (auto target = subscription_take_event(i, service, expected_sid)) {
            deliver(*target, body);
        }
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
                             std::optional<uint32_t> expected_sid)
{
    const std::string body = content_directory_event_body(system_update_id, container_ids);
    log_msg(LOG_INFO, LOG_CAT_EVENTING, "sending update ID event:\n%s\n\n", body.c_str());
    notify_subscribers(index, EVENT_CONTENT_DIRECTORY, body, expected_sid);
}

void event_connection_manager(int index, const char* source, const char* sink,
                              std::optional<uint32_t> expected_sid)
{
    notify_subscribers(index, EVENT_CONNECTION_MANAGER, connection_manager_event_body(source, sink),
                       expected_sid);
}
