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
    bool is_time;
};

TEST(HttpRange, ByteAndTimeRanges)
{
    const RangeRow rows[] = {
        {"GET / HTTP/1.1\r\nRange: bytes=500-100\r\n\r\n", 500, 500, false},
        {"GET / HTTP/1.1\r\nRange: bytes=100-\r\n\r\n", 100, -1, false},
        {"GET / HTTP/1.1\r\nrange: bytes=0-499,600-700\r\n\r\n", 0, 499, false},
        {"GET / HTTP/1.1\r\nTimeSeekRange.dlna.org: npt=0:01:30-\r\n\r\n", 90000, -1, true},
        {"GET / HTTP/1.1\r\nTimeSeekRange.dlna.org: npt=125-\r\n\r\n", 125000, -1, true},
        {"GET / HTTP/1.1\r\nTimeSeekRange.dlna.org: npt=10.5-1:00:00.05\r\n\r\n", 10500, 3600050,
         true},
        {"GET / HTTP/1.1\r\nX-Seek-Range: npt=10.500-20\r\n\r\n", 10500, 20000, true},
        {"GET / HTTP/1.1\r\nHost: a\r\n\r\n", -1, -1, false},
        {"GET / HTTP/1.1\r\nRange: bytes=100\r\nX-Other: a-1\r\n\r\n", 100, -1, false},
    };
    for (const RangeRow& row : rows) {
        HttpRange r = http_parse_range(row.head);
        EXPECT_EQ(r.start, row.start) << row.head;
        EXPECT_EQ(r.end, row.end) << row.head;
        EXPECT_EQ(r.is_time, row.is_time) << row.head;
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
