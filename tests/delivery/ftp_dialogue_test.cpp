#include "delivery/ftp_client.h"

#include <gtest/gtest.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace
{

struct SocketPair {
    SocketPair()
    {
        socketpair(AF_UNIX, SOCK_STREAM, 0, fd);
    }
    ~SocketPair()
    {
        close(fd[0]);
        close(fd[1]);
    }
    void server_says(const std::string& text) const
    {
        ASSERT_EQ(write(fd[1], text.data(), text.size()), static_cast<ssize_t>(text.size()));
    }
    int fd[2] = {-1, -1};
};

// Servers send the "150" of a transfer and its "226" in one segment when the
// file is small; the second reply must not be lost with the first one's
// buffer, or the dialogue waits for it until its time runs out.
TEST(FtpDialogue, ReplyThatArrivedWithThePreviousOneIsRead)
{
    SocketPair pair;
    char reply[kFtpReplySize];
    pair.server_says("150 Opening data connection.\r\n226 Transfer complete.\r\n");
    EXPECT_EQ(ftp_command(pair.fd[0], nullptr, reply, sizeof reply), 150);
    EXPECT_STREQ(reply, "150 Opening data connection.\r\n");
    EXPECT_EQ(ftp_command(pair.fd[0], nullptr, reply, sizeof reply), 226);
    EXPECT_STREQ(reply, "226 Transfer complete.\r\n");

    // Part of the next reply, and then its rest.
    pair.server_says("227 Entering passive mode (127,0,0,1,4,1).\r\n150-Here\r\n1");
    EXPECT_EQ(ftp_command(pair.fd[0], nullptr, reply, sizeof reply), 227);
    EXPECT_STREQ(reply, "227 Entering passive mode (127,0,0,1,4,1).\r\n");
    pair.server_says("50 it comes\r\n");
    EXPECT_EQ(ftp_command(pair.fd[0], nullptr, reply, sizeof reply), 150);
    EXPECT_STREQ(reply, "150-Here\r\n150 it comes\r\n");
}

} // namespace
