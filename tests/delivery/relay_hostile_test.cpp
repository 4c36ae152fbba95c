// The relay facing sources that do not play fair: answer heads whose fields
// would break the head the client is sent, and playlists of addresses that
// never answer.
#include "delivery/http_relay.h"
#include "delivery/relay_head.h"
#include "support/captured_connection.h"
#include "support/loopback.h"

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <gtest/gtest.h>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace
{

// A source on a free loopback port: every request gets answer(path), and an
// empty answer means the connection is held open without a byte until the
// source ends.
class FakeSource
{
public:
    explicit FakeSource(std::string (*answer)(const std::string& path, int port)) : answer_(answer)
    {
        listener_ = loopback_listener(port_, 64);
        thread_ = std::thread([this] { serve(); });
    }
    ~FakeSource()
    {
        stop_ = true;
        thread_.join();
        for (const int s : held_) {
            close(s);
        }
        close(listener_);
    }
    FakeSource(const FakeSource&) = delete;
    FakeSource& operator=(const FakeSource&) = delete;

    std::string url(const std::string& path) const
    {
        return "http://127.0.0.1:" + std::to_string(port_) + path;
    }
    int requests() const
    {
        return requests_;
    }

private:
    void serve()
    {
        while (!stop_) {
            const int s = loopback_accept(listener_, 50);
            if (s < 0) {
                continue;
            }
            ++requests_;
            const std::string request = loopback_read_head(s);
            const size_t blank = request.find(' ');
            const std::string path =
                request.substr(blank + 1, request.find(' ', blank + 1) - blank - 1);
            const std::string text = answer_(path, port_);
            if (text.empty()) {
                held_.push_back(s);
                continue;
            }
            send(s, text.data(), text.size(), MSG_NOSIGNAL);
            close(s);
        }
    }

    std::string (*answer_)(const std::string&, int);
    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<int> requests_{0};
    std::vector<int> held_;
    std::thread thread_;
};

std::string head_of(const std::string& raw)
{
    return raw.substr(0, raw.find("\r\n\r\n") + 4);
}

// What the relay sends for url played as the user's own entry.
std::string relay_entry(const std::string& url, int search_ms = kRelaySearchMs)
{
    CapturedConnection cap("/httpproxy/1");
    return cap.run([&] {
        return http_relay(&cap.c, url.c_str(), relay_trust_of_entry(url.c_str()), search_ms);
    });
}

} // namespace

// The type goes into the client's head as it stands: a line break in it would
// split that head into lines the source chose, and a very long one would not
// fit the head at all, which then goes out without its blank line.
TEST(RelayHostileTest, TypeThatWouldBreakTheClientsHeadIsNoType)
{
    const std::string url = "http://radio.example/live";
    const std::string cases[] = {
        "audio/mpeg\rX-Injected: 1",       "audio/mpeg\x01", "audio/\"mpeg\"",
        "audio/" + std::string(3000, 'q'), "audio",          "/mpeg",
    };
    for (const std::string& type : cases) {
        const RelayHead http =
            relay_parse_head("HTTP/1.0 200 OK\r\nContent-Type: " + type + "\r\n\r\n");
        EXPECT_EQ(http.content_type, "") << type;
        EXPECT_FALSE(relay_media_type(http, url)) << type;
        // An ICY answer is MP3 unless it names another audio type plainly;
        // a bare CR makes the head itself one no reader of heads accepts.
        const RelayHead icy = relay_parse_head("ICY 200 OK\r\nContent-Type: " + type + "\r\n\r\n");
        const bool bare_cr = type.find('\r') != std::string::npos;
        EXPECT_EQ(relay_media_type(icy, url).value_or(""), bare_cr ? "" : "audio/mpeg") << type;
    }
    // Plain types, with parameters and in any case, are kept.
    const RelayHead ogg =
        relay_parse_head("HTTP/1.1 200 OK\r\ncontent-type: Application/OGG; x=1\r\n\r\n");
    EXPECT_EQ(relay_media_type(ogg, url).value_or(""), "application/ogg");
    const RelayHead aac = relay_parse_head("ICY 200 OK\r\nContent-Type: audio/aacp\r\n\r\n");
    EXPECT_EQ(relay_media_type(aac, url).value_or(""), "audio/aacp");
}

TEST(RelayHostileTest, ClientHeadStaysWellFormedWhateverTheSourceTypes)
{
    FakeSource source([](const std::string& path, int) -> std::string {
        if (path == "/cr") {
            return "HTTP/1.0 200 OK\r\nContent-Type: audio/mpeg\rX-Injected: 1\r\n\r\nbody";
        }
        return "ICY 200 OK\r\nContent-Type: audio/" + std::string(3000, 'q') + "\r\n\r\nbody";
    });
    {
        // No type and no extension: not media, so nothing is relayed.
        const std::string raw = relay_entry(source.url("/cr"));
        EXPECT_EQ(raw.find("X-Injected"), std::string::npos) << raw.substr(0, 200);
        EXPECT_EQ(raw.rfind("HTTP/1.1 404", 0), 0u) << raw.substr(0, 200);
    }
    {
        const std::string raw = relay_entry(source.url("/long"));
        EXPECT_NE(raw.find("\r\nContent-Type: audio/mpeg\r\n"), std::string::npos)
            << raw.substr(0, 200);
        EXPECT_EQ(raw.substr(head_of(raw).size()), "body") << raw.substr(0, 200);
    }
}

// Eight silent addresses in one playlist used to cost eight head time-outs
// in a row before the player heard of it; the whole search now shares one
// limit, after which the player gets its not-found answer.
TEST(RelayHostileTest, PlaylistOfSilentAddressesEndsWithinTheSearchLimit)
{
    FakeSource source([](const std::string& path, int port) -> std::string {
        if (path != "/list.pls") {
            return ""; // held open, silent
        }
        std::string body = "[playlist]\n";
        for (int i = 1; i <= 8; ++i) {
            body += "File" + std::to_string(i) + "=http://127.0.0.1:" + std::to_string(port) +
                    "/silent" + std::to_string(i) + "\n";
        }
        return "HTTP/1.0 200 OK\r\nContent-Type: audio/x-scpls\r\n\r\n" + body;
    });
    constexpr int kSearchMs = 1500;
    const auto start = std::chrono::steady_clock::now();
    const std::string raw = relay_entry(source.url("/list.pls"), kSearchMs);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(raw.rfind("HTTP/1.1 404", 0), 0u) << raw.substr(0, 200);
    EXPECT_LT(took, std::chrono::milliseconds(kSearchMs + 1000));
    // The first silent address was asked; the search did not go on past the
    // limit to ask all of them.
    EXPECT_GE(source.requests(), 2);
    EXPECT_LT(source.requests(), 9);
}
