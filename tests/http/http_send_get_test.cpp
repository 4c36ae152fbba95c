#include "http/http_client.h"

#include <gtest/gtest.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace
{

// The request http_send_get writes for url, or "(refused)".
std::string request_for(const char* url, const char* extra = nullptr, bool http10 = false)
{
    int fds[2];
    socketpair(AF_UNIX, SOCK_STREAM, 0, fds);
    const int refused = http_send_get(fds[0], url, extra, http10);
    shutdown(fds[0], SHUT_WR);
    std::string sent;
    char buf[4096];
    ssize_t n;
    while ((n = read(fds[1], buf, sizeof buf)) > 0) {
        sent.append(buf, static_cast<size_t>(n));
    }
    close(fds[0]);
    close(fds[1]);
    EXPECT_EQ(refused != 0, sent.empty()) << url;
    return refused ? "(refused)" : sent;
}

TEST(HttpSendGet, AddressesFromOtherServersStayOneRequest)
{
    EXPECT_EQ(request_for("http://127.0.0.1:8000/radio/my station.mp3",
                          "User-Agent: WinampMPEG/5.0\r\n", true),
              "GET /radio/my%20station.mp3 HTTP/1.0\r\nAccept: */*\r\nHost: 127.0.0.1:8000\r\n"
              "Connection: close\r\nUser-Agent: WinampMPEG/5.0\r\n\r\n");
    EXPECT_EQ(request_for("http://127.0.0.1/a\r\nX-Injected: 1"), "(refused)");
    EXPECT_EQ(request_for("http://127.0.0.1/a\nb"), "(refused)");
    EXPECT_EQ(request_for("http://127.0.0.1/a\x7f"), "(refused)");
    EXPECT_EQ(request_for("http://127.0.0.1\r\nX: 1/a"), "(refused)");
    EXPECT_EQ(request_for("http://127.0.0.1 evil/a"), "(refused)");
    EXPECT_EQ(request_for("https://127.0.0.1/a"), "(refused)");
    EXPECT_EQ(request_for(("http://127.0.0.1/" + std::string(3000, 'a')).c_str()), "(refused)")
        << "a request cut short would be another request";
}

} // namespace
