#include "upnp/network_server.h"

#include "core/log.h"
#include "core/settings.h"
#include "core/threads.h"
#include "http/http_server.h"
#include "upnp/interfaces.h"
#include "upnp/ssdp.h"

#include <sys/socket.h>
#include <unistd.h>

namespace
{

int g_address_count = 0;
// Set once at start-up, before any server runs.
NetworkEventingHooks g_eventing_hooks;

// Wakes the accept thread, which then closes the socket itself.
void shut_down_listen_socket(HttpListener& listener)
{
    int s = listener.socket;
    if (s > 0) {
        shutdown(s, SHUT_RDWR);
    }
}

bool all_threads_stopped()
{
    for (int i = 0; i < g_address_count; ++i) {
        if (g_http_listeners[i].g_HTTP_thread_running != 0 ||
            g_ssdp_interfaces[i].g_SSDP_listen_thread_running != 0 ||
            g_ssdp_interfaces[i].g_SSDP_heartbeat_thread_running != 0) {
            return false;
        }
    }
    return true;
}

void report_straggler(const char* name, int index, int flag)
{
    if (flag != 0) {
        log_msg(LOG_PROBLEM, LOG_CAT_SYSTEM,
                "NOT ALL REQUESTED THREADS HAVE TERMINATED!\n%s (%d):   %d\n", name, index, flag);
    }
}

} // namespace

void network_lookup_device(const std::string& device)
{
    interfaces_set_device_address(interface_address_by_name(device));
}

void network_server_set_eventing_hooks(const NetworkEventingHooks& hooks)
{
    g_eventing_hooks = hooks;
}

void network_server_start()
{
    int expected = 0;
    if (!g_upnp_server_thread_running.compare_exchange_strong(expected, 1)) {
        return;
    }
    if (g_eventing_hooks.start) {
        g_eventing_hooks.start();
    }
    const std::vector<std::string> addresses = server_addresses();
    g_address_count = static_cast<int>(std::min<size_t>(addresses.size(), g_http_listeners.size()));
    for (int i = 0; i < g_address_count; ++i) {
        HttpListener& listener = g_http_listeners[i];
        // A restart on a searched port takes the port of the run before when
        // it can: players keep the LOCATION they were given, and a lower port
        // that became free since would move the server away from them.
        const int before = addresses[i] == listener.address.data() ? listener.port : 0;
        http_listener_clear(listener);
        snprintf(listener.address.data(), listener.address.size(), "%s", addresses[i].c_str());
        listener.port = setting_int(KEY_HTTPPORT);
        if (!setting_str(KEY_NETGEARUPGRADE).empty()) {
            listener.port = kNetgearUpgradePort;
            log_msg(LOG_INFO, LOG_CAT_SYSTEM,
                    "Due to Netgear upgrade function set using fixed port 3640!\n");
        }
        http_listener_open(listener, before);
        log_msg(LOG_INFO, LOG_CAT_SYSTEM, "Server starting at %s:%d\n", listener.address.data(),
                listener.port);
        HttpListener* l = &listener;
        start_thread([l] { http_accept_loop(l); });

        SsdpInterface& ssdp = g_ssdp_interfaces[i];
        ssdp_interface_clear(ssdp, &listener);
        if (!ssdp_open_sockets(ssdp)) {
            log_msg(
                LOG_CRITICAL, LOG_CAT_SYSTEM,
                "Error while binding to SSDP multicast socket: %s\nCheck your IP settings: %s\n",
                system_error_text().c_str(), listener.address.data());
        }
        SsdpInterface* si = &ssdp;
        start_thread([si] { ssdp_listen_thread(si); });
        start_thread([si] { ssdp_heartbeat_thread(si); });
    }
}

void network_server_stop()
{
    if (g_upnp_server_thread_running == 0) {
        return;
    }
    for (int i = 0; i < g_address_count; ++i) {
        thread_request_stop(g_http_listeners[i].g_HTTP_thread_running);
        thread_request_stop(g_ssdp_interfaces[i].g_SSDP_listen_thread_running);
        thread_request_stop(g_ssdp_interfaces[i].g_SSDP_heartbeat_thread_running);
    }
    for (int i = 0; i < g_address_count; ++i) {
        log_msg(LOG_INFO, LOG_CAT_SYSTEM, "Server stopping at %s\n",
                g_http_listeners[i].address.data());
        shut_down_listen_socket(g_http_listeners[i]);
        ssdp_shutdown_sockets(g_ssdp_interfaces[i]);
    }
    if (g_eventing_hooks.stop) {
        g_eventing_hooks.stop();
    }
    // The heartbeats send their byebye messages while we wait.
    for (int attempt = 0; attempt < 4 && !all_threads_stopped(); ++attempt) {
        sleep_ms(500);
    }
    for (int i = 0; i < g_address_count; ++i) {
        const SsdpInterface& ssdp = g_ssdp_interfaces[i];
        report_straggler("g_HTTP_thread_running", i, g_http_listeners[i].g_HTTP_thread_running);
        report_straggler("g_SSDP_listen_thread_running", i, ssdp.g_SSDP_listen_thread_running);
        report_straggler("g_SSDP_heartbeat_thread_running", i,
                         ssdp.g_SSDP_heartbeat_thread_running);
    }
    // Sockets whose thread never ran are still open.
    for (int i = 0; i < g_address_count; ++i) {
        if (g_http_listeners[i].g_HTTP_thread_running == 0) {
            http_listener_close(g_http_listeners[i]);
        }
        if (g_ssdp_interfaces[i].g_SSDP_listen_thread_running == 0) {
            ssdp_close_sockets(g_ssdp_interfaces[i]);
        }
    }
    log_msg(LOG_INFO, LOG_CAT_SYSTEM, "Server terminated\n");
    g_upnp_server_thread_running = 0;
}
