#include "http/http_read.h"

#include <chrono>
#include <cstring>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace
{

struct Pair {
    Pair()
    {
        socketpair(AF_UNIX, SOCK_STREAM, 0, fds);
        reader.socket = fds[0];
    }
    ~Pair()
    {
        close(fds[0]);
        if (fds[1] >= 0) {
            close(fds[1]);
        }
    }
    void write_text(const std::string& text)
    {
        ASSERT_EQ(write(fds[1], text.data(), text.size()), static_cast<ssize_t>(text.size()));
    }
    void close_writer()
    {
        close(fds[1]);
        fds[1] = -1;
    }
    int fds[2];
    HttpReader reader;
};

TEST(HttpReadHead, StopsAfterBlankLineAndKeepsTheRest)
{
    Pair p;
    p.write_text("GET /a HTTP/1.1\r\nHost: x\r\n\r\nGET /b HTTP/1.1\r\n\r\n");
    char head[1024];
    HeadResult r = http_read_head(p.reader, head, sizeof head);
    EXPECT_EQ(r.status, HeadStatus::Complete);
    EXPECT_STREQ(head, "GET /a HTTP/1.1\r\nHost: x\r\n\r\n");
    r = http_read_head(p.reader, head, sizeof head);
    EXPECT_EQ(r.status, HeadStatus::Complete);
    EXPECT_STREQ(head, "GET /b HTTP/1.1\r\n\r\n");
    p.close_writer();
    EXPECT_EQ(http_read_head(p.reader, head, sizeof head).status, HeadStatus::Closed);
}

TEST(HttpReadHead, LongHeadIsCutToBufferAndBareLfIsNotAnEnd)
{
    Pair p;
    p.write_text("GET / HTTP/1.1\n\n" + std::string(1100, 'h'));
    char head[1024];
    HeadResult r = http_read_head(p.reader, head, sizeof head);
    EXPECT_EQ(r.status, HeadStatus::Cut);
    EXPECT_EQ(r.length, 1023u);
    EXPECT_EQ(strlen(head), 1023u);
}

TEST(HttpReadBody, ContentLengthChunkedAndLimits)
{
    {
        Pair p;
        p.write_text("hello worldNEXT");
        BodyResult b =
            http_read_body(p.reader, "POST / HTTP/1.1\r\nContent-Length: 11\r\n\r\n", 1 << 20);
        EXPECT_EQ(b.status, BodyStatus::Received);
        EXPECT_EQ(strbuf_view(b.body), "hello world");
        char rest[5] = {};
        EXPECT_EQ(http_reader_recv(p.reader, rest, 4), 4);
        EXPECT_STREQ(rest, "NEXT");
    }
    {
        Pair p;
        p.write_text("abc");
        BodyResult b =
            http_read_body(p.reader, "POST / HTTP/1.1\r\ncontent-length:3\r\n\r\n", 1 << 20);
        EXPECT_EQ(strbuf_view(b.body), "abc") << "the blank after the colon is optional";
    }
    {
        Pair p;
        p.write_text("4\r\nWiki\r\n5;ext=1\r\npedia\r\n0\r\nTrailer: x\r\n\r\nGET");
        BodyResult b = http_read_body(
            p.reader, "POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n", 1 << 20);
        EXPECT_EQ(strbuf_view(b.body), "Wikipedia");
        char rest[4] = {};
        EXPECT_EQ(http_reader_recv(p.reader, rest, 3), 3);
        EXPECT_STREQ(rest, "GET") << "the trailer belongs to the body";
    }
    {
        Pair p;
        BodyResult b = http_read_body(
            p.reader, "POST / HTTP/1.1\r\nContent-Length: 4294967296\r\n\r\n", 1 << 20);
        EXPECT_EQ(b.status, BodyStatus::TooLarge);
    }
    {
        Pair p;
        p.write_text("FFFFFFFF\r\n");
        BodyResult b = http_read_body(
            p.reader, "POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n", 1 << 20);
        EXPECT_EQ(b.status, BodyStatus::TooLarge);
    }
    {
        Pair p;
        p.write_text(std::string(3000, 'z'));
        p.close_writer();
        BodyResult b =
            http_read_body(p.reader, "NOTIFY / HTTP/1.1\r\nConnection: close\r\n\r\n", 1 << 20);
        EXPECT_EQ(b.body.length, 3000);
        Pair q;
        q.write_text(std::string(3000, 'z'));
        q.close_writer();
        EXPECT_EQ(
            http_read_body(q.reader, "NOTIFY / HTTP/1.1\r\nConnection: close\r\n\r\n", 2000).status,
            BodyStatus::TooLarge);
    }
    {
        Pair p;
        EXPECT_EQ(http_read_body(p.reader, "POST / HTTP/1.1\r\n\r\n", 1 << 20).status,
                  BodyStatus::None);
        BodyResult empty = http_read_body(
            p.reader, "POST / HTTP/1.1\r\nContent-Length: 0\r\nConnection: close\r\n\r\n", 1 << 20);
        EXPECT_EQ(empty.status, BodyStatus::Received);
        EXPECT_EQ(empty.body.length, 0) << "an explicit empty body does not wait for the close";
    }
}

// The same request, delivered in two pieces split at every byte, reads the
// same.
TEST(HttpReadHead, SplitAtEveryByte)
{
    const std::string request =
        "POST /ContentDirectory/Control HTTP/1.1\r\nHost: x\r\n"
        "Transfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n2\r\nde\r\n0\r\n\r\n";
    for (size_t split = 1; split < request.size(); ++split) {
        Pair p;
        p.write_text(request.substr(0, split));
        std::thread late([&] {
            std::this_thread::sleep_for(std::chrono::microseconds(200));
            p.write_text(request.substr(split));
        });
        char head[1024];
        HeadResult r = http_read_head(p.reader, head, sizeof head);
        BodyResult b = http_read_body(p.reader, head, 1 << 20);
        late.join();
        ASSERT_EQ(r.status, HeadStatus::Complete) << split;
        ASSERT_EQ(strbuf_view(b.body), "abcde") << split;
    }
}

TEST(HttpReadHead, TruncatedInputNeverCompletes)
{
    const std::string request = "GET / HTTP/1.1\r\nHost: x\r\n\r\n";
    for (size_t cut = 0; cut < request.size(); ++cut) {
        Pair p;
        p.write_text(request.substr(0, cut));
        p.close_writer();
        char head[1024];
        HeadResult r = http_read_head(p.reader, head, sizeof head);
        EXPECT_EQ(r.status, HeadStatus::Closed) << cut;
        EXPECT_EQ(r.length, cut);
    }
}

} // namespace
