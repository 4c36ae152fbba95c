#include "delivery/delivery_fixture.h"
#include "delivery/http_relay.h"
#include "delivery/loopback_servers.h"
#include "delivery/relay_head.h"

#include <arpa/inet.h>
#include <chrono>
#include <optional>
#include <poll.h>

namespace
{

using namespace std::chrono_literals;

std::string type_of(const std::string& head, const std::string& url = "http://h/stream")
{
    return relay_media_type(relay_parse_head(head), url).value_or("(none)");
}

TEST(RelayHead, StatusLinesAndTheirTypes)
{
    const RelayHead icy =
        relay_parse_head("ICY 200 OK\r\nicy-name: X\r\ncontent-type: audio/aacp\r\n\r\n");
    EXPECT_TRUE(icy.icy);
    EXPECT_EQ(icy.status, 200);
    EXPECT_EQ(type_of("ICY 200 OK\r\nicy-name: X\r\ncontent-type: audio/aacp\r\n\r\n"),
              "audio/aacp");
    EXPECT_EQ(type_of("ICY 200 OK\r\nicy-br: 128\r\n\r\n"), "audio/mpeg");
    EXPECT_EQ(type_of("ICY 200 OK\nContent-Type: text/html\n\n"), "audio/mpeg");

    EXPECT_EQ(type_of("HTTP/1.0 200 OK\r\nContent-Type: Audio/MPEG; charset=x\r\n"
                      "Content-Length: 5000\r\n\r\n"),
              "audio/mpeg");
    EXPECT_EQ(relay_parse_head("HTTP/1.0 200 OK\r\nContent-Length: 5000\r\n\r\n").content_length,
              5000);
    EXPECT_EQ(type_of("HTTP/1.1 200 OK\r\nContent-Type: audio/aacp\r\n\r\n"), "audio/aacp");
    EXPECT_EQ(type_of("HTTP/1.1 200 OK\r\nContent-Type: image/jpeg\r\n\r\n"), "image/jpeg");
    EXPECT_EQ(type_of("HTTP/1.1 200 OK\r\nContent-Type: video/x-ms-wvx\r\n\r\n"), "video/x-ms-wvx");
    EXPECT_EQ(type_of("HTTP/1.1 200 OK\r\nContent-Type: audio/x-scpls\r\n\r\n"), "(none)");
    EXPECT_EQ(type_of("HTTP/1.1 200 OK\r\nContent-Type: audio/x-mpegurl\r\n\r\n", "http://h/a.mp3"),
              "(none)")
        << "a playlist type wins over the address";
    EXPECT_EQ(type_of("HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n\r\n"), "(none)");
    EXPECT_EQ(type_of("HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\n\r\n",
                      "http://h/music/song.mp3?session=1"),
              "audio/mpeg");
    EXPECT_EQ(type_of("HTTP/1.1 200 OK\r\n\r\n", "http://h/song.mp3"), "audio/mpeg");
    EXPECT_EQ(type_of("HTTP/1.1 200 OK\r\n\r\n", "http://h/list.pls"), "(none)");
    EXPECT_EQ(type_of("HTTP/1.1 200 OK\r\nContent-Type: audio/mpeg\r\nTransfer-Encoding: "
                      "chunked\r\n\r\n"),
              "(none)");
    EXPECT_EQ(type_of("HTTP/1.1 404 Not Found\r\nContent-Type: audio/mpeg\r\n\r\n"), "(none)");
    EXPECT_EQ(type_of("garbage\r\nContent-Type: audio/mpeg\r\n\r\n"), "(none)");
    // A head every other reader of heads would refuse is no answer at all.
    for (const char* ambiguous :
         {"Content-Length: 5\r\nContent-Length: 9\r\n",
          "Content-Length: 5\r\nTransfer-Encoding: chunked\r\n", "Transfer-Encoding: gzip\r\n",
          "Location: /a\r\nLocation: /b\r\n",
          "Content-Type: audio/mpeg\r\nContent-Type: text/html\r\n", " folded: x\r\n"}) {
        const std::string head = std::string("HTTP/1.1 200 OK\r\n") + ambiguous + "\r\n";
        EXPECT_EQ(relay_parse_head(head).status, 0) << ambiguous;
    }

    const RelayHead moved = relay_parse_head("HTTP/1.1 302 Found\r\nLocation:  /next \r\n\r\n");
    EXPECT_TRUE(relay_is_redirect(moved));
    EXPECT_EQ(moved.location, "/next");
    EXPECT_EQ(type_of("HTTP/1.1 302 Found\r\nContent-Type: audio/mpeg\r\n\r\n"), "(none)");
}

TEST(RelayHead, LocationsResolveToHttpAddresses)
{
    const std::string from = "http://a.test:8000/dir/list.pls?x=/y";
    const auto at = [&](const char* location) {
        return relay_resolve_location(from, location).value_or("(none)");
    };
    EXPECT_EQ(at("http://b.test/s"), "http://b.test/s");
    EXPECT_EQ(at("HTTP://b.test/s"), "http://b.test/s");
    EXPECT_EQ(at("//c.test/s"), "http://c.test/s");
    EXPECT_EQ(at("/top/s.mp3"), "http://a.test:8000/top/s.mp3");
    EXPECT_EQ(at("s.mp3"), "http://a.test:8000/dir/s.mp3");
    EXPECT_EQ(relay_resolve_location("http://a.test", "s").value_or("(none)"), "http://a.test/s");
    EXPECT_EQ(at("https://b.test/s"), "(none)");
    EXPECT_EQ(at("ftp://b.test/s"), "(none)");
    EXPECT_EQ(at("http://b.test/s\r\nX-Injected: 1"), "(none)");
    EXPECT_EQ(at("/s\tt"), "(none)");
    EXPECT_EQ(at(""), "(none)");
    EXPECT_EQ(at(std::string(kRelayUrlLimit + 1, 'a').c_str()), "(none)");
}

TEST(RelayHead, CandidatesFromPlaylistBodies)
{
    const std::string pls = "[playlist]\r\nNumberOfEntries=2\r\nFile1=http://a.test:8000/one\r\n"
                            "Title1=One\r\nFile2=http://b.test/two.mp3\r\nLength1=-1\r\n";
    EXPECT_EQ(relay_candidates(pls, 8),
              (std::vector<std::string>{"http://a.test:8000/one", "http://b.test/two.mp3"}));
    EXPECT_EQ(relay_candidates(pls, 1), (std::vector<std::string>{"http://a.test:8000/one"}));
    EXPECT_EQ(relay_candidates("#EXTM3U\n#EXTINF:-1,X\nhttp://m.test/live\nhttp://\n", 8),
              (std::vector<std::string>{"http://m.test/live"}));
    EXPECT_EQ(relay_candidates("<asx><entry><ref href=\"http://x.test/a\"/></entry>"
                               "<track><location>http://y.test/b</location></track></asx>",
                               8),
              (std::vector<std::string>{"http://x.test/a", "http://y.test/b"}));
    const std::string overlong = "http://z.test/" + std::string(kRelayUrlLimit, 'z');
    EXPECT_EQ(relay_candidates(overlong + "\nhttp://ok.test/\n", 8),
              (std::vector<std::string>{"http://ok.test/"}));
    EXPECT_TRUE(relay_candidates("https://only.test/ ftp://no.test/", 8).empty());
}

// What the relay sent for url, played as the user's own entry unless trust
// says otherwise, and the handler's result.
Answer relay(const std::string& url, int* result = nullptr,
             const std::optional<RelayTrust>& trust = std::nullopt)
{
    CapturedConnection cc("/");
    const RelayTrust given = trust.value_or(relay_trust_of_entry(url.c_str()));
    const Answer a = split_answer(cc.run([&] { return http_relay(&cc.c, url.c_str(), given); }));
    if (result) {
        *result = cc.result;
    }
    return a;
}

TEST(HttpRelay, RedirectionsAndPlaylistsLeadToTheMedia)
{
    const std::string body(5000, 'm');
    const int dead_port = loopback_free_port();
    FakeOrigin origin([&](int s, const std::string& path) {
        if (path == "/moved") {
            send_text(s, "HTTP/1.1 302 Found\r\nLocation: list.pls\r\n\r\n");
        } else if (path == "/list.pls") {
            send_text(s, "HTTP/1.1 200 OK\r\nContent-Type: audio/x-scpls\r\n\r\n[playlist]\n"
                         "File1=http://127.0.0.1:" +
                             std::to_string(dead_port) + "/dead\nFile2=http://127.0.0.1:" +
                             std::to_string(origin.port) + "/song\n");
        } else if (path == "/song") {
            send_text(
                s, "HTTP/1.0 200 OK\r\nContent-Type: audio/mpeg\r\nContent-Length: 5000\r\n\r\n" +
                       body + "trailing bytes are not relayed");
        }
    });
    int result = 0;
    const Answer a = relay(origin.url("/moved"), &result);
    EXPECT_EQ(a.status, 200);
    EXPECT_TRUE(has_line(a, "Content-Type: audio/mpeg"));
    EXPECT_TRUE(has_line(a, "Content-Length: 5000"));
    EXPECT_TRUE(has_line(a, "Connection: close"));
    EXPECT_EQ(a.body, body);
    EXPECT_EQ(result, HTTP_CLOSE);

    CapturedConnection head("/");
    head.c.method = HTTP_HEAD;
    const std::string song = origin.url("/song");
    const Answer h = split_answer(head.run(
        [&] { return http_relay(&head.c, song.c_str(), relay_trust_of_entry(song.c_str())); }));
    EXPECT_EQ(h.status, 200);
    EXPECT_TRUE(has_line(h, "Content-Length: 5000"));
    EXPECT_EQ(h.body, "");
}

TEST(HttpRelay, RefusesAddressesTheUserDidNotName)
{
    struct Row {
        const char* address;
        int port;
        bool followed; // reached by a redirection, a playlist body or a listed station
        const char* trusted;
        bool refused;
    };
    const Row rows[] = {
        {"203.0.113.7", 8000, true, "", false},
        {"100.64.0.1", 8000, true, "", false},
        {"127.0.0.2", 8000, false, "", true},
        {"127.0.0.2", 8000, true, "127.0.0.1", true},
        {"127.0.0.2", 8000, true, "127.0.0.2", false},
        {"192.168.1.1", 80, true, "", true},
        {"10.0.0.1", 8000, false, "10.0.0.1", false},
        {"169.254.169.254", 80, true, "", true},
        {"0.0.0.0", 8000, true, "", true},
        {"203.0.113.7", 22, true, "", true},
        {"127.0.0.1", 25, true, "127.0.0.1", true},
        {"203.0.113.7", 22, false, "", false},
        {"203.0.113.7", 80, true, "", false},
        {"203.0.113.7", 443, true, "", false},
        {"203.0.113.7", 1023, true, "", true},
        {"203.0.113.7", 1024, true, "", false},
    };
    for (const Row& row : rows) {
        const auto address_of = [](const char* text, int port) {
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_port = htons(static_cast<uint16_t>(port));
            inet_pton(AF_INET, text, &a.sin_addr);
            return a;
        };
        std::vector<sockaddr_in> trusted;
        if (*row.trusted) {
            trusted.push_back(address_of(row.trusted, 0));
        }
        const std::optional<std::string> why =
            relay_refusal(address_of(row.address, row.port), row.followed, trusted);
        EXPECT_EQ(why.has_value(), row.refused)
            << row.address << ":" << row.port << " followed " << row.followed << " trusting "
            << row.trusted << ": " << why.value_or("allowed");
    }
}

// A second loopback address stands for a device of the home network. A
// station may lead there only when the user's own entry names that host.
TEST(HttpRelay, InternalHostsAreReachedOnlyThroughTheUsersOwnEntry)
{
    FakeOrigin internal(
        [&](int s, const std::string& path) {
            if (path == "/moved") {
                send_text(s, "HTTP/1.1 302 Found\r\nLocation: " + internal.url("/admin/x.mp3") +
                                 "\r\n\r\n");
                return;
            }
            send_text(s, "HTTP/1.0 200 OK\r\nContent-Type: audio/mpeg\r\nContent-Length: "
                         "6\r\n\r\nsecret");
        },
        "127.0.0.2");
    ASSERT_GE(internal.listener, 0);
    const std::string port = std::to_string(internal.port);
    FakeOrigin station([&](int s, const std::string& path) {
        if (path == "/door") {
            send_text(s, "HTTP/1.1 302 Found\r\nLocation: " + internal.url("/admin/x.mp3") +
                             "\r\n\r\n");
            return;
        }
        // The same host in every spelling the resolver reads.
        std::string page = "HTTP/1.0 200 OK\r\nContent-Type: text/html\r\n\r\n<html>";
        for (const char* host : {"127.0.0.2", "127.2", "2130706434", "0x7f.0.0.2"}) {
            page += "<a href=\"http://" + std::string(host) + ":" + port + "/admin/x.mp3\">x</a>";
        }
        send_text(s, page + "</html>");
    });
    const RelayTrust public_list;
    const RelayTrust configured_list{"127.0.0.1", false};

    EXPECT_EQ(relay(station.url("/door"), nullptr, public_list).status, 404);
    EXPECT_EQ(station.connections, 0) << "a station of the public list on loopback";
    EXPECT_EQ(relay(station.url("/door"), nullptr, configured_list).status, 404);
    EXPECT_EQ(relay(station.url("/page.html"), nullptr, configured_list).status, 404);
    EXPECT_EQ(relay(station.url("/door")).status, 404) << "the user's entry names 127.0.0.1";
    EXPECT_EQ(station.connections, 3);
    EXPECT_EQ(internal.connections, 0);

    const Answer own = relay(internal.url("/moved"));
    EXPECT_EQ(own.status, 200);
    EXPECT_EQ(own.body, "secret");
    EXPECT_EQ(internal.connections, 2);
}

TEST(HttpRelay, AddressesThatNameEachOtherEnd)
{
    FakeOrigin origin([&](int s, const std::string& path) {
        const std::string other = origin.url(path == "/a" ? "/b" : "/a");
        if (path == "/a" || path == "/b") {
            send_text(s, "HTTP/1.1 302 Found\r\nLocation: " + other + "\r\n\r\n");
            return;
        }
        // A playlist naming itself, the loop and fresh addresses of its own.
        const int n = std::stoi(path.substr(2));
        std::string list = "[playlist]\n";
        for (int i = 1; i <= 9; ++i) {
            list += "File" + std::to_string(i) + "=" +
                    origin.url("/p" + std::to_string(n * 10 + i)) + "\n";
        }
        send_text(s, "HTTP/1.1 200 OK\r\nContent-Type: audio/x-scpls\r\n\r\n" + list +
                         "File10=" + origin.url("/a") + "\n");
    });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(relay(origin.url("/a")).status, 404);
    EXPECT_EQ(origin.connections, 2);
    EXPECT_EQ(relay(origin.url("/p1")).status, 404);
    EXPECT_LE(origin.connections, 2 + kRelayMaxAttempts);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
}

TEST(HttpRelay, AFailureAfterTheHeadClosesInsteadOfASecondHead)
{
    FakeOrigin origin([](int s, const std::string& path) {
        if (path == "/short") {
            send_text(
                s, "HTTP/1.0 200 OK\r\nContent-Type: audio/mpeg\r\nContent-Length: 5000\r\n\r\n" +
                       std::string(100, 's'));
        } else {
            // A head that never ends.
            send_text(s, "HTTP/1.0 200 OK\r\nContent-Type: audio/mpeg\r\nX-Pad: ");
            const std::string pad(4096, 'p');
            for (int i = 0; i < 64 && send(s, pad.data(), pad.size(), MSG_NOSIGNAL) > 0; ++i) {
            }
        }
    });
    int result = 0;
    const Answer a = relay(origin.url("/short"), &result);
    EXPECT_EQ(a.status, 200);
    EXPECT_EQ(a.body, std::string(100, 's')) << "no second head in the body";
    EXPECT_EQ(result, HTTP_CLOSE);

    EXPECT_EQ(relay(origin.url("/endless")).status, 404);
}

TEST(HttpRelay, AClientHangUpEndsTheSourceAtOnce)
{
    std::atomic<bool> source_ended{false};
    FakeOrigin origin([&](int s, const std::string&) {
        send_text(s, "ICY 200 OK\r\nicy-name: Endless\r\n\r\n");
        const std::string block(1024, 'r');
        for (int i = 0; i < 3000; ++i) {
            if (send(s, block.data(), block.size(), MSG_NOSIGNAL) < 0) {
                break;
            }
            pollfd p{s, POLLIN, 0};
            char ch;
            if (poll(&p, 1, 10) == 1 && recv(s, &ch, 1, MSG_DONTWAIT) <= 0) {
                break;
            }
        }
        source_ended = true;
    });
    CapturedConnection cc("/");
    int result = -1;
    const std::string live = origin.url("/live");
    std::thread player(
        [&] { result = http_relay(&cc.c, live.c_str(), relay_trust_of_entry(live.c_str())); });
    std::string got;
    char buf[4096];
    while (got.size() < 8192) {
        const ssize_t n = read(cc.fds[1], buf, sizeof buf);
        if (n <= 0) {
            break;
        }
        got.append(buf, static_cast<size_t>(n));
    }
    EXPECT_EQ(split_answer(got).status, 200);
    EXPECT_NE(got.find("Content-Type: audio/mpeg\r\n"), std::string::npos);
    shutdown(cc.fds[1], SHUT_RDWR);
    const auto hung_up = std::chrono::steady_clock::now();
    player.join();
    EXPECT_EQ(result, HTTP_CLOSE);
    while (!source_ended && std::chrono::steady_clock::now() - hung_up < 5s) {
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_TRUE(source_ended);
    EXPECT_LT(std::chrono::steady_clock::now() - hung_up, 2s);
}

} // namespace
