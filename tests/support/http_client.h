// A raw HTTP client for tests: it sends exactly the bytes a test gives it and
// reads answers without interpreting more than needed, over loopback only.
#pragma once

#include <chrono>
#include <optional>
#include <string>

struct RawHttpAnswer {
    std::string head; // status line and headers, up to the blank line
    std::string body;
    int status = 0;
};

struct RawHttpClient {
    // Connects to 127.0.0.1:port; connected() tells whether it worked. A
    // source address elsewhere in 127.0.0.0/8 makes the client look like
    // another host to the server.
    explicit RawHttpClient(int port, const char* source_address = nullptr);
    ~RawHttpClient();
    RawHttpClient(const RawHttpClient&) = delete;
    RawHttpClient& operator=(const RawHttpClient&) = delete;

    bool connected() const
    {
        return fd >= 0;
    }
    bool send_text(const std::string& text);

    // Reads one answer: the head, then Content-Length bytes of body (none for
    // HEAD requests when head_only). Nothing when the connection closes or
    // times out first.
    std::optional<RawHttpAnswer>
    read_answer(std::chrono::milliseconds timeout = std::chrono::seconds(10),
                bool head_only = false);

    // Whether the server closed the connection within timeout with no
    // further bytes.
    bool closed_by_peer(std::chrono::milliseconds timeout = std::chrono::seconds(10));

    // Everything received until the peer closes or timeout passes.
    std::string read_until_close(std::chrono::milliseconds timeout = std::chrono::seconds(10));

    int fd = -1;
    std::string pending; // received, not yet consumed
};

// Sends one request on a new connection and returns the answer.
std::optional<RawHttpAnswer> http_exchange(int port, const std::string& request);

// The value of a header in an answer head (case-sensitive name), or nothing.
std::optional<std::string> header_value(const std::string& head, const std::string& name);
