#include "upnp/network_server.h"

#include "core/log.h"
#include "core/settings.h"
#include "core/threads.h"
#include "http/http_server.h"
#include "upnp/interfaces.h"

#include <sys/socket.h>
#include <unistd.h>

namespace
{

int g_address_count = 0;

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
        if (g_http_listeners[i].g_HTTP_thread_running != 0) {
            return false;
        }
    }
    return true;
}

} // namespace

void network_lookup_device(const std::string& device)
{
    interfaces_set_device_address(interface_address_by_name(device));
}

void network_server_start()
{
    int expected = 0;
    if (!g_upnp_server_thread_running.compare_exchange_strong(expected, 1)) {
        return;
    }
    const std::vector<std::string> addresses = server_addresses();
    g_address_count = static_cast<int>(std::min<size_t>(addresses.size(), g_http_listeners.size()));
    for (int i = 0; i < g_address_count; ++i) {
        HttpListener& listener = g_http_listeners[i];
        http_listener_clear(listener);
        snprintf(listener.address.data(), listener.address.size(), "%s", addresses[i].c_str());
        listener.port = setting_int(KEY_HTTPPORT);
        if (!setting_str(KEY_NETGEARUPGRADE).empty()) {
            listener.port = kNetgearUpgradePort;
            log_msg(LOG_INFO, LOG_CAT_SYSTEM,
                    "Due to Netgear upgrade function set using fixed port 3640!\n");
        }
        http_listener_open(listener);
        log_msg(LOG_INFO, LOG_CAT_SYSTEM, "Server starting at %s:%d\n", listener.address.data(),
                listener.port);
        HttpListener* l = &listener;
        start_thread([l] { http_accept_loop(l); });
    }
}

void network_server_stop()
{
    if (g_upnp_server_thread_running == 0) {
        return;
    }
    for (int i = 0; i < g_address_count; ++i) {
        thread_request_stop(g_http_listeners[i].g_HTTP_thread_running);
    }
    for (int i = 0; i < g_address_count; ++i) {
        log_msg(LOG_INFO, LOG_CAT_SYSTEM, "Server stopping at %s\n",
                g_http_listeners[i].address.data());
        shut_down_listen_socket(g_http_listeners[i]);
    }
    for (int attempt = 0; attempt < 4 && !all_threads_stopped(); ++attempt) {
        sleep_ms(500);
    }
    for (int i = 0; i < g_address_count; ++i) {
        int flag = g_http_listeners[i].g_HTTP_thread_running;
        if (flag != 0) {
            log_msg(
                LOG_PROBLEM, LOG_CAT_SYSTEM,
                "NOT ALL REQUESTED THREADS HAVE TERMINATED!\ng_HTTP_thread_running (%d):   %d\n", i,
                flag);
        }
    }
    // A listener whose accept thread never ran still holds its socket.
    for (int i = 0; i < g_address_count; ++i) {
        if (g_http_listeners[i].g_HTTP_thread_running == 0) {
            http_listener_close(g_http_listeners[i]);
        }
    }
    log_msg(LOG_INFO, LOG_CAT_SYSTEM, "Server terminated\n");
    g_upnp_server_thread_running = 0;
}
