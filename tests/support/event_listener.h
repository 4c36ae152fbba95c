// A subscriber's callback server for tests: listens on 127.0.0.1, answers
// every NOTIFY with 200 and keeps what it received.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

struct ReceivedEvent {
    std::string head; // request line and headers
    std::string body;
    std::string header(const std::string& name) const; // value, or ""
};

struct EventListener {
    // bind_address may be another loopback address.
    explicit EventListener(const char* bind_address = "127.0.0.1");
    ~EventListener();
    EventListener(const EventListener&) = delete;
    EventListener& operator=(const EventListener&) = delete;

    int port = 0;
    // The callback header value for path.
    std::string callback(const std::string& path = "/evt") const;

    // The n-th event (from 0), waiting up to timeout for it.
    std::optional<ReceivedEvent> event(size_t n, std::chrono::milliseconds timeout);
    size_t count();

private:
    void serve();
    int fd = -1;
    std::string address;
    bool stopping = false;
    std::mutex lock;
    std::condition_variable arrived;
    std::vector<ReceivedEvent> events;
    std::thread thread;
};
