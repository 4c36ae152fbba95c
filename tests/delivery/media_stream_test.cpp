// Sending media bodies: players that pause, server stops, and the play
// status as the bytes leave.
#include "delivery/media_stream.h"
#include "delivery/play_status.h"
#include "http/http_response.h"
#include "http/http_server.h"
#include "support/captured_connection.h"
#include "support/child_process.h"
#include "support/temp_dir.h"

#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <thread>
#include <unistd.h>

using namespace std::chrono_literals;

namespace
{

class MediaStream : public ::testing::Test
{
protected:
    void SetUp() override
    {
        play_status_clear();
        // An answer the client stops reading fails quickly, unless it is a
        // media stream.
        http_set_time_limits(HttpTimeLimits{30000, 30000, 200});
        snprintf(cap.c.client_ip.data(), cap.c.client_ip.size(), "10.0.0.9");
    }
    void TearDown() override
    {
        http_set_time_limits(HttpTimeLimits{});
        play_status_clear();
        if (fd >= 0) {
            close(fd);
        }
    }

    // A file of size bytes whose byte i is i mod 251; opened for the plan.
    StreamPlan plan_for(size_t size)
    {
        std::string data(size, '\0');
        for (size_t i = 0; i < size; ++i) {
            data[i] = static_cast<char>(i % 251);
        }
        const std::string path = dir.file("song.mp3");
        write_text_file(path, data);
        expected = data;
        fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        StreamPlan plan;
        plan.fd = fd;
        plan.length = static_cast<int64_t>(size);
        plan.file_size = plan.length;
        plan.object_id = 42;
        plan.chunk_size = 65536;
        return plan;
    }

    // Reads n bytes (or until the sender closes) from the client's end.
    std::string read_bytes(size_t n)
    {
        std::string got;
        char buf[65536];
        while (got.size() < n) {
            const ssize_t r = read(cap.fds[1], buf, std::min(sizeof buf, n - got.size()));
            if (r <= 0) {
                break;
            }
            got.append(buf, static_cast<size_t>(r));
        }
        return got;
    }

    TempDir dir;
    CapturedConnection cap{"/disk/42.mp3"};
    std::string expected;
    int fd = -1;
};

// A player that reads a little, pauses far longer than an answer may stall,
// and reads on, gets the whole body.
TEST_F(MediaStream, PausedPlayerKeepsItsStream)
{
    const StreamPlan plan = plan_for(3 << 20);
    std::atomic<int> result{-1};
    std::thread sender([&] {
        result = stream_file_body(&cap.c, plan);
        shutdown(cap.fds[0], SHUT_WR);
    });
    std::string got = read_bytes(100000);
    std::this_thread::sleep_for(1s); // five times the send limit
    EXPECT_EQ(result, -1) << "the stream ended while the player paused";
    got += read_bytes(expected.size());
    sender.join();
    EXPECT_EQ(result, 0);
    EXPECT_TRUE(got == expected) << got.size() << " of " << expected.size() << " bytes";
}

// A server stop ends a paused stream within a second.
TEST_F(MediaStream, StopEndsAPausedStream)
{
    ThreadFlag running{1};
    cap.c.stop_flag = &running;
    const StreamPlan plan = plan_for(3 << 20);
    std::atomic<bool> done{false};
    std::atomic<int> result{-1};
    std::thread sender([&] {
        result = stream_file_body(&cap.c, plan);
        done = true;
    });
    read_bytes(100000);
    std::this_thread::sleep_for(300ms);
    ASSERT_FALSE(done);
    const auto stop = std::chrono::steady_clock::now();
    running = -1;
    EXPECT_TRUE(wait_until([&] { return done.load(); }, 2s));
    EXPECT_LT(std::chrono::steady_clock::now() - stop, 1s);
    sender.join();
    EXPECT_EQ(result, 1);
}

// Other answers keep the short limit: a client that stops reading a page
// or a file that is no media stream is given up.
TEST_F(MediaStream, OtherAnswersStillFailAtTheSendLimit)
{
    const StreamPlan plan = plan_for(3 << 20);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(http_send_file(&cap.c, plan.fd, 0, plan.length), 1);
    EXPECT_EQ(http_send_body(&cap.c, expected.data(), expected.size()), 1);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
}

// The play status is the bytes actually sent after every kernel send, not
// after each bulk piece of several MiB.
TEST_F(MediaStream, PlayStatusFollowsEverySend)
{
    StreamPlan plan = plan_for(20 << 20);
    plan.status_base = -1; // no range asked for
    std::atomic<int> result{-1};
    std::thread sender([&] { result = stream_file_body(&cap.c, plan); });
    // The first send fills the socket and then waits for the reader.
    ASSERT_TRUE(wait_until([] { return !play_status_rows().empty(); }, 5s))
        << "nothing shown before the first piece is complete";
    int queued = -1;
    int before = -2;
    while (queued != before) {
        before = queued;
        std::this_thread::sleep_for(100ms);
        ioctl(cap.fds[1], FIONREAD, &queued);
    }
    auto rows = play_status_rows();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].object_id, 42);
    EXPECT_GT(queued, 0);
    EXPECT_EQ(rows[0].position, -1 + queued);

    EXPECT_EQ(read_bytes(expected.size()).size(), expected.size());
    sender.join();
    EXPECT_EQ(result, 0);
    EXPECT_EQ(play_status_rows()[0].position, static_cast<int64_t>(expected.size()) - 1);
}

} // namespace
