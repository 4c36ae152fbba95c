// A one-connection server on loopback that records the request and sends a
// scripted answer; with hold it then keeps the connection open until the
// client goes.
#pragma once

#include <string>
#include <thread>

struct ScriptedServer {
    explicit ScriptedServer(std::string answer, bool hold = false);
    ~ScriptedServer();
    ScriptedServer(const ScriptedServer&) = delete;
    ScriptedServer& operator=(const ScriptedServer&) = delete;

    std::string url(const std::string& path = "/") const;

    int listener = -1;
    int port = 0;
    std::string request; // read only after the client is done
    std::thread worker;
};
