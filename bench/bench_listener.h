// The HTTP engine of this process listening on 127.0.0.1, for the
// benchmarks that measure it in-process.
#pragma once

#include "core/threads.h"
#include "http/http_server.h"

#include <cstring>

// Opens the first listener on loopback, starts its accept thread and returns
// once it accepts; the port is in the listener.
inline HttpListener& bench_start_listener()
{
    HttpListener& listener = g_http_listeners[0];
    http_listener_clear(listener);
    strcpy(listener.address.data(), "127.0.0.1");
    http_listener_open(listener);
    HttpListener* l = &listener;
    start_thread([l] { http_accept_loop(l); });
    while (listener.g_HTTP_thread_running != 1) {
        sleep_ms(10);
    }
    return listener;
}
