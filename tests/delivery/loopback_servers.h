// Small remote sources on loopback for the relay tests: an HTTP origin whose
// answers a function writes, one connection after the other, and an FTP
// server that answers commands from a script and serves one file over a
// passive data connection.
#pragma once

#include "support/loopback.h"

#include <arpa/inet.h>
#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

inline void send_text(int s, const std::string& text)
{
    send(s, text.data(), text.size(), MSG_NOSIGNAL);
}

// Reads up to and including the next "\r\n" (or to the end): the line
// without it; false when the peer closed first.
inline bool recv_line(int s, std::string& line)
{
    line.clear();
    char ch;
    while (recv(s, &ch, 1, 0) == 1) {
        if (ch == '\n') {
            if (!line.empty() && line.back() == '\r') {
                line.pop_back();
            }
            return true;
        }
        line += ch;
    }
    return false;
}

struct FakeOrigin {
    // respond(socket, path) writes the answer to the path of the request
    // line; the connection is closed after it returns.
    // host: the loopback address it listens on.
    explicit FakeOrigin(std::function<void(int, const std::string&)> respond,
                        std::string host_address = "127.0.0.1")
        : host(std::move(host_address))
    {
        listener = loopback_listener(port, 8, host.c_str());
        worker = std::thread([this, respond] {
            for (;;) {
                const int s = accept(listener, nullptr, nullptr);
                if (s < 0) {
                    return;
                }
                ++connections;
                std::string line;
                std::string request_line;
                while (recv_line(s, line) && !line.empty()) {
                    if (request_line.empty()) {
                        request_line = line;
                    }
                }
                const size_t from = request_line.find(' ') + 1;
                respond(s, request_line.substr(from, request_line.rfind(' ') - from));
                close(s);
            }
        });
    }
    ~FakeOrigin()
    {
        shutdown(listener, SHUT_RDWR);
        close(listener);
        worker.join();
    }
    FakeOrigin(const FakeOrigin&) = delete;
    FakeOrigin& operator=(const FakeOrigin&) = delete;

    std::string url(const std::string& path) const
    {
        return "http://" + host + ":" + std::to_string(port) + path;
    }

    std::string host;
    int listener = -1;
    int port = 0;
    std::atomic<int> connections{0};
    std::thread worker;
};

struct FakeFtp {
    // replies: the reply to each command verb ("USER", "SIZE", ...); PASV
    // opens the data listener and RETR sends file on it, between a 150
    // and a 226, unless replies names RETR.
    FakeFtp(std::string greeting, std::map<std::string, std::string> replies, std::string file)
    {
        listener = loopback_listener(port);
        worker = std::thread([this, greeting, replies, file] {
            const int s = accept(listener, nullptr, nullptr);
            if (s < 0) {
                return;
            }
            send_text(s, greeting);
            int data_listener = -1;
            std::thread writer;
            std::string line;
            while (recv_line(s, line)) {
                {
                    std::lock_guard guard(lock);
                    commands.push_back(line);
                }
                const std::string verb = line.substr(0, line.find(' '));
                if (const auto r = replies.find(verb); r != replies.end()) {
                    send_text(s, r->second);
                } else if (verb == "PASV") {
                    int data_port = 0;
                    data_listener = loopback_listener(data_port);
                    // An address other than the control connection's:
                    // the client must connect to its peer regardless.
                    send_text(s, "227 Entering Passive Mode (10,9,8,7," +
                                     std::to_string(data_port / 256) + "," +
                                     std::to_string(data_port % 256) + ").\r\n");
                } else if (verb == "RETR" && data_listener >= 0) {
                    const int d = accept(data_listener, nullptr, nullptr);
                    // The final reply goes out while the data is still on
                    // its way, as a server's does once its kernel took it.
                    writer = std::thread([d, &file] {
                        send_text(d, file);
                        close(d);
                    });
                    send_text(s, "150 Opening BINARY mode data connection.\r\n"
                                 "226 Transfer complete.\r\n");
                } else if (verb == "QUIT") {
                    send_text(s, "221 Goodbye.\r\n");
                    break;
                } else {
                    send_text(s, "200 OK.\r\n");
                }
            }
            if (writer.joinable()) {
                writer.join();
            }
            if (data_listener >= 0) {
                close(data_listener);
            }
            close(s);
        });
    }
    ~FakeFtp()
    {
        shutdown(listener, SHUT_RDWR);
        close(listener);
        worker.join();
    }
    FakeFtp(const FakeFtp&) = delete;
    FakeFtp& operator=(const FakeFtp&) = delete;

    std::vector<std::string> received()
    {
        std::lock_guard guard(lock);
        return commands;
    }

    int listener = -1;
    int port = 0;
    std::mutex lock;
    std::vector<std::string> commands;
    std::thread worker;
};
