#include "support/scripted_server.h"

#include "support/loopback.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

ScriptedServer::ScriptedServer(std::string answer, bool hold)
{
    listener = loopback_listener(port, 1);
    worker = std::thread([this, answer, hold] {
        int s = accept(listener, nullptr, nullptr);
        if (s < 0) {
            return;
        }
        char buf[4096];
        while (request.find("\r\n\r\n") == std::string::npos) {
            ssize_t n = recv(s, buf, sizeof buf, 0);
            if (n <= 0) {
                break;
            }
            request.append(buf, static_cast<size_t>(n));
        }
        send(s, answer.data(), answer.size(), MSG_NOSIGNAL);
        if (hold) {
            while (recv(s, buf, sizeof buf, 0) > 0) {
            }
        }
        close(s);
    });
}

ScriptedServer::~ScriptedServer()
{
    shutdown(listener, SHUT_RDWR);
    close(listener);
    worker.join();
}

std::string ScriptedServer::url(const std::string& path) const
{
    return "http://127.0.0.1:" + std::to_string(port) + path;
}
