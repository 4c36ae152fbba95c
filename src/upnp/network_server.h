// The network server as a whole: per server address an HTTP listener with its
// accept thread and the SSDP threads, started and stopped together under
// g_upnp_server_thread_running.
#pragma once

#include <string>

// Starts listeners on every server address; does nothing when already running.
void network_server_start();

// Called with g_upnp_server_thread_running -1: asks every accept and SSDP
// thread to stop, closes their sockets, waits a bounded time and sets the
// flag to 0.
void network_server_stop();

// Eventing lives and dies with the network server: start runs before the
// first listener opens, stop once every socket is shut down.
struct NetworkEventingHooks {
    void (*start)() = nullptr;
    void (*stop)() = nullptr;
};
void network_server_set_eventing_hooks(const NetworkEventingHooks& hooks);

// Looks up the address of the network device named by "dev".
void network_lookup_device(const std::string& device);
