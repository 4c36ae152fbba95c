#include "http/http_server.h"

#include "core/log.h"
#include "core/net_util.h"
#include "core/paths.h"
#include "core/text_util.h"
#include "http/http_admission.h"
#include "http/http_registry.h"
#include "http/http_response.h"

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

std::array<HttpListener, kMaxServerAddresses> g_http_listeners;

namespace
{

// Set at start-up (and by tests) while connections may be running.
std::atomic<void (*)(HttpConnection*)> g_recognise_hook{nullptr};

std::atomic<int> g_request_ms{HttpTimeLimits{}.request_ms};
std::atomic<int> g_idle_ms{HttpTimeLimits{}.idle_ms};
std::atomic<int> g_send_ms{HttpTimeLimits{}.send_ms};
std::atomic<int> g_stream_pause_ms{HttpTimeLimits{}.stream_pause_ms};
std::atomic<int> g_head_ms{HttpTimeLimits{}.head_ms};

// How often a connection waiting for a request looks at the running flag.
constexpr int kStopCheckMs = 200;

void close_socket(int socket)
{
    shutdown(socket, SHUT_RDWR);
    close(socket);
}

void write_redirect_file(const HttpListener& listener)
{
    const std::string path = start_directory() + "/corvalenso-config.html";
    FILE* f = fopen(path.c_str(), "w");
    if (!f) {
        return;
    }
    const char* a = listener.address.data();
    fprintf(f,
            "<html><head><META http-equiv=\"refresh\" content=\"0; "
            "URL=http://%s:%d/configpage/index.htm\">\n</head><body><a "
            "href=\"http://%s:%d/configpage/index.htm\">Corvalenso Plenwick "
            "configuration</a></body></html>\n",
            a, listener.port, a, listener.port);
    fclose(f);
}

timeval timeval_of(int ms)
{
    return timeval{ms / 1000, static_cast<suseconds_t>(ms % 1000) * 1000};
}

// The receive time-out set on connections: the longer of the two limits.
int socket_receive_timeout_ms()
{
    return std::max(g_request_ms.load(), g_idle_ms.load());
}

void set_socket_timeouts(int socket, int receive_ms)
{
    // Backstops only: every receive waits for its request's deadline, and
    // every answer send for progress within the send limit.
    timeval receive = timeval_of(receive_ms);
    timeval send = timeval_of(g_send_ms.load());
    setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, &receive, sizeof receive);
    setsockopt(socket, SOL_SOCKET, SO_SNDTIMEO, &send, sizeof send);
    // Heads and bodies leave in separate sends; without this the second
    // waits for the client's delayed acknowledgement.
    int on = 1;
    setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

int method_of(const char* head)
{
    struct Method {
        const char* name;
        int bit;
    };
    static constexpr Method kMethods[] = {
        {"GET", HTTP_GET},
        {"HEAD", HTTP_HEAD},
        {"POST", HTTP_POST},
        {"SUBSCRIBE", HTTP_SUBSCRIBE},
        {"UNSUBSCRIBE", HTTP_UNSUBSCRIBE},
        {"NOTIFY", HTTP_NOTIFY},
    };
    const size_t length = strcspn(head, " \r\n");
    for (const Method& m : kMethods) {
        if (strlen(m.name) == length && strncmp(head, m.name, length) == 0) {
            return m.bit;
        }
    }
    return 0;
}

// Answers 400 to a request that cannot be read unambiguously, and closes:
// the bytes after it cannot be trusted to start the next request.
int refuse_request(HttpConnection& c, const char* peer, const char* reason)
{
    log_msg(LOG_PROBLEM, LOG_CAT_HTTP, "bad request from %s (%s), connection closed\n", peer,
            reason);
    c.content_length = 0;
    c.close_after = 1;
    c.content_type = nullptr;
    http_send_header(&c, 400);
    return HTTP_CLOSE;
}

// Waits until the first byte of the next request can be read, the idle
// time passes, the server stops, or the connection is closed to make room.
// True when a request has begun (or the peer closed: the read tells).
bool await_request(const HttpTicket& ticket, HttpReader& reader, const char* peer)
{
    if (http_reader_buffered(reader) > 0) {
        return !ticket.admission || http_admission_claim(ticket.admission);
    }
    for (;;) {
        if (*ticket.running != 1) {
            return false;
        }
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(reader.deadline -
                                                                       HttpReader::Clock::now());
        if (left.count() <= 0) {
            log_msg(LOG_INFO, LOG_CAT_HTTP, "no request from %s within %d ms, connection closed\n",
                    peer, g_idle_ms.load());
            return false;
        }
        pollfd p{ticket.socket, POLLIN, 0};
        const int ready =
            poll(&p, 1, static_cast<int>(std::min<int64_t>(left.count(), kStopCheckMs)));
        if (ready < 0 && errno != EINTR) {
            return false;
        }
        if (ready > 0) {
            return !ticket.admission || http_admission_claim(ticket.admission);
        }
    }
}

void connection_thread(const HttpTicket& ticket, bool queued)
{
    if (queued &&
        !http_admission_wait_slot(ticket.admission, g_request_ms.load(), ticket.running)) {
        close_socket(ticket.socket);
        return;
    }
    auto reader = std::make_unique<HttpReader>();
    reader->socket = ticket.socket;
    reader->socket_timeout_ms = ticket.receive_timeout_ms;
    int result = HTTP_KEEP;
    bool first = true;
    while (*ticket.running == 1 && result == HTTP_KEEP) {
        if (!first && !http_admission_idle(ticket.admission, http_reader_buffered(*reader) > 0)) {
            break;
        }
        first = false;
        // The next request must begin within the idle time after the last
        // answer (or the accept), and be complete within the request time
        // of its first byte.
        reader->deadline = HttpReader::Clock::now() + std::chrono::milliseconds(g_idle_ms.load());
        reader->request_ms = g_request_ms.load();
        reader->head_ms = g_head_ms.load();
        reader->timed_out = false;
        result = HTTP_send_receive(ticket, *reader);
    }
    http_release(ticket.admission);
    if (result != HTTP_ALREADY_CLOSED) {
        close_socket(ticket.socket);
    }
}

} // namespace

bool http_parse_request_line(HttpConnection& c)
{
    const char* head = c.head.data();
    const size_t line_length = strcspn(head, "\r\n");
    const std::string_view line(head, line_length);
    const size_t blank = line.find(' ');
    if (blank == std::string_view::npos || blank == 0) {
        return false;
    }
    const size_t second = line.find(' ', blank + 1);
    if (second == std::string_view::npos || second == blank + 1) {
        return false;
    }
    const std::string_view target = line.substr(blank + 1, second - blank - 1);
    const std::string_view version = line.substr(second + 1);
    if (version.size() != 8 || version.substr(0, 5) != "HTTP/" || version[6] != '.' ||
        version[5] < '0' || version[5] > '9' || version[7] < '0' || version[7] > '9') {
        return false;
    }
    for (char ch : line.substr(0, blank)) {
        if (static_cast<unsigned char>(ch) <= ' ' || ch == 0x7f) {
            return false;
        }
    }
    for (char ch : target) {
        if (static_cast<unsigned char>(ch) < ' ' || ch == 0x7f) {
            return false;
        }
    }
    const size_t kept = std::min(target.size(), c.url.size() - 1);
    memcpy(c.url.data(), target.data(), kept);
    c.url[kept] = '\0';
    c.http_version = version == "HTTP/1.1" ? 11 : 10;
    return true;
}

void http_set_client_hooks(const HttpClientHooks& hooks)
{
    g_recognise_hook = hooks.recognise;
}

int http_connection_count()
{
    return http_admitted_count();
}

HttpTimeLimits http_time_limits()
{
    return HttpTimeLimits{g_request_ms.load(), g_idle_ms.load(), g_send_ms.load(),
                          g_stream_pause_ms.load(), g_head_ms.load()};
}

void http_set_time_limits(const HttpTimeLimits& limits)
{
    g_request_ms = std::max(1, limits.request_ms);
    g_idle_ms = std::max(1, limits.idle_ms);
    g_send_ms = std::max(1, limits.send_ms);
    g_stream_pause_ms = std::max(1, limits.stream_pause_ms);
    g_head_ms = std::max(1, limits.head_ms);
}

void http_listener_clear(HttpListener& listener)
{
    listener.g_HTTP_thread_running = 0;
    listener.socket = 0;
    listener.address = {};
    listener.port = 0;
    listener.ip = {};
}

void http_listener_close(HttpListener& listener)
{
    int s = listener.socket.exchange(0);
    if (s > 0) {
        close(s);
    }
}

namespace
{

enum class PortTry { Listening, Taken, ListenFailed };

// Binds a fresh socket to the port and listens on it.
PortTry try_port(sockaddr_in addr, int port, int& s)
{
    s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0) {
        return PortTry::Taken;
    }
    // A restart must get its port back while connections of the previous run
    // linger in TIME_WAIT, or players that kept the old LOCATION lose the
    // server. A port another live server listens on is still refused.
    int on = 1;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    if (bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        close(s);
        return PortTry::Taken;
    }
    // Another server that bound the same port a moment ago and listened
    // first wins it: the listen then fails, and for a searched port that
    // only means the port is taken.
    if (listen(s, kListenBacklog) != 0) {
        const bool in_use = errno == EADDRINUSE;
        close_socket(s);
        return in_use ? PortTry::Taken : PortTry::ListenFailed;
    }
    return PortTry::Listening;
}

} // namespace

void http_listener_open(HttpListener& listener, int preferred)
{
    tzset();
    http_raise_descriptor_limit();
    const char* address = listener.address.data();
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    inet_pton(AF_INET, address, &addr.sin_addr);
    listener.ip = addr.sin_addr;
    const bool search = listener.port == 0;
    if (search && preferred > 0) {
        int s = -1;
        if (try_port(addr, preferred, s) == PortTry::Listening) {
            listener.socket = s;
            listener.port = preferred;
            return;
        }
    }
    const int first = search ? kFirstSearchedPort : listener.port;
    const int last = search ? kLastSearchedPort : listener.port;
    for (int port = first; port <= last; ++port) {
        int s = -1;
        const PortTry result = try_port(addr, port, s);
        if (result == PortTry::Listening) {
            listener.socket = s;
            listener.port = port;
            return;
        }
        if (result == PortTry::ListenFailed) {
            log_msg(LOG_CRITICAL, LOG_CAT_HTTP,
                    "failure on listen on HTTP server port for IP: %s\n", address);
            return;
        }
    }
    log_msg(LOG_CRITICAL, LOG_CAT_HTTP, "no free port for HTTP server found on IP: %s\n", address);
}

void http_accept_loop(HttpListener* listener)
{
    // A stop that came before this thread ran has nothing left for it.
    if (listener->socket == 0 || listener->socket == -1 || g_upnp_server_thread_running == -1) {
        return;
    }
    const int listen_socket = listener->socket;
    listener->g_HTTP_thread_running = 1;
    write_redirect_file(*listener);
    log_msg(LOG_INFO, LOG_CAT_HTTP, "HTTP server started at http://%s:%d/\n",
            listener->address.data(), listener->port);
    while (listener->g_HTTP_thread_running == 1) {
        sockaddr_in peer{};
        socklen_t peer_size = sizeof peer;
        int s =
            accept4(listen_socket, reinterpret_cast<sockaddr*>(&peer), &peer_size, SOCK_CLOEXEC);
        if (s < 0) {
            if (errno != EINTR && errno != EAGAIN && errno != ECONNABORTED) {
                // Closed by the server stop, or out of descriptors: do not spin.
                sleep_ms(listener->g_HTTP_thread_running == 1 ? 10 : 0);
            }
            continue;
        }
        const HttpAdmitResult admitted = http_admit(s, peer.sin_addr.s_addr);
        if (admitted.status == HttpAdmit::Refused) {
            close_socket(s);
            continue;
        }
        const int receive_ms = socket_receive_timeout_ms();
        set_socket_timeouts(s, receive_ms);
        HttpTicket ticket;
        ticket.running = &listener->g_HTTP_thread_running;
        ticket.socket = s;
        ticket.admission = admitted.admission;
        ticket.receive_timeout_ms = receive_ms;
        snprintf(ticket.base_url.data(), ticket.base_url.size(), "http://%s:%d/",
                 listener->address.data(), listener->port);
        const bool queued = admitted.status == HttpAdmit::Queued;
        if (!start_thread([ticket, queued] { connection_thread(ticket, queued); },
                          kConnectionStackBytes)) {
            // A queued one may have been given a slot meanwhile.
            if (!queued || http_admission_wait_slot(admitted.admission, 0, nullptr)) {
                http_release(admitted.admission);
            }
            close_socket(s);
        }
    }
    log_msg(LOG_INFO, LOG_CAT_HTTP, "HTTP server terminated at http://%s:%d/\n",
            listener->address.data(), listener->port);
    http_listener_close(*listener);
    listener->g_HTTP_thread_running = 0;
}

int HTTP_send_receive(const HttpTicket& ticket, HttpReader& reader)
{
    const int socket = ticket.socket;
    const std::string peer = peer_address(socket);
    if (peer.empty()) {
        return HTTP_CLOSE;
    }
    if (!await_request(ticket, reader, peer.c_str())) {
        return HTTP_CLOSE;
    }
    auto c = std::make_unique<HttpConnection>();
    c->socket = socket;
    c->admission = ticket.admission;
    c->stop_flag = ticket.running;
    c->base_url = ticket.base_url;
    snprintf(c->client_ip.data(), c->client_ip.size(), "%s", peer.c_str());

    const HeadResult head = http_read_head(reader, c->head.data(), c->head.size());
    switch (head.status) {
    case HeadStatus::Complete:
        // From here on the connection works for its client and no longer
        // gives way to others; closed to make room meanwhile, it ends.
        if (ticket.admission && !http_admission_busy(ticket.admission)) {
            return HTTP_CLOSE;
        }
        break;
    case HeadStatus::Cut:
        // The rest of an oversized head would be read as a request of its own.
        log_msg(LOG_ERROR, LOG_CAT_HTTP, "header buffer to small!\n%.200s\n", c->head.data());
        return refuse_request(*c, peer.c_str(), "head too large");
    case HeadStatus::Failed:
        fprintf(stderr, "recv (%s): %s\n", peer.c_str(), strerror(errno));
        return HTTP_CLOSE;
    case HeadStatus::TimedOut:
        if (head.length == 0) {
            log_msg(LOG_INFO, LOG_CAT_HTTP, "no request from %s within %d ms, connection closed\n",
                    peer.c_str(), g_idle_ms.load());
        } else {
            log_msg(LOG_PROBLEM, LOG_CAT_HTTP,
                    "request head from %s not complete within %d ms, connection closed\n",
                    peer.c_str(), std::min(reader.head_ms, reader.request_ms));
        }
        return HTTP_CLOSE;
    case HeadStatus::Closed:
        log_msg(LOG_INFO, LOG_CAT_HTTP,
                "received no header in HTTP_send_receive, propably client closed socket!\n");
        return HTTP_CLOSE;
    }
    const char* head_text = c->head.data();
    if (!http_parse_request_line(*c)) {
        return refuse_request(*c, peer.c_str(), "invalid request line");
    }
    const HeadSplitResult split =
        http_split_head(std::string_view(head_text, head.length), c->fields);
    if (split.status != HeadSplit::Ok) {
        return refuse_request(*c, peer.c_str(), split.reason);
    }
    if (c->fields.expect_continue) {
        static constexpr char kContinue[] = "HTTP/1.1 100 Continue\r\nContent-Length: 0\r\n\r\n";
        send_all(socket, kContinue, sizeof kContinue - 1, MSG_NOSIGNAL);
    }
    c->close_after = c->http_version == 10 || c->fields.connection_close ? 1 : 0;

    // Once per request: every handler then asks the record, not the head.
    if (auto recognise = g_recognise_hook.load()) {
        recognise(c.get());
    }
    // Connections of this host wait for a slot: this one passes its slot on
    // after the answer, and says so, so that the client does not reuse it.
    if (ticket.admission && http_admission_host_waits(ticket.admission)) {
        c->close_after = 1;
    }
    c->method = method_of(head_text);
    log_msg(LOG_INFO, LOG_CAT_HTTP, "%s\n", head_text);

    BodyResult body;
    // A body announced on any request is read, so that its bytes are never
    // taken for the next request on the connection.
    const bool announced = c->fields.chunked || c->fields.content_length > 0;
    if (c->method == HTTP_POST || c->method == HTTP_NOTIFY || announced) {
        body = http_read_body(reader, c->fields, kMaxRequestBody);
        if (body.status == BodyStatus::TooLarge) {
            log_msg(LOG_ERROR, LOG_CAT_HTTP, "request body from %s too large, connection closed\n",
                    peer.c_str());
            return HTTP_CLOSE;
        }
        if (body.status == BodyStatus::TimedOut) {
            log_msg(LOG_PROBLEM, LOG_CAT_HTTP,
                    "request body from %s not complete within %d ms, connection closed\n",
                    peer.c_str(), reader.request_ms);
            return HTTP_CLOSE;
        }
        if (body.status == BodyStatus::Received) {
            c->body = strbuf_c_str(body.body);
            c->body_length = body.body.length;
            log_msg(LOG_INFO, LOG_CAT_HTTP, "%s\n",
                    body.body.length > 0 ? c->body : "- NO BODY RECEIVED -");
        }
    }

    int result = http_dispatch(c.get());
    if (result == kHttpNoHandler) {
        // The answer has no body, and the connection closes after it.
        c->content_length = 0;
        c->close_after = 1;
        http_send_header(c.get(), 500);
        result = HTTP_CLOSE;
    }
    if (c->close_after && result != HTTP_ALREADY_CLOSED) {
        close_socket(socket);
        result = HTTP_ALREADY_CLOSED;
    }
    return result;
}
