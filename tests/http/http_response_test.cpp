#include "core/log.h"
#include "http/http_response.h"
#include "support/captured_connection.h"
#include "support/temp_dir.h"

#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <regex>
#include <sys/socket.h>
#include <unistd.h>

namespace
{

// Answers to a request for /disk/12.mp3.
struct Captured : CapturedConnection {
    Captured() : CapturedConnection("/disk/12.mp3")
    {
    }
    // Everything sent so far, with the Date value replaced by "D".
    std::string sent()
    {
        return std::regex_replace(CapturedConnection::sent(), std::regex("Date: [^\r]*\r\n"),
                                  "Date: D\r\n");
    }
};

TEST(HttpHeader, OkAnswerHasFixedOrderAndNoBlankAfterServer)
{
    Captured cap;
    cap.c.content_type = "audio/mpeg";
    cap.c.content_length = 1234;
    http_add_header(&cap.c, "transferMode.dlna.org: Streaming\r\n");
    ASSERT_EQ(http_send_header(&cap.c, 200), 0);
    EXPECT_EQ(cap.sent(), "HTTP/1.1 200 OK\r\n"
                          "Content-Type: audio/mpeg\r\n"
                          "Content-Length: 1234\r\n"
                          "Date: D\r\n"
                          "Connection: keep-alive\r\n"
                          "transferMode.dlna.org: Streaming\r\n"
                          "EXT:\r\n"
                          "Server:Linux/2.x.x, UPnP/1.0, Corvalenso UPnP SDK/1.0\r\n"
                          "\r\n");
}

TEST(HttpHeader, PartialAnswerVariants)
{
    {
        Captured cap;
        cap.c.content_type = "audio/mpeg";
        cap.c.content_length = 100;
        cap.c.range_start = 500;
        cap.c.range_end = 599;
        cap.c.range_total = 1000;
        cap.c.close_after = 1;
        http_send_header(&cap.c, 206);
        EXPECT_EQ(cap.sent(), "HTTP/1.1 206 Partial Content\r\n"
                              "Content-Type: audio/mpeg\r\n"
                              "Content-Length: 100\r\n"
                              "Date: D\r\n"
                              "Connection: close\r\n"
                              "Content-Range: bytes 500-599/1000\r\n"
                              "EXT:\r\n"
                              "Server:Linux/2.x.x, UPnP/1.0, Corvalenso UPnP SDK/1.0\r\n\r\n");
    }
    {
        Captured cap;
        http_set_head(&cap.c, "GET / HTTP/1.1\r\nTimeSeekRange.dlna.org: npt=10-\r\n\r\n");
        cap.c.content_type = "audio/mpeg";
        cap.c.range_start = 0;
        cap.c.range_end = 0;
        cap.c.range_total = 1000;
        http_send_header(&cap.c, 206);
        const std::string sent = cap.sent();
        EXPECT_EQ(sent.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << sent;
        EXPECT_NE(sent.find("Content-Range: bytes 0-0/1000\r\n"), std::string::npos);
    }
    {
        Captured cap;
        cap.c.http_version = 10;
        cap.c.content_type = "audio/mpeg";
        cap.c.range_start = 10;
        cap.c.range_end = 19;
        cap.c.range_total = 1000;
        http_send_header(&cap.c, 206);
        // An HTTP/1.0 client takes a 200 for the whole file: it gets the
        // range as any other.
        const std::string sent = cap.sent();
        EXPECT_EQ(sent.rfind("HTTP/1.0 206 Partial Content\r\n", 0), 0u) << sent;
        EXPECT_NE(sent.find("Content-Range: bytes 10-19/1000\r\n"), std::string::npos) << sent;
    }
}

TEST(HttpHeader, ErrorStatusesAreHtmlExceptSoapFault)
{
    const std::pair<int, const char*> rows[] = {
        {404, "404 Not Found"},
        {406, "406 Not Acceptable"},
        {412, "412 Precondition Failed"},
        {416, "416 Requested Range Not Satisfiable"},
        {500, "500 Internal Server Error"},
    };
    for (const auto& [status, reason] : rows) {
        Captured cap;
        cap.c.content_type = "image/jpeg";
        http_send_header(&cap.c, status);
        const std::string sent = cap.sent();
        EXPECT_EQ(sent.rfind(std::string("HTTP/1.1 ") + reason +
                                 "\r\nContent-Type: text/html; charset=UTF-8\r\n",
                             0),
                  0u)
            << status;
    }
    Captured fault;
    fault.c.content_type = kMimeXml;
    http_send_header(&fault.c, 500);
    EXPECT_NE(fault.sent().find("Content-Type: text/xml; charset=\"UTF-8\"\r\n"),
              std::string::npos);

    Captured other;
    other.c.content_type = "audio/mpeg";
    http_send_header(&other.c, 302);
    EXPECT_EQ(other.sent().rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << "every other status is 200";
}

TEST(HttpHeader, MissingMimeIsLoggedAndNegativeLengthOmitted)
{
    TempDir dir;
    Captured cap;
    cap.c.content_length = -1;
    cap.c.body = "<x/>";
    log_open_file(dir.file("log.txt").c_str());
    http_send_header(&cap.c, 200);
    log_close();
    const std::string sent = cap.sent();
    EXPECT_NE(sent.find("Content-Type: application/octet-stream\r\n"), std::string::npos);
    EXPECT_EQ(sent.find("Content-Length"), std::string::npos);
    EXPECT_NE(read_text_file(dir.file("log.txt"))
                  .find("[ERROR]HTTP:NO MIME TYPE given!\n/disk/12.mp3\n<x/>\n"),
              std::string::npos);
}

TEST(HttpHeader, ExtraHeadersStayWithinTheirBuffer)
{
    HttpConnection c;
    const std::string line = "X-Pad: " + std::string(520, 'p') + "\r\n";
    http_add_header(&c, line.c_str());
    http_add_header(&c, line.c_str()); // would pass 1023 characters: dropped whole
    http_add_no_cache(&c);
    EXPECT_EQ(std::string(c.extra_headers.data()), line + "Expires: 0\r\nPragma: no-cache\r\n");
}

TEST(HttpAnswers, HeadRequestsGetHeadersWithoutBody)
{
    Captured get;
    get.c.content_type = "text/xml; charset=\"UTF-8\"";
    get.c.content_length = 4;
    http_send_response(&get.c, "<a/>");
    const std::string with_body = get.sent();
    EXPECT_EQ(with_body.substr(with_body.size() - 8), "\r\n\r\n<a/>");

    Captured head;
    head.c.method = HTTP_HEAD;
    head.c.content_type = "text/xml; charset=\"UTF-8\"";
    head.c.content_length = 4;
    http_send_response(&head.c, "<a/>");
    const std::string sent = head.sent();
    EXPECT_NE(sent.find("Content-Length: 4\r\n"), std::string::npos);
    EXPECT_EQ(sent.substr(sent.size() - 4), "\r\n\r\n");
}

TEST(HttpAnswers, NotFoundPageOnlyForNonHead)
{
    const std::string page =
        "<HTML><HEAD><TITLE>404 Not Found</TITLE></HEAD><BODY><H1>Not Found</H1>"
        "/disk/12.mp3 was not found on this server.</BODY></HTML>";
    Captured get;
    get.c.content_type = "image/jpeg";
    http_send_404(&get.c);
    std::string sent = get.sent();
    EXPECT_NE(sent.find("Content-Type: text/html; charset=UTF-8\r\nContent-Length: " +
                        std::to_string(page.size()) + "\r\n"),
              std::string::npos);
    EXPECT_EQ(sent.substr(sent.size() - page.size()), page);

    Captured head;
    head.c.method = HTTP_HEAD;
    http_send_404(&head.c);
    sent = head.sent();
    EXPECT_EQ(sent.rfind("HTTP/1.1 404 Not Found\r\n", 0), 0u);
    EXPECT_EQ(sent.substr(sent.size() - 4), "\r\n\r\n") << "a HEAD answer never carries a body";
}

TEST(HttpAnswers, EmptyAnswerHasZeroLength)
{
    Captured cap;
    cap.c.content_type = "text/html; charset=UTF-8";
    cap.c.content_length = 99;
    http_send_empty(&cap.c, 200);
    EXPECT_NE(cap.sent().find("Content-Length: 0\r\n"), std::string::npos);
}

} // namespace

namespace
{

TEST(HttpHeader, UnsatisfiableRangeNamesTheLength)
{
    Captured cap;
    cap.c.content_type = "audio/mpeg";
    cap.c.range_total = 1000;
    http_send_empty(&cap.c, 416);
    const std::string sent = cap.sent();
    EXPECT_NE(sent.find("\r\nContent-Range: bytes */1000\r\n"), std::string::npos) << sent;
    EXPECT_NE(sent.find("\r\nContent-Length: 0\r\n"), std::string::npos);
}

TEST(HttpHeader, ResumedStreamAnswers206WhateverTheClientAsked)
{
    Captured cap;
    http_set_head(&cap.c, "GET / HTTP/1.1\r\nTimeSeekRange.dlna.org: npt=10-\r\n\r\n");
    cap.c.content_type = "audio/mpeg";
    cap.c.range_override = 5000;
    cap.c.range_start = 5000;
    cap.c.range_end = 5999;
    cap.c.range_total = 6000;
    http_send_header(&cap.c, 206);
    EXPECT_EQ(cap.sent().rfind("HTTP/1.1 206 Partial Content\r\n", 0), 0u);
}

// The zero-copy path sends exactly the asked part of the file, and a file
// that turns out shorter than promised fails the send instead of hanging.
TEST(HttpSendFile, SendsTheRangeAndFailsOnAShortFile)
{
    TempDir dir;
    const std::string path = dir.file("data");
    std::string data;
    for (int i = 0; i < 300000; ++i) {
        data += static_cast<char>('a' + i % 26);
    }
    write_text_file(path, data);
    const int fd = open(path.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    {
        CapturedConnection cap;
        const std::string sent = cap.run([&] { return http_send_file(&cap.c, fd, 1000, 280000); });
        EXPECT_EQ(cap.result, 0);
        EXPECT_TRUE(sent == data.substr(1000, 280000));
    }
    {
        CapturedConnection cap;
        cap.run([&] { return http_send_file(&cap.c, fd, 299990, 20); });
        EXPECT_EQ(cap.result, 1);
    }
    {
        // The client is gone: an error, not a signal.
        CapturedConnection cap;
        close(cap.fds[1]);
        cap.fds[1] = -1;
        EXPECT_EQ(http_send_file(&cap.c, fd, 0, 300000), 1);
    }
    close(fd);
}

} // namespace
