// The process itself: start-up order, the idle main thread, the termination
// sequence with its bounded waits, and the restart requested by the
// configuration pages.
#pragma once

#include <string>

// What the subsystems contribute to start-up and shutdown. The composition
// root of each program fills these in; a hook left null is skipped.
struct ServiceHooks {
    // Looks up the IPv4 address of the network device named by "dev".
    void (*lookup_device)(const std::string& device) = nullptr;
    // Registers every URL handler and the SSDP search handler, once.
    void (*register_handlers)() = nullptr;
    // Starts the services in their fixed order (also used by the restart).
    void (*start_services)() = nullptr;
    // Stops the network server; called with g_upnp_server_thread_running -1,
    // it sets the flag to 0 at its end.
    void (*stop_network)() = nullptr;
    // Frees the media tree.
    void (*destroy_tree)() = nullptr;
};

// The entry point's whole work: banner, settings, daemon mode, handlers,
// services, then idle until SIGINT, SIGTERM or SIGABRT. Never returns.
[[noreturn]] void process_main(int argc, char** argv, const ServiceHooks& hooks);

// Installs the hooks that the stop, start and restart sequences call
// (process_main does this itself).
void process_set_hooks(const ServiceHooks& hooks);

// The termination sequence, run once per process: prints
// "terminating....signal=%d", stops every service, frees the settings, closes
// the log and exits with status 0. A second call returns at once.
void terminate(int signal_number);

// Asks every worker to stop, waits a bounded time, reports the stragglers and
// frees the media tree.
void services_stop_all();

// Restarts the services on a thread of its own: stop, re-read the settings
// file (not the command line), start again. The process stays.
void server_restart();

// Path of the pid file written in daemon mode.
inline constexpr const char* kPidFilePath = "/var/run/plenwick.pid";
