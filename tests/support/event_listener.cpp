#include "event_listener.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

std::string ReceivedEvent::header(const std::string& name) const
{
    size_t at = 0;
    while ((at = head.find("\r\n", at)) != std::string::npos) {
        at += 2;
        if (strncasecmp(head.c_str() + at, (name + ":").c_str(), name.size() + 1) == 0) {
            size_t value = at + name.size() + 1;
            while (value < head.size() && head[value] == ' ') {
                ++value;
            }
            return head.substr(value, head.find("\r\n", value) - value);
        }
    }
    return "";
}

EventListener::EventListener(const char* bind_address) : address(bind_address)
{
    fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    inet_pton(AF_INET, bind_address, &sa.sin_addr);
    bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    listen(fd, 16);
    socklen_t len = sizeof sa;
    getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
    port = ntohs(sa.sin_port);
    thread = std::thread([this] { serve(); });
}

EventListener::~EventListener()
{
    {
        std::lock_guard guard(lock);
        stopping = true;
    }
    shutdown(fd, SHUT_RDWR);
    thread.join();
    close(fd);
}

std::string EventListener::callback(const std::string& path) const
{
    return "<http://" + address + ":" + std::to_string(port) + path + ">";
}

std::optional<ReceivedEvent> EventListener::event(size_t n, std::chrono::milliseconds timeout)
{
    std::unique_lock guard(lock);
    if (!arrived.wait_for(guard, timeout, [&] { return events.size() > n; })) {
        return std::nullopt;
    }
    return events[n];
}

size_t EventListener::count()
{
    std::lock_guard guard(lock);
    return events.size();
}

void EventListener::serve()
{
    for (;;) {
        const int c = accept(fd, nullptr, nullptr);
        if (c < 0) {
            return;
        }
        std::string data;
        char buf[4096];
        ReceivedEvent ev;
        bool complete = false;
        while (!complete) {
            pollfd in{c, POLLIN, 0};
            if (poll(&in, 1, 3000) <= 0) {
                break;
            }
            const ssize_t got = recv(c, buf, sizeof buf, 0);
            if (got <= 0) {
                break;
            }
            data.append(buf, static_cast<size_t>(got));
            const size_t end = data.find("\r\n\r\n");
            if (end == std::string::npos) {
                continue;
            }
            ev.head = data.substr(0, end + 2);
            const std::string length = ev.header("CONTENT-LENGTH");
            const size_t want = length.empty() ? 0 : std::stoul(length);
            if (data.size() >= end + 4 + want) {
                ev.body = data.substr(end + 4, want);
                complete = true;
            }
        }
        if (complete) {
            const char ok[] = "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n";
            send(c, ok, sizeof ok - 1, MSG_NOSIGNAL);
            std::lock_guard guard(lock);
            events.push_back(ev);
            arrived.notify_all();
        }
        close(c);
        std::lock_guard guard(lock);
        if (stopping) {
            return;
        }
    }
}
