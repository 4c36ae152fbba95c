// The real server program started for a test on 127.0.0.1, in a directory
// of the test's own, with internet radio off.
#pragma once

#include "child_process.h"
#include "temp_dir.h"

#include <memory>
#include <string>
#include <vector>

struct ServerUnderTest {
    // Starts program with "-ip 127.0.0.1 -radio 0 -v 9" and the extra
    // arguments, and waits until it listens (port() > 0 then).
    explicit ServerUnderTest(const std::string& program, std::vector<std::string> extra = {});

    int port() const
    {
        return http_port;
    }
    // Whether the log tells, within 20 s, that the scan of dir is complete
    // (with the DB category in "-v").
    bool scan_completed(const std::string& content_dir);

    // Sends SIGTERM and returns the exit status (nothing when it hangs).
    std::optional<int> stop();

    TempDir dir;
    std::unique_ptr<ChildProcess> process;
    int http_port = 0;
};
