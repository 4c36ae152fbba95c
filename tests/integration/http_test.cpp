// The HTTP engine of the real program, spoken to over loopback.
#include "support/http_client.h"
#include "support/server_process.h"

#include <arpa/inet.h>
#include <atomic>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace std::chrono_literals;

namespace
{

TEST(HttpServer, UnknownUrlAnswers500AndCloses)
{
    ServerUnderTest server(PLENWICK_BIN);
    ASSERT_GT(server.port(), 0) << server.process->out();
    RawHttpClient client(server.port());
    client.send_text("GET /nothing/here HTTP/1.1\r\nHost: x\r\n\r\n");
    auto answer = client.read_answer();
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->head.rfind("HTTP/1.1 500 Internal Server Error\r\n"
                                 "Content-Type: text/html; charset=UTF-8\r\n"
                                 "Content-Length: 0\r\n",
                                 0),
              0u)
        << answer->head;
    EXPECT_TRUE(client.closed_by_peer());
    EXPECT_EQ(server.stop(), 0);
}

TEST(HttpServer, Http10RequestIsAnsweredAndClosed)
{
    ServerUnderTest server(PLENWICK_BIN);
    RawHttpClient client(server.port());
    client.send_text("GET /x HTTP/1.0\r\n\r\n");
    auto answer = client.read_answer();
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->head.rfind("HTTP/1.0 500 ", 0), 0u);
    EXPECT_TRUE(client.closed_by_peer());
}

TEST(HttpServer, ContinueComesBeforeTheBody)
{
    ServerUnderTest server(PLENWICK_BIN);
    RawHttpClient client(server.port());
    client.send_text("POST /x HTTP/1.1\r\nExpect: 100-continue\r\nContent-Length: 3\r\n\r\n");
    auto interim = client.read_answer(5s);
    ASSERT_TRUE(interim);
    EXPECT_EQ(interim->head, "HTTP/1.1 100 Continue\r\nContent-Length: 0\r\n\r\n");
    client.send_text("abc");
    auto answer = client.read_answer();
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->status, 500);
}

TEST(HttpServer, OversizedHeadIsLoggedAndRefused)
{
    ServerUnderTest server(PLENWICK_BIN);
    RawHttpClient client(server.port());
    client.send_text("GET /x HTTP/1.1\r\nX-Filler: " + std::string(9000, 'f') + "\r\n\r\n");
    auto answer = client.read_answer();
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->status, 400);
    EXPECT_TRUE(wait_until(
        [&] {
            return server.process->err().find("[ERROR]HTTP:header buffer to small!\nGET /x") !=
                   std::string::npos;
        },
        5s))
        << server.process->err();
}

TEST(HttpServer, TakenPortIsSkippedAndRedirectFileNamesTheRealOne)
{
    // Hold the first port from 9000 that no other live server holds (other
    // tests run servers at the same time; a connection of an earlier test
    // lingering on a port must not stop us).
    int holder = socket(AF_INET, SOCK_STREAM, 0);
    int on = 1;
    setsockopt(holder, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    int held = 9000;
    for (; held < 9100; ++held) {
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<uint16_t>(held));
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (bind(holder, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
            break;
        }
    }
    ASSERT_EQ(listen(holder, 1), 0);

    ServerUnderTest server(PLENWICK_BIN);
    ASSERT_GT(server.port(), 0);
    EXPECT_NE(server.port(), held) << "a port with a live listener is skipped";
    const std::string base = "http://127.0.0.1:" + std::to_string(server.port()) + "/";
    EXPECT_EQ(read_text_file(server.dir.file("corvalenso-config.html")),
              "<html><head><META http-equiv=\"refresh\" content=\"0; URL=" + base +
                  "configpage/index.htm\">\n</head><body><a href=\"" + base +
                  "configpage/index.htm\">Corvalenso Plenwick configuration</a></body></html>\n");
    EXPECT_TRUE(server.process->out().find("HTTP:HTTP server started at " + base + "\n") !=
                std::string::npos);
    close(holder);
}

TEST(HttpServer, OversizedBodyIsRefused)
{
    ServerUnderTest server(PLENWICK_BIN);
    RawHttpClient client(server.port());
    client.send_text(
        "POST /ContentDirectory/Control HTTP/1.1\r\nContent-Length: 4294967296\r\n\r\n<s/>");
    EXPECT_EQ(client.read_until_close(5s), "");
    EXPECT_NE(server.process->err().find("too large"), std::string::npos);
}

// A client that connects and says nothing must not keep others waiting. (That
// it is dropped once its idle time is over is shown in the engine's own
// tests, with shortened limits.)
TEST(HttpServer, SilentClientDoesNotHoldUpOthers)
{
    ServerUnderTest server(PLENWICK_BIN);
    RawHttpClient silent(server.port());
    ASSERT_TRUE(silent.connected());
    auto other = http_exchange(server.port(), "GET /x HTTP/1.1\r\n\r\n");
    ASSERT_TRUE(other);
    EXPECT_EQ(other->status, 500);
    EXPECT_FALSE(silent.closed_by_peer(1s));
}

// A port the kernel hands out and takes back at once: free for the test.
int free_port()
{
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    socklen_t size = sizeof addr;
    getsockname(s, reinterpret_cast<sockaddr*>(&addr), &size);
    close(s);
    return ntohs(addr.sin_port);
}

// Connections the server closed linger in TIME_WAIT; a restart on the same
// fixed port must still get it, or players holding the old LOCATION lose it.
TEST(HttpServer, RestartOnAFixedPortGetsThePortBack)
{
    const std::string port = std::to_string(free_port());
    {
        ServerUnderTest first(PLENWICK_BIN, {"-httpport", port});
        ASSERT_EQ(std::to_string(first.port()), port) << first.process->out();
        for (int i = 0; i < 3; ++i) {
            RawHttpClient client(first.port());
            client.send_text("GET /DeviceDescription.xml HTTP/1.1\r\nConnection: close\r\n\r\n");
            ASSERT_TRUE(client.read_answer());
            EXPECT_TRUE(client.closed_by_peer());
        }
        EXPECT_EQ(first.stop(), 0);
    }
    ServerUnderTest second(PLENWICK_BIN, {"-httpport", port});
    EXPECT_EQ(std::to_string(second.port()), port) << second.process->out();
    auto answer = http_exchange(second.port(), "GET /DeviceDescription.xml HTTP/1.1\r\n\r\n");
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->status, 200);
    EXPECT_EQ(second.stop(), 0);
}

TEST(HttpServer, SigtermEndsTheProcessWhileConnectionsAreOpen)
{
    ServerUnderTest server(PLENWICK_BIN);
    RawHttpClient a(server.port());
    RawHttpClient b(server.port());
    ASSERT_TRUE(a.connected() && b.connected());
    b.send_text("GET /x HTTP/1.1\r\nHost: partial");
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(server.stop(), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 10s);
    const std::string out = server.process->out();
    EXPECT_NE(out.find("SYSTEM:Server stopping at 127.0.0.1\n"), std::string::npos) << out;
    EXPECT_NE(out.find("SYSTEM:Server terminated\n"), std::string::npos);
}

// Connection threads still serving while the process ends must find every
// shared table intact: the process ends without tearing down its globals.
// (The sanitizer build reports any use after free on standard error.)
TEST(HttpServer, SigtermWhileRequestsAreServedExitsCleanly)
{
    for (int round = 0; round < 3; ++round) {
        ServerUnderTest server(PLENWICK_BIN);
        ASSERT_GT(server.port(), 0);
        std::atomic<bool> stop{false};
        std::vector<std::thread> clients;
        for (int t = 0; t < 4; ++t) {
            clients.emplace_back([&] {
                while (!stop) {
                    RawHttpClient client(server.port());
                    client.send_text("GET /DeviceDescription.xml HTTP/1.1\r\n\r\n"
                                     "GET /nothing HTTP/1.1\r\n\r\n");
                    client.read_answer(2s);
                }
            });
        }
        std::this_thread::sleep_for(300ms);
        EXPECT_EQ(server.stop(), 0);
        stop = true;
        for (std::thread& t : clients) {
            t.join();
        }
        const std::string err = server.process->err();
        EXPECT_EQ(err.find("Sanitizer"), std::string::npos) << err;
        EXPECT_EQ(err.find("runtime error"), std::string::npos) << err;
    }
}

TEST(HttpServer, InvalidIpIsCritical)
{
    for (const char* ip : {"0.0.0.0", "not-an-address"}) {
        TempDir dir;
        ChildProcess server(PLENWICK_BIN, {"-ip", ip, "-radio", "0"}, dir.path);
        EXPECT_EQ(server.wait_exit(10s), 255) << ip;
        EXPECT_NE(server.out().find(std::string("!!! CRITICAL ERROR!!!\ninvalid IP address: ") +
                                    ip + "\n"),
                  std::string::npos)
            << server.out();
    }
}

TEST(HttpServer, NetgearUpgradeForcesPort3640)
{
    TempDir upgrade;
    ServerUnderTest server(PLENWICK_BIN,
                           {"-httpport", "9555", "-netgearupgrade", upgrade.path, "-v", "9"});
    if (server.port() == 0 && server.process->out().find("no free port") != std::string::npos) {
        GTEST_SKIP() << "port 3640 is taken on this machine";
    }
    EXPECT_EQ(server.port(), 3640) << server.process->out();
    EXPECT_NE(server.process->out().find(
                  "SYSTEM:Due to Netgear upgrade function set using fixed port 3640!\n"),
              std::string::npos);
    auto description = http_exchange(3640, "GET /DeviceDescription.xml HTTP/1.1\r\n\r\n");
    ASSERT_TRUE(description);
    EXPECT_NE(description->body.find("<UPC></UPC><D5UpgradeURI>NetgearUpgrade</D5UpgradeURI>"
                                     "<D5UpgradeURI2>http://127.0.0.1:3640/NetgearUpgrade"
                                     "</D5UpgradeURI2><presentationURL>"),
              std::string::npos);
}

} // namespace
