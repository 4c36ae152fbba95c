#include "http/http_connection.h"
#include "http/http_range.h"

#include <cstring>
#include <gtest/gtest.h>
#include <memory>

namespace
{

struct RangeRow {
    const char* head;
    int64_t start;
    int64_t end;
    RangeSource source;
};

TEST(HttpRange, ByteAndTimeRanges)
{
    const RangeRow rows[] = {
        {"GET / HTTP/1.1\r\nRange: bytes=500-100\r\n\r\n", 500, 500, RangeSource::Bytes},
        {"GET / HTTP/1.1\r\nRange: bytes=100-\r\n\r\n", 100, -1, RangeSource::Bytes},
        {"GET / HTTP/1.1\r\nrange: bytes=0-499,600-700\r\n\r\n", 0, 499, RangeSource::Bytes},
        {"GET / HTTP/1.1\r\nTimeSeekRange.dlna.org: npt=0:01:30-\r\n\r\n", 90000, -1,
         RangeSource::TimeSeek},
        {"GET / HTTP/1.1\r\nTimeSeekRange.dlna.org: npt=125-\r\n\r\n", 125000, -1,
         RangeSource::TimeSeek},
        {"GET / HTTP/1.1\r\nTimeSeekRange.dlna.org: npt=10.5-1:00:00.05\r\n\r\n", 10500, 3600050,
         RangeSource::TimeSeek},
        {"GET / HTTP/1.1\r\nX-Seek-Range: npt=10.500-20\r\n\r\n", 10500, 20000,
         RangeSource::SeekRange},
        // Bytes win over a play time, whichever comes first.
        {"GET / HTTP/1.1\r\nTimeSeekRange.dlna.org: npt=10-\r\nRange: bytes=7-8\r\n\r\n", 7, 8,
         RangeSource::Bytes},
        {"GET / HTTP/1.1\r\nX-Seek-Range: npt=10-\r\nTimeSeekRange.dlna.org: npt=20-\r\n\r\n",
         20000, -1, RangeSource::TimeSeek},
        {"GET / HTTP/1.1\r\nHost: a\r\n\r\n", -1, -1, RangeSource::None},
        {"GET / HTTP/1.1\r\nRange: bytes=100\r\nX-Other: a-1\r\n\r\n", 100, -1, RangeSource::Bytes},
    };
    for (const RangeRow& row : rows) {
        HttpRange r = http_parse_range(row.head);
        EXPECT_EQ(r.start, row.start) << row.head;
        EXPECT_EQ(r.end, row.end) << row.head;
        EXPECT_EQ(r.source, row.source) << row.head;
    }
    EXPECT_EQ(http_parse_range(nullptr).start, -1);
}

TEST(HttpRange, PlayTimes)
{
    EXPECT_EQ(http_parse_play_time("10.05"), 10050);
    EXPECT_EQ(http_parse_play_time("1:02:03"), 3723000);
    EXPECT_EQ(http_parse_play_time(" 7 "), 7000);
    EXPECT_EQ(http_parse_play_time("2:30"), 7230000) << "the first field is always hours";
}

} // namespace

namespace
{

TEST(HttpRange, EveryPrefixIsParsedSafely)
{
    for (const std::string& head :
         {std::string("GET / HTTP/1.1\r\nRange: bytes=100-200\r\n\r\n"),
          std::string("GET / HTTP/1.1\r\nTimeSeekRange.dlna.org: npt=1:02:03.5-\r\n\r\n")}) {
        for (size_t n = 0; n <= head.size(); ++n) {
            std::unique_ptr<char[]> exact(new char[n + 1]);
            memcpy(exact.get(), head.data(), n);
            exact[n] = '\0';
            HttpRange r = http_parse_range(exact.get());
            EXPECT_TRUE(r.end == -1 || r.end >= r.start) << n;
        }
    }
}

} // namespace

namespace
{

TEST(HttpByteSpan, RangesAppliedToABody)
{
    struct Row {
        const char* header;
        bool partial;
        bool satisfiable;
        int64_t start, end, length;
    };
    const Row rows[] = {
        {"", false, true, 0, 999, 1000},
        {"Range: bytes=100-\r\n", true, true, 100, 999, 900},
        {"Range: bytes=0-5000\r\n", true, true, 0, 999, 1000},
        {"Range: bytes=500-100\r\n", true, true, 500, 500, 1},
        {"Range: bytes=-300\r\n", true, true, 700, 999, 300},
        {"Range: bytes=-5000\r\n", true, true, 0, 999, 1000},
        {"Range: bytes=-0\r\n", true, false, 0, 0, 0},
        {"Range: bytes=1000-\r\n", true, false, 1000, -1, 0},
        // Offsets beyond 64 bits saturate and are simply beyond the body.
        {"Range: bytes=99999999999999999999-\r\n", true, false, INT64_MAX, -1, 0},
        {"Range: bytes=0-99999999999999999999\r\n", true, true, 0, 999, 1000},
    };
    for (const Row& row : rows) {
        const std::string head = std::string("GET / HTTP/1.1\r\n") + row.header + "\r\n";
        const HttpByteSpan span = http_byte_span(http_parse_range(head.c_str()), 1000);
        EXPECT_EQ(span.partial, row.partial) << row.header;
        EXPECT_EQ(span.satisfiable, row.satisfiable) << row.header;
        EXPECT_EQ(span.start, row.start) << row.header;
        if (row.satisfiable) {
            EXPECT_EQ(span.end, row.end) << row.header;
        }
        EXPECT_EQ(span.length, row.length) << row.header;
    }
    EXPECT_FALSE(
        http_byte_span(http_parse_range("GET / HTTP/1.1\r\nRange: bytes=0-\r\n"), 0).satisfiable)
        << "an empty body has no bytes to give";
}

TEST(HttpByteSpan, PlayTimesBecomeBytesWithoutOverflow)
{
    // 100 s of 1 000 000 bytes: 10 bytes per millisecond.
    HttpRange seek = http_parse_range("GET / HTTP/1.1\r\nTimeSeekRange.dlna.org: npt=10-20\r\n");
    HttpRange bytes = http_time_range_to_bytes(seek, 1000000, 100000);
    EXPECT_FALSE(bytes.is_time());
    EXPECT_EQ(bytes.start, 100000);
    EXPECT_EQ(bytes.end, 200000);

    HttpRange huge;
    huge.source = RangeSource::TimeSeek;
    huge.start = INT64_MAX / 2;
    bytes = http_time_range_to_bytes(huge, INT64_MAX / 4, 2);
    EXPECT_EQ(bytes.start, INT64_MAX) << "the product saturates";
    EXPECT_EQ(http_time_range_to_bytes(seek, 1000, 0).start, seek.start)
        << "no duration: left as it is";
}

TEST(HttpByteSpan, AResumedStreamOverridesTheClientsRange)
{
    HttpConnection c;
    http_set_head(&c, "GET /continue/17_5000.mp3 HTTP/1.1\r\nRange: bytes=10-20\r\n\r\n");
    EXPECT_EQ(http_request_range(&c).start, 10);
    c.range_override = 5000;
    const HttpRange r = http_request_range(&c);
    EXPECT_EQ(r.start, 5000);
    EXPECT_EQ(r.end, -1);
    EXPECT_EQ(r.source, RangeSource::Resume);
}

} // namespace
