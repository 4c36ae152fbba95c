#include "delivery/http_relay.h"

#include "core/file_io.h"
#include "core/log.h"
#include "core/net_util.h"
#include "db/media_db.h"
#include "delivery/ftp_client.h"
#include "delivery/media_url.h"
#include "delivery/relay_head.h"
#include "http/http_client.h"
#include "http/http_read.h"
#include "http/http_response.h"
#include "scan/station_list.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

namespace
{

using Clock = std::chrono::steady_clock;

enum class Attempt {
    Failed,  // nothing went to the client: the next address may be tried
    Relayed, // an answer went out (whole, or cut short and the connection closed)
};

struct RelayState {
    Clock::time_point deadline;
    int attempts_left = kRelayMaxAttempts;
    std::vector<std::string> tried;
    std::vector<sockaddr_in> trusted; // the trusted host's addresses, looked up once
    bool own_address = false;
};

std::string address_text(const sockaddr_in& address)
{
    char text[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &address.sin_addr, text, sizeof text);
    return text;
}

// The address url is played from, looked up once, or nothing (logged) when
// its host names none or trust does not let the relay reach it.
std::optional<sockaddr_in> checked_address(const std::string& url, bool followed,
                                           const RelayState& state)
{
    const std::optional<HttpTarget> target = http_parse_url(url.c_str());
    const std::vector<sockaddr_in> found =
        target ? http_resolve(target->host, target->port) : std::vector<sockaddr_in>();
    if (found.empty()) {
        log_msg(LOG_PROBLEM, LOG_CAT_HTTP_PROXY, "cannot resolve %s\n", url.c_str());
        return std::nullopt;
    }
    if (const std::optional<std::string> why =
            relay_refusal(found.front(), followed, state.trusted)) {
        log_msg(LOG_PROBLEM, LOG_CAT_HTTP_PROXY, "refused %s (%s port %d): %s\n", url.c_str(),
                address_text(found.front()).c_str(), ntohs(found.front().sin_port), why->c_str());
        return std::nullopt;
    }
    return found.front();
}

bool tried_before(const RelayState& state, const std::string& url)
{
    return std::any_of(state.tried.begin(), state.tried.end(), [&](const std::string& t) {
        return strcasecmp(t.c_str(), url.c_str()) == 0;
    });
}

// A playlist or page body: what arrives within the head's deadline, up to
// its length or kRelayPlaylistLimit, whichever is less.
std::string read_listing(HttpReader& reader, int64_t length)
{
    const size_t want = length >= 0
                            ? std::min<size_t>(static_cast<size_t>(length), kRelayPlaylistLimit)
                            : kRelayPlaylistLimit;
    std::string text;
    char block[kRelayBlock];
    while (text.size() < want) {
        const ssize_t n =
            http_reader_recv(reader, block, std::min(sizeof block, want - text.size()));
        if (n <= 0) {
            break;
        }
        text.append(block, static_cast<size_t>(n));
    }
    return text;
}

// Whether the client has closed its side (or reset the connection).
bool client_gone(int socket)
{
    pollfd p{socket, POLLRDHUP, 0};
    return poll(&p, 1, 0) == 1 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

Attempt relay_url(HttpConnection* c, const std::string& url, int depth, RelayState& state);

Attempt follow(HttpConnection* c, const std::vector<std::string>& candidates, int depth,
               RelayState& state)
{
    for (const std::string& next : candidates) {
        if (tried_before(state, next)) {
            continue;
        }
        if (relay_url(c, next, depth + 1, state) == Attempt::Relayed) {
            return Attempt::Relayed;
        }
    }
    return Attempt::Failed;
}

Attempt relay_url(HttpConnection* c, const std::string& url, int depth, RelayState& state)
{
    const auto now = Clock::now();
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(state.deadline - now).count();
    if (depth > kRelayMaxDepth || state.attempts_left <= 0 || left <= 0 || client_gone(c->socket)) {
        return Attempt::Failed;
    }
    --state.attempts_left;
    state.tried.push_back(url);
    const std::optional<sockaddr_in> address =
        checked_address(url, depth > 0 || !state.own_address, state);
    if (!address) {
        return Attempt::Failed;
    }
    UniqueFd up(http_connect_address(*address,
                                     static_cast<int>(std::min<long long>(left, kRelayConnectMs))));
    if (up.fd < 0) {
        log_msg(LOG_PROBLEM, LOG_CAT_HTTP_PROXY, "cannot connect to %s\n", url.c_str());
        return Attempt::Failed;
    }
    if (http_send_get(up.fd, url.c_str(), "User-Agent: WinampMPEG/5.0\r\n", true) != 0) {
        return Attempt::Failed;
    }
    auto reader = std::make_unique<HttpReader>();
    reader->socket = up.fd;
    reader->deadline =
        std::min(Clock::now() + std::chrono::milliseconds(kRelayHeadMs), state.deadline);
    char head[kHttpHeadSize];
    const HeadResult got = http_read_head(*reader, head, sizeof head);
    if (got.status != HeadStatus::Complete) {
        log_msg(LOG_PROBLEM, LOG_CAT_HTTP_PROXY, "no usable answer head from %s\n", url.c_str());
        return Attempt::Failed;
    }
    const RelayHead answer = relay_parse_head(std::string_view(head, got.length));
    if (const std::optional<std::string> type = relay_media_type(answer, url)) {
        relay_body(c, *reader, answer.content_length, type->c_str());
        return Attempt::Relayed;
    }
    if (relay_is_redirect(answer)) {
        const std::optional<std::string> next = relay_resolve_location(url, answer.location);
        return next ? follow(c, {*next}, depth, state) : Attempt::Failed;
    }
    if (answer.status != 200 || answer.chunked) {
        return Attempt::Failed;
    }
    // A playlist (pls, m3u, asx, xspf) or a page: the addresses it names.
    const std::string listing = read_listing(*reader, answer.content_length);
    return follow(c, relay_candidates(listing, kRelayCandidatesPerBody), depth, state);
}

} // namespace

int relay_body(HttpConnection* c, HttpReader& upstream, int64_t length, const char* content_type)
{
    c->content_type = content_type;
    c->content_length = length >= 0 ? length : -1;
    c->close_after = 1;
    if (http_send_header(c, 200, c->method != HTTP_HEAD) != 0) {
        return RELAY_CLIENT_GONE;
    }
    if (c->method == HTTP_HEAD) {
        return RELAY_COMPLETE;
    }
    int64_t remaining = length; // -1: until the source closes
    char block[kRelayBlock];
    // What came with the head first, then the socket itself.
    while (http_reader_buffered(upstream) > 0 && remaining != 0) {
        const size_t want = remaining < 0
                                ? sizeof block
                                : std::min<size_t>(sizeof block, static_cast<size_t>(remaining));
        const ssize_t n = http_reader_recv(upstream, block, want);
        if (n <= 0) {
            break;
        }
        if (http_send_media(c, block, static_cast<size_t>(n)) != 0) {
            log_msg(LOG_INFO, LOG_CAT_HTTP_PROXY, "proxy client close\n");
            return RELAY_CLIENT_GONE;
        }
        if (remaining > 0) {
            remaining -= n;
        }
    }
    auto last_data = Clock::now();
    while (remaining != 0) {
        if (http_stop_requested(c)) {
            return RELAY_CLIENT_GONE;
        }
        // The client's side too: a player that hangs up ends the source's
        // connection at once, not when the next block fails to go out.
        pollfd p[2] = {{upstream.socket, POLLIN, 0}, {c->socket, POLLRDHUP, 0}};
        const int ready = poll(p, 2, 250);
        if (ready < 0 && errno != EINTR) {
            return RELAY_SOURCE_FAILED;
        }
        if (p[1].revents & (POLLRDHUP | POLLHUP | POLLERR)) {
            log_msg(LOG_INFO, LOG_CAT_HTTP_PROXY, "proxy client close\n");
            return RELAY_CLIENT_GONE;
        }
        if (!(p[0].revents & (POLLIN | POLLHUP | POLLERR))) {
            if (Clock::now() - last_data >= std::chrono::milliseconds(kRelaySilenceMs)) {
                log_msg(LOG_PROBLEM, LOG_CAT_HTTP_PROXY, "proxy server problem\n");
                return RELAY_SOURCE_FAILED;
            }
            continue;
        }
        const size_t want = remaining < 0
                                ? sizeof block
                                : std::min<size_t>(sizeof block, static_cast<size_t>(remaining));
        const ssize_t n = recv(upstream.socket, block, want, MSG_DONTWAIT);
        if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) {
            continue;
        }
        if (n <= 0) {
            // The end of a body without a length is its source closing.
            if (remaining < 0 && n == 0) {
                return RELAY_COMPLETE;
            }
            log_msg(LOG_PROBLEM, LOG_CAT_HTTP_PROXY, "proxy server problem\n");
            return RELAY_SOURCE_FAILED;
        }
        last_data = Clock::now();
        if (http_send_media(c, block, static_cast<size_t>(n)) != 0) {
            log_msg(LOG_INFO, LOG_CAT_HTTP_PROXY, "proxy client close\n");
            return RELAY_CLIENT_GONE;
        }
        if (remaining > 0) {
            remaining -= n;
        }
    }
    return RELAY_COMPLETE;
}

RelayTrust relay_trust_of_entry(const char* url)
{
    const std::optional<HttpTarget> target = http_parse_url(url);
    return {target ? target->host : std::string(), true};
}

RelayTrust relay_trust_of_station_list()
{
    return {station_list_source_host(), false};
}

std::optional<std::string> relay_refusal(const sockaddr_in& address, bool followed,
                                         const std::vector<sockaddr_in>& trusted)
{
    const int port = ntohs(address.sin_port);
    if (followed && port < 1024 && port != 80 && port != 443) {
        return "a redirection or playlist leads to port " + std::to_string(port) +
               ", below 1024 and not 80 or 443";
    }
    const AddressScope scope = net_scope_ipv4(address.sin_addr);
    if (scope == AddressScope::Public) {
        return std::nullopt;
    }
    const bool named = std::any_of(trusted.begin(), trusted.end(), [&](const sockaddr_in& t) {
        return t.sin_addr.s_addr == address.sin_addr.s_addr;
    });
    if (named) {
        return std::nullopt;
    }
    return std::string("a ") + net_scope_name(scope) + " address the user did not name";
}

int http_relay(HttpConnection* c, const char* url, const RelayTrust& trust, int search_ms)
{
    c->close_after = 1;
    RelayState state;
    state.deadline = Clock::now() + std::chrono::milliseconds(search_ms);
    state.own_address = trust.own_address;
    if (!trust.host.empty()) {
        state.trusted = http_resolve(trust.host, 0);
    }
    if (relay_url(c, url, 0, state) == Attempt::Relayed) {
        // Whatever ended the body, the answer was framed by its length or
        // by closing: a second head would land inside the body.
        return HTTP_CLOSE;
    }
    log_msg(LOG_PROBLEM, LOG_CAT_HTTP_PROXY, "no media at %s\n", url);
    return http_send_404(c);
}

int httpproxy_handler(HttpConnection* c)
{
    const char* id_text = media_url_id(c->url.data(), "httpproxy/");
    if (!id_text) {
        return http_send_404(c);
    }
    const std::optional<DbLocation> location = db_item_location(id_text);
    if (!location || location->path.rfind("http://", 0) != 0) {
        return http_send_404(c);
    }
    const RelayTrust trust = location->listed_station
                                 ? relay_trust_of_station_list()
                                 : relay_trust_of_entry(location->path.c_str());
    return http_relay(c, location->path.c_str(), trust);
}

int ftpproxy_handler(HttpConnection* c)
{
    const char* id_text = media_url_id(c->url.data(), "ftpproxy/");
    if (!id_text) {
        return HTTP_CLOSE;
    }
    const std::optional<DbLocation> location = db_item_location(id_text);
    if (!location || location->path.rfind("ftp://", 0) != 0) {
        return http_send_404(c);
    }
    return ftp_fetch(c, location->path.c_str());
}
