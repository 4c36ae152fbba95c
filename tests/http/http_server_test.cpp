// The HTTP engine in this process, over real loopback connections, with
// handlers of the test's own.
#include "http/http_admission.h"
#include "http/http_registry.h"
#include "http/http_response.h"
#include "http/http_server.h"
#include "support/child_process.h"
#include "support/http_client.h"
#include "support/temp_dir.h"

#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <mutex>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace std::chrono_literals;

namespace
{

// Answers with the method, target and body it received.
int echo_handler(HttpConnection* c)
{
    static thread_local std::string text;
    text = std::to_string(c->method) + " " + c->url.data() + " " + (c->body ? c->body : "-");
    c->content_type = "text/plain";
    c->content_length = static_cast<int64_t>(text.size());
    return http_send_response(c, text.c_str());
}

int closing_handler(HttpConnection* c)
{
    http_send_empty(c, 200);
    return HTTP_CLOSE;
}

// Answers with the client type the request's record holds.
int client_type_handler(HttpConnection* c)
{
    static thread_local std::string text;
    text = std::to_string(c->client_type);
    c->content_type = "text/plain";
    c->content_length = static_cast<int64_t>(text.size());
    return http_send_response(c, text.c_str());
}

std::atomic<int> g_recognised_type{-1};
std::atomic<int> g_recognise_calls{0};
std::mutex g_recognised_lock;
std::string g_recognised_address;

std::string recognised_address()
{
    std::lock_guard guard(g_recognised_lock);
    return g_recognised_address;
}

class HttpServer : public ::testing::Test
{
protected:
    void SetUp() override
    {
        http_registry_clear();
        http_register_handler(echo_handler, HTTP_GET | HTTP_HEAD | HTTP_POST, "/echo");
        http_register_handler(closing_handler, HTTP_GET, "/close");
        http_register_handler(client_type_handler, HTTP_GET, "/who");
        HttpClientHooks hooks;
        // Stands in for the client table: the User-Agent "type N" names the
        // type, and type 2 needs its connections closed.
        hooks.recognise = [](HttpConnection* c) {
            ++g_recognise_calls;
            {
                std::lock_guard guard(g_recognised_lock);
                g_recognised_address = c->client_ip.data();
            }
            const std::string_view agent = http_header(c, HttpField::UserAgent);
            c->client_type = agent.starts_with("type ") ? agent[5] - '0' : 0;
            g_recognised_type = c->client_type;
            if (c->client_type == 2) {
                c->close_after = 1;
            }
        };
        http_set_client_hooks(hooks);

        http_listener_clear(listener);
        strcpy(listener.address.data(), "127.0.0.1");
        http_listener_open(listener);
        ASSERT_GT(listener.socket, 0);
        HttpListener* l = &listener;
        start_thread([l] { http_accept_loop(l); });
        ASSERT_TRUE(wait_until([&] { return listener.g_HTTP_thread_running == 1; }, 5s));
    }
    void TearDown() override
    {
        thread_request_stop(listener.g_HTTP_thread_running);
        shutdown(listener.socket, SHUT_RDWR);
        EXPECT_TRUE(wait_until([&] { return listener.g_HTTP_thread_running == 0; }, 5s));
        // The test's clients are gone, so their connections end; the next
        // test must not see them.
        EXPECT_TRUE(wait_until([] { return http_connection_count() == 0; }, 5s));
        http_set_client_hooks({});
        g_recognised_type = -1;
        g_recognise_calls = 0;
    }
    int port() const
    {
        return listener.port;
    }

    // The process's own listener record, as the server uses it: it lives
    // as long as the process, and so outlives every connection.
    HttpListener& listener = g_http_listeners[0];
};

TEST_F(HttpServer, PortSearchStartsAt9000)
{
    EXPECT_GE(port(), 9000);
    EXPECT_LE(port(), 10000);
}

TEST_F(HttpServer, PipelinedRequestsOnOneConnectionAreAllAnswered)
{
    RawHttpClient client(port());
    ASSERT_TRUE(client.connected());
    client.send_text(
        "GET /echo/1 HTTP/1.1\r\nHost: a\r\n\r\nGET /echo/2 HTTP/1.1\r\nHost: a\r\n\r\n");
    auto first = client.read_answer();
    auto second = client.read_answer();
    ASSERT_TRUE(first && second);
    EXPECT_EQ(first->body, "1 /echo/1 -");
    EXPECT_EQ(second->body, "1 /echo/2 -");
    EXPECT_EQ(header_value(second->head, "Connection"), "keep-alive");

    client.send_text("POST /echo/3 HTTP/1.1\r\nContent-Length: 4\r\n\r\nbody");
    auto third = client.read_answer();
    ASSERT_TRUE(third);
    EXPECT_EQ(third->body, "4 /echo/3 body");
}

TEST_F(HttpServer, Http10AndConnectionCloseEndTheConnection)
{
    for (const char* request :
         {"GET /echo HTTP/1.0\r\n\r\n", "GET /echo HTTP/1.1\r\nConnection: Close\r\n\r\n"}) {
        RawHttpClient client(port());
        client.send_text(request);
        auto answer = client.read_answer();
        ASSERT_TRUE(answer) << request;
        EXPECT_EQ(header_value(answer->head, "Connection"), "close");
        EXPECT_TRUE(client.closed_by_peer()) << request;
    }
    RawHttpClient client(port());
    client.send_text("GET /echo HTTP/1.0\r\n\r\n");
    auto answer = client.read_answer();
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->head.rfind("HTTP/1.0 200 OK\r\n", 0), 0u);
}

TEST_F(HttpServer, UnknownUrlAnswers500AndCloses)
{
    RawHttpClient client(port());
    client.send_text("POST /nothing HTTP/1.1\r\nContent-Length: 3\r\n\r\nabc");
    auto answer = client.read_answer();
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->status, 500);
    EXPECT_EQ(header_value(answer->head, "Content-Length"), "0");
    EXPECT_TRUE(client.closed_by_peer());
}

TEST_F(HttpServer, ContinueIsSentBeforeTheBodyIsRead)
{
    RawHttpClient client(port());
    client.send_text("POST /echo HTTP/1.1\r\nExpect: 100-continue\r\nContent-Length: 2\r\n\r\n");
    auto interim = client.read_answer(5s);
    ASSERT_TRUE(interim);
    EXPECT_EQ(interim->head, "HTTP/1.1 100 Continue\r\nContent-Length: 0\r\n\r\n");
    client.send_text("ok");
    auto answer = client.read_answer();
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->body, "4 /echo ok");
}

TEST_F(HttpServer, OversizedBodyIsRefusedWithoutDispatch)
{
    for (const char* request :
         {"POST /echo HTTP/1.1\r\nContent-Length: 4000000000\r\n\r\nabc",
          "POST /echo HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n7fffffff\r\nab"}) {
        RawHttpClient client(port());
        client.send_text(request);
        EXPECT_EQ(client.read_until_close(5s), "") << request;
    }
}

TEST_F(HttpServer, HeadsOfTodaysClientsFitAndLongerOnesAreRefused)
{
    {
        RawHttpClient client(port());
        client.send_text("GET /echo HTTP/1.1\r\nX-Long: " + std::string(3000, 'x') + "\r\n\r\n");
        auto answer = client.read_answer();
        ASSERT_TRUE(answer);
        EXPECT_EQ(answer->body, "1 /echo -");
    }
    // The rest of a head that does not fit must not run as a request of its own.
    RawHttpClient client(port());
    client.send_text("GET /echo HTTP/1.1\r\nX-Long: " + std::string(9000, 'x') +
                     "\r\n\r\nGET /echo/smuggled HTTP/1.1\r\n\r\n");
    auto answer = client.read_answer();
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->status, 400);
    EXPECT_EQ(client.read_until_close(5s), "");
}

// Framing the server and a proxy in front of it could read differently is
// refused, and the connection closes, so that no bytes of one request are
// taken for another.
TEST_F(HttpServer, AmbiguousFramingIsRefusedWith400AndClosed)
{
    const char* requests[] = {
        "POST /echo HTTP/1.1\r\nContent-Length: 3\r\nContent-Length: 30\r\n\r\nabc",
        "POST /echo HTTP/1.1\r\nContent-Length: 3, 3\r\n\r\nabc",
        "POST /echo HTTP/1.1\r\nContent-Length: +3\r\n\r\nabc",
        "POST /echo HTTP/1.1\r\nTransfer-Encoding: xchunked\r\n\r\n3\r\nabc\r\n0\r\n\r\n",
        "POST /echo HTTP/1.1\r\nTransfer-Encoding: gzip, chunked\r\n\r\n0\r\n\r\n",
        "POST /echo HTTP/1.1\r\nTransfer-Encoding: chunked\r\nContent-Length: 3\r\n\r\nabc",
        "POST /echo HTTP/1.1\r\nContent-Length : 3\r\n\r\nabc",
        "POST /echo HTTP/1.1\r\nX-Foo: a\r\n folded\r\n\r\n",
        "GET /echo HTTP/1.1\r\nHost: a\r\nHost: b\r\n\r\n",
        "GET /echo HTTP/1.1\r\nNoColonHere\r\n\r\n",
        "GET  /echo HTTP/1.1\r\n\r\n",
        "GET /echo HTTP/1.1 extra\r\n\r\n",
        "GET /echo\r\n\r\n",
    };
    for (const char* request : requests) {
        RawHttpClient client(port());
        client.send_text(request);
        auto answer = client.read_answer();
        ASSERT_TRUE(answer) << request;
        EXPECT_EQ(answer->status, 400) << request;
        EXPECT_EQ(client.read_until_close(5s), "") << request;
    }
    // "chunked" in another field's value changes nothing, and equal repeated
    // lengths are one length.
    for (const char* request :
         {"POST /echo HTTP/1.1\r\nX-Foo: notchunked\r\nContent-Length: 3\r\n\r\nabc",
          "POST /echo HTTP/1.1\r\nContent-Length: 3\r\ncontent-length: 3\r\n\r\nabc",
          "POST /echo HTTP/1.1\r\nTransfer-Encoding: Chunked\r\n\r\n3\r\nabc\r\n0\r\n\r\n"}) {
        RawHttpClient client(port());
        client.send_text(request);
        auto answer = client.read_answer();
        ASSERT_TRUE(answer) << request;
        EXPECT_EQ(answer->body, "4 /echo abc") << request;
    }
}

TEST_F(HttpServer, BodyOfAGetIsNotTakenForTheNextRequest)
{
    RawHttpClient client(port());
    client.send_text("GET /echo HTTP/1.1\r\nContent-Length: 31\r\n\r\n"
                     "GET /echo/smuggled HTTP/1.1\r\n\r\nGET /echo/next HTTP/1.1\r\n\r\n");
    auto first = client.read_answer();
    ASSERT_TRUE(first);
    EXPECT_EQ(first->body, "1 /echo GET /echo/smuggled HTTP/1.1\r\n\r\n");
    auto second = client.read_answer();
    ASSERT_TRUE(second);
    EXPECT_EQ(second->body, "1 /echo/next -");
}

TEST_F(HttpServer, TargetIsCutTo255Characters)
{
    const std::string target = "/echo/" + std::string(400, 't');
    auto answer = http_exchange(port(), "GET " + target + " HTTP/1.1\r\n\r\n");
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->body, "1 " + target.substr(0, 255) + " -");
}

TEST_F(HttpServer, HandlerResultOneClosesTheConnection)
{
    RawHttpClient client(port());
    client.send_text("GET /close HTTP/1.1\r\n\r\n");
    ASSERT_TRUE(client.read_answer());
    EXPECT_TRUE(client.closed_by_peer());
}

TEST_F(HttpServer, ClientIsRecognisedOncePerRequestAndKeptOnItsRecord)
{
    RawHttpClient client(port());
    client.send_text("GET /who HTTP/1.1\r\nUser-Agent: type 9\r\n\r\n");
    auto first = client.read_answer();
    ASSERT_TRUE(first);
    EXPECT_EQ(first->body, "9") << "the handler reads the type from the record";
    EXPECT_EQ(recognised_address(), "127.0.0.1");
    // The next request on the same connection is recognised afresh.
    client.send_text("GET /who HTTP/1.1\r\nUser-Agent: type 4\r\n\r\n");
    auto second = client.read_answer();
    ASSERT_TRUE(second);
    EXPECT_EQ(second->body, "4");
    EXPECT_EQ(g_recognise_calls, 2);

    // The hook decides that a client's connections close after the answer.
    RawHttpClient closing(port());
    closing.send_text("GET /echo HTTP/1.1\r\nUser-Agent: type 2\r\n\r\n");
    auto closed = closing.read_answer();
    ASSERT_TRUE(closed);
    EXPECT_EQ(g_recognised_type, 2);
    EXPECT_EQ(header_value(closed->head, "Connection"), "close");
    EXPECT_TRUE(closing.closed_by_peer());
}

// The addresses of four more hosts, all on loopback.
constexpr const char* kOtherHosts[] = {"127.0.0.2", "127.0.0.3", "127.0.0.4", "127.0.0.5"};

// Connection caps shortened for a test, restored afterwards.
struct ShortCaps {
    ShortCaps(int connections, int per_peer, int queued_per_peer = kMaxQueuedPerPeer)
    {
        http_set_admission_limits(
            HttpAdmissionLimits{connections, per_peer, queued_per_peer, kMaxQueuedConnections});
    }
    ~ShortCaps()
    {
        http_set_admission_limits(http_admission_default_limits());
    }
};

std::string loopback_host(int n)
{
    return "127.0.0." + std::to_string(n);
}

// With every slot taken by connections that only wait, a newcomer from
// another host takes the place of the one that has waited longest; a
// newcomer from a host that already holds its share waits for a slot of its
// own host instead of being closed.
TEST_F(HttpServer, FullServerMakesRoomForANewHost)
{
    ShortCaps caps(16, 4);
    std::vector<std::unique_ptr<RawHttpClient>> idle;
    for (const char* host : kOtherHosts) {
        for (int i = 0; i < 4; ++i) {
            idle.push_back(std::make_unique<RawHttpClient>(port(), host));
            ASSERT_TRUE(idle.back()->connected());
            // Accepted one after the other, so that the first waits longest.
            ASSERT_TRUE(wait_until(
                [&] { return http_connection_count() == static_cast<int>(idle.size()); }, 5s));
        }
    }

    RawHttpClient same_host(port(), kOtherHosts[1]);
    ASSERT_TRUE(wait_until([] { return http_queued_count() == 1; }, 5s));
    EXPECT_FALSE(same_host.closed_by_peer(200ms)) << "it waits, it is not dropped";

    RawHttpClient newcomer(port(), "127.0.0.6");
    newcomer.send_text("GET /echo HTTP/1.1\r\n\r\n");
    auto answer = newcomer.read_answer(5s);
    ASSERT_TRUE(answer) << "a waiting connection made room";
    EXPECT_EQ(answer->body, "1 /echo -");
    EXPECT_TRUE(idle[0]->closed_by_peer(2s)) << "the longest idle one gave way";
    int evicted = 0;
    for (auto& client : idle) {
        evicted += client->closed_by_peer(0ms) ? 1 : 0;
    }
    EXPECT_EQ(evicted, 1);

    // The host's own slot frees: its waiting connection is served.
    idle[4].reset();
    same_host.send_text("GET /echo/late HTTP/1.1\r\n\r\n");
    auto late = same_host.read_answer(5s);
    ASSERT_TRUE(late);
    EXPECT_EQ(late->body, "1 /echo/late -");

    idle.clear();
    ASSERT_TRUE(wait_until([] { return http_connection_count() <= 2; }, 10s));
}

// Idle keep-alive connections of many hosts hold every slot: a new client
// is answered at once, and the connection idle the longest is the one
// closed, whichever host holds it.
TEST_F(HttpServer, IdleKeepAliveConnectionsOfManyHostsGiveWayToANewClient)
{
    constexpr int kSlots = 24;
    ShortCaps caps(kSlots, 4);
    std::vector<std::unique_ptr<RawHttpClient>> kept;
    for (int i = 0; i < kSlots; ++i) {
        kept.push_back(std::make_unique<RawHttpClient>(port(), loopback_host(10 + i).c_str()));
        kept.back()->send_text("GET /echo HTTP/1.1\r\n\r\n");
        ASSERT_TRUE(kept.back()->read_answer(5s)) << i;
        if (i == 0) {
            // The server notes a connection idle just after its answer has
            // gone: on a busy machine the next one could be noted first.
            std::this_thread::sleep_for(200ms);
        }
    }
    ASSERT_EQ(http_connection_count(), kSlots);

    const auto start = std::chrono::steady_clock::now();
    auto answer = http_exchange(port(), "GET /echo/new HTTP/1.1\r\n\r\n");
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->body, "1 /echo/new -");
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
    EXPECT_TRUE(kept[0]->closed_by_peer(2s)) << "least recently used";
    for (int i = 1; i < kSlots; ++i) {
        EXPECT_FALSE(kept[static_cast<size_t>(i)]->closed_by_peer(0ms)) << i;
    }
    // The survivors still carry requests.
    kept[1]->send_text("GET /echo/again HTTP/1.1\r\n\r\n");
    auto again = kept[1]->read_answer(5s);
    ASSERT_TRUE(again);
    EXPECT_EQ(again->body, "1 /echo/again -");
}

// One host cannot take every slot: beyond its share its connections wait
// for its own slots, and everyone else is still served.
TEST_F(HttpServer, OneHostGetsOnlyItsShareOfConnections)
{
    std::vector<std::unique_ptr<RawHttpClient>> held;
    for (int i = 0; i < kMaxConnectionsPerPeer; ++i) {
        held.push_back(std::make_unique<RawHttpClient>(port(), "127.0.0.2"));
        ASSERT_TRUE(held.back()->connected());
    }
    ASSERT_TRUE(wait_until([] { return http_connection_count() == kMaxConnectionsPerPeer; }, 10s));
    RawHttpClient beyond(port(), "127.0.0.2");
    beyond.send_text("GET /echo/beyond HTTP/1.1\r\n\r\n");
    EXPECT_FALSE(beyond.read_answer(300ms)) << "it waits for a slot of its host";
    EXPECT_EQ(http_connection_count(), kMaxConnectionsPerPeer);
    auto answer = http_exchange(port(), "GET /echo HTTP/1.1\r\n\r\n");
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->body, "1 /echo -");

    held.pop_back();
    auto late = beyond.read_answer(5s);
    ASSERT_TRUE(late) << "a slot the host gave up is its own again";
    EXPECT_EQ(late->body, "1 /echo/beyond -");
}

// A thousand connections that wait, kept alive after an answer or never
// used, from hundreds of hosts, leave room for a new client.
TEST_F(HttpServer, AThousandWaitingConnectionsLeaveRoom)
{
    constexpr int kWaiting = 1000;
    rlimit descriptors{};
    getrlimit(RLIMIT_NOFILE, &descriptors);
    if (descriptors.rlim_cur < 2 * kWaiting + 2 * kReservedDescriptors) {
        GTEST_SKIP() << "the descriptor limit does not allow both ends of the connections";
    }
    std::vector<std::unique_ptr<RawHttpClient>> waiting;
    for (int i = 0; i < kWaiting; ++i) {
        const std::string host =
            "127.0." + std::to_string(1 + i / 200) + "." + std::to_string(1 + i % 200);
        waiting.push_back(std::make_unique<RawHttpClient>(port(), host.c_str()));
        ASSERT_TRUE(waiting.back()->connected()) << i;
        if (i % 2 == 0) {
            waiting.back()->send_text("GET /echo HTTP/1.1\r\n\r\n");
        }
    }
    for (int i = 0; i < kWaiting; i += 2) {
        ASSERT_TRUE(waiting[static_cast<size_t>(i)]->read_answer(10s)) << i;
    }
    ASSERT_TRUE(wait_until([] { return http_connection_count() == kWaiting; }, 10s));
    const auto start = std::chrono::steady_clock::now();
    auto answer = http_exchange(port(), "GET /echo HTTP/1.1\r\n\r\n");
    ASSERT_TRUE(answer);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
}

// A control point that fires many requests at once opens a connection for
// each; beyond its share they wait for its slots, and every one is answered.
TEST_F(HttpServer, BurstFromOneHostIsAnsweredInFull)
{
    constexpr int kBurst = 50;
    static_assert(kBurst > kMaxConnectionsPerPeer);
    std::vector<std::unique_ptr<RawHttpClient>> burst;
    for (int i = 0; i < kBurst; ++i) {
        burst.push_back(std::make_unique<RawHttpClient>(port(), "127.0.0.2"));
        ASSERT_TRUE(burst.back()->connected());
        burst.back()->send_text("POST /echo/" + std::to_string(i) +
                                " HTTP/1.1\r\nContent-Length: 2\r\n\r\nhi");
    }
    int answered = 0;
    for (int i = 0; i < kBurst; ++i) {
        auto answer = burst[static_cast<size_t>(i)]->read_answer(10s);
        ASSERT_TRUE(answer) << "request " << i << " was dropped";
        EXPECT_EQ(answer->body, "4 /echo/" + std::to_string(i) + " hi");
        ++answered;
    }
    EXPECT_EQ(answered, kBurst);
}

// Many slow connections of one host take its share and its queue, not the
// server: everyone else is still served at once.
TEST_F(HttpServer, SlowConnectionsOfOneHostDoNotLockOutOthers)
{
    std::vector<std::unique_ptr<RawHttpClient>> slow;
    for (int i = 0; i < 200; ++i) {
        slow.push_back(std::make_unique<RawHttpClient>(port(), "127.0.0.2"));
        ASSERT_TRUE(slow.back()->connected());
        slow.back()->send_text("G");
    }
    ASSERT_TRUE(
        wait_until([] { return http_connection_count() + http_queued_count() == 200; }, 10s));
    EXPECT_EQ(http_connection_count(), kMaxConnectionsPerPeer);
    const auto start = std::chrono::steady_clock::now();
    auto answer = http_exchange(port(), "GET /echo HTTP/1.1\r\n\r\n");
    ASSERT_TRUE(answer);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
}

// A connection that waits for its host's slot waits only so long.
TEST_F(HttpServer, WaitingForASlotEndsAtTheRequestTime)
{
    ShortCaps caps(16, 1);
    http_set_time_limits(HttpTimeLimits{400, 30000, 60000});
    RawHttpClient holder(port(), "127.0.0.2");
    ASSERT_TRUE(wait_until([] { return http_connection_count() == 1; }, 5s));
    RawHttpClient waiting(port(), "127.0.0.2");
    waiting.send_text("GET /echo HTTP/1.1\r\n\r\n");
    ASSERT_TRUE(wait_until([] { return http_queued_count() == 1; }, 5s));
    EXPECT_EQ(waiting.read_until_close(5s), "");
    EXPECT_EQ(http_queued_count(), 0);
    http_set_time_limits(HttpTimeLimits{});
}

// Sends the file of g_stream_path as a media stream does.
std::string g_stream_path;

int media_stream_handler(HttpConnection* c)
{
    const int fd = open(g_stream_path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st {
    };
    if (fd < 0 || fstat(fd, &st) != 0) {
        return HTTP_CLOSE;
    }
    c->content_type = "audio/mpeg";
    c->content_length = st.st_size;
    HttpFileSend how;
    how.media_stream = true;
    int result = http_send_header(c, 200, true);
    if (result == 0) {
        result = http_send_file(c, fd, 0, st.st_size, how);
    }
    close(fd);
    return result == 0 ? HTTP_KEEP : HTTP_CLOSE;
}

// Time limits shortened for the tests that need them, restored afterwards.
struct ShortLimits {
    explicit ShortLimits(int request_ms, int idle_ms = 30000, int send_ms = 60000,
                         int head_ms = HttpTimeLimits{}.head_ms)
    {
        HttpTimeLimits limits{request_ms, idle_ms, send_ms};
        limits.head_ms = head_ms;
        http_set_time_limits(limits);
    }
    ~ShortLimits()
    {
        http_set_time_limits(HttpTimeLimits{});
    }
};

// Streams whose players have paused hold every slot: they are not busy, so
// another host is still served, and they are not idle either, so none of
// them is closed for it, nor for pausing longer than a head may take.
TEST_F(HttpServer, PausedStreamsDoNotLockOutOtherHosts)
{
    ShortLimits limits(30000, 30000, 60000, 100);
    TempDir dir;
    g_stream_path = dir.file("song.mp3");
    write_text_file(g_stream_path, std::string(4 << 20, 'm'));
    http_register_handler(media_stream_handler, HTTP_GET, "/media");
    ShortCaps caps(2, 4);
    RawHttpClient first(port(), "127.0.0.2");
    RawHttpClient second(port(), "127.0.0.3");
    for (RawHttpClient* player : {&first, &second}) {
        player->send_text("GET /media HTTP/1.1\r\n\r\n");
        ASSERT_TRUE(player->read_answer(5s, true));
    }
    // Both players stop reading; their streams fill the sockets and wait.
    std::this_thread::sleep_for(300ms);

    const auto start = std::chrono::steady_clock::now();
    auto answer = http_exchange(port(), "GET /echo HTTP/1.1\r\n\r\n");
    ASSERT_TRUE(answer) << "the paused streams took every slot";
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);

    for (RawHttpClient* player : {&first, &second}) {
        size_t got = player->pending.size();
        char buf[65536];
        while (got < (4u << 20)) {
            const ssize_t n = recv(player->fd, buf, sizeof buf, 0);
            if (n <= 0) {
                break;
            }
            got += static_cast<size_t>(n);
        }
        EXPECT_EQ(got, 4u << 20) << "a paused stream was closed";
    }
}

// A client that trickles its request one byte at a time keeps its connection
// only for the request time, not for a receive time-out per byte.
TEST_F(HttpServer, TricklingClientsAreDroppedAtTheRequestDeadline)
{
    ShortLimits limits(600);
    const std::string request = "GET /echo HTTP/1.1\r\nX-Pad: " + std::string(40, 'p') + "\r\n\r\n";
    std::vector<std::unique_ptr<RawHttpClient>> slow;
    for (const char* host : kOtherHosts) {
        for (int i = 0; i < 8; ++i) {
            slow.push_back(std::make_unique<RawHttpClient>(port(), host));
            ASSERT_TRUE(slow.back()->connected());
        }
    }
    const auto start = std::chrono::steady_clock::now();
    bool all_closed = false;
    // One byte every 50 ms each: the whole head would take over 3 s.
    for (size_t sent = 0; sent < request.size() && !all_closed; ++sent) {
        for (auto& client : slow) {
            client->send_text(request.substr(sent, 1));
        }
        // Everyone else is served meanwhile.
        if (sent == 4) {
            auto answer = http_exchange(port(), "GET /echo HTTP/1.1\r\n\r\n");
            ASSERT_TRUE(answer);
        }
        std::this_thread::sleep_for(50ms);
        all_closed = http_connection_count() == 0;
    }
    EXPECT_TRUE(all_closed) << "the slow requests outlived their deadline";
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
    for (auto& client : slow) {
        EXPECT_EQ(client->read_until_close(2s), "") << "dropped without an answer";
    }
}

// Connections that sent the first byte of a head and nothing more hold every
// slot: they give way to a real request as idle ones do. And a head that is
// not complete within the head time is closed, however long the request
// time.
TEST_F(HttpServer, HalfSentHeadsGiveWayAndEndAtTheHeadTime)
{
    ShortCaps caps(16, 4);
    std::vector<std::unique_ptr<RawHttpClient>> slow;
    for (const char* host : kOtherHosts) {
        for (int i = 0; i < 4; ++i) {
            slow.push_back(std::make_unique<RawHttpClient>(port(), host));
            ASSERT_TRUE(slow.back()->connected());
            ASSERT_TRUE(wait_until(
                [&] { return http_connection_count() == static_cast<int>(slow.size()); }, 5s));
            slow.back()->send_text("G");
        }
    }
    // Long enough for every first byte to be seen.
    std::this_thread::sleep_for(200ms);
    auto answer = http_exchange(port(), "GET /echo HTTP/1.1\r\n\r\n");
    ASSERT_TRUE(answer) << "the half-sent heads locked the server";
    EXPECT_EQ(answer->body, "1 /echo -");
    int evicted = 0;
    EXPECT_TRUE(wait_until(
        [&] {
            evicted = 0;
            for (auto& client : slow) {
                evicted += client->closed_by_peer(0ms) ? 1 : 0;
            }
            return evicted > 0;
        },
        2s));
    EXPECT_EQ(evicted, 1) << "one gave way";
    slow.clear();
    ASSERT_TRUE(wait_until([] { return http_connection_count() == 0; }, 5s));

    ShortLimits limits(30000, 30000, 60000, 300);
    RawHttpClient half(port(), "127.0.0.6");
    half.send_text("GET /echo HTTP/1.1\r\nHost: 127.0.0.1\r\n");
    EXPECT_TRUE(half.closed_by_peer(5s)) << "still open long after the head time";
    // A head that is complete in time is answered, and its body still has
    // the request time.
    RawHttpClient whole(port(), "127.0.0.6");
    whole.send_text("POST /echo HTTP/1.1\r\nContent-Length: 3\r\n\r\n");
    std::this_thread::sleep_for(400ms);
    whole.send_text("abc");
    auto posted = whole.read_answer(5s);
    ASSERT_TRUE(posted);
    EXPECT_EQ(posted->body, "4 /echo abc");
}

// A body that never completes ends the connection at the same deadline,
// without dispatching half a request.
TEST_F(HttpServer, IncompleteBodyIsNotDispatched)
{
    ShortLimits limits(300);
    RawHttpClient client(port());
    client.send_text("POST /echo HTTP/1.1\r\nContent-Length: 10\r\n\r\nabc");
    EXPECT_EQ(client.read_until_close(5s), "");
}

// An idle keep-alive connection closes its idle time after the last answer.
TEST_F(HttpServer, IdleKeepAliveConnectionsClose)
{
    ShortLimits limits(30000, 300);
    RawHttpClient client(port());
    client.send_text("GET /echo HTTP/1.1\r\n\r\n");
    ASSERT_TRUE(client.read_answer());
    EXPECT_TRUE(client.closed_by_peer(5s));
}

// Streams forever in 64 KiB pieces, as a media stream of any length would.
int endless_stream_handler(HttpConnection* c)
{
    static const std::string piece(64 * 1024, 's');
    c->content_type = "audio/mpeg";
    c->content_length = -1;
    c->close_after = 1;
    if (http_send_header(c, 200) != 0) {
        return HTTP_CLOSE;
    }
    while (http_send_body(c, piece.data(), piece.size()) == 0) {
    }
    return HTTP_CLOSE;
}

// A stop of the server ends running streams within a second, whether the
// client reads them or has stopped reading.
TEST_F(HttpServer, StopEndsStreamsOfAnyLength)
{
    http_register_handler(endless_stream_handler, HTTP_GET, "/stream");
    RawHttpClient reading(port());
    RawHttpClient stalled(port());
    reading.send_text("GET /stream HTTP/1.1\r\n\r\n");
    stalled.send_text("GET /stream HTTP/1.1\r\n\r\n");
    ASSERT_TRUE(reading.read_answer(5s, true));
    ASSERT_TRUE(stalled.read_answer(5s, true));
    std::atomic<bool> done{false};
    std::thread drain([&] {
        char buf[65536];
        while (!done && recv(reading.fd, buf, sizeof buf, 0) > 0) {
        }
        done = true;
    });
    std::this_thread::sleep_for(300ms);
    ASSERT_FALSE(done) << "the stream runs";
    ASSERT_EQ(http_connection_count(), 2);

    const auto stop = std::chrono::steady_clock::now();
    thread_request_stop(listener.g_HTTP_thread_running);
    shutdown(listener.socket, SHUT_RDWR);
    EXPECT_TRUE(wait_until([] { return http_connection_count() == 0; }, 5s));
    EXPECT_LT(std::chrono::steady_clock::now() - stop, 1500ms);
    drain.join();
    EXPECT_TRUE(done);
}

} // namespace
