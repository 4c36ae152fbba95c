// The FTP reply reader on arbitrary bytes, through the program's own path:
// the input is what a server sent before closing its control connection,
// read reply after reply with ftp_command as the client reads it. Every
// reply stays within its buffer, zero-terminated, and every read takes
// something from the socket, so that the loop ends.
#include "delivery/ftp_client.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // Small enough for the socket buffer: the whole input is written before
    // the reader starts.
    if (size > 32 * 1024) {
        return 0;
    }
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) {
        return 0;
    }
    if (size > 0 && send(fds[1], data, size, MSG_NOSIGNAL) != static_cast<ssize_t>(size)) {
        close(fds[0]);
        close(fds[1]);
        return 0;
    }
    shutdown(fds[1], SHUT_WR);
    char buffer[kFtpReplySize + 1];
    buffer[kFtpReplySize] = 'G'; // a guard past the buffer's end
    for (size_t replies = 0; replies <= size; ++replies) {
        const int code = ftp_command(fds[0], nullptr, buffer, kFtpReplySize);
        if (buffer[kFtpReplySize] != 'G' || strnlen(buffer, kFtpReplySize) == kFtpReplySize) {
            abort();
        }
        if (code == 0) {
            break;
        }
        if (code < 100 || code > 599) {
            abort();
        }
    }
    close(fds[0]);
    close(fds[1]);
    return 0;
}
