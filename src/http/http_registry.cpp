#include "http/http_registry.h"

#include "core/log.h"

#include <array>
#include <cstring>
#include <string>

namespace
{

struct UrlHandlerEntry {
    HttpHandler handler = nullptr;
    int method_mask = 0;
    std::string prefix;
};

// Never destroyed: connection threads may still dispatch while the process
// exits.
auto& g_url_handlers = *new std::array<UrlHandlerEntry, kMaxUrlHandlers>;
int g_url_handler_count = 0;

std::array<SsdpHandler, kMaxSsdpHandlers> g_ssdp_handlers{};
int g_ssdp_handler_count = 0;

} // namespace

void http_register_handler(HttpHandler handler, int method_mask, const char* prefix)
{
    const char* shown = prefix ? prefix : "";
    if (g_url_handler_count >= kMaxUrlHandlers) {
        log_msg(LOG_CRITICAL, LOG_CAT_HTTP, "too many callback handlers registered %s\n", shown);
        return;
    }
    if (!handler) {
        log_msg(LOG_ERROR, LOG_CAT_HTTP, "Missing handler function for URL %s\n", shown);
        return;
    }
    UrlHandlerEntry& entry = g_url_handlers[g_url_handler_count];
    entry.handler = handler;
    entry.method_mask = method_mask;
    entry.prefix = shown;
    if (entry.prefix.size() > static_cast<size_t>(kMaxUrlPrefix)) {
        log_msg(LOG_ERROR, LOG_CAT_HTTP, "URL to long for registration %s\n", shown);
        entry.prefix.resize(kMaxUrlPrefix);
    }
    log_msg(LOG_INFO, LOG_CAT_HTTP, "registered a handler for %s %d\n", shown, method_mask);
    ++g_url_handler_count;
}

int http_dispatch(HttpConnection* connection)
{
    const char* target = connection->url.data();
    for (int i = 0; i < g_url_handler_count; ++i) {
        const UrlHandlerEntry& entry = g_url_handlers[i];
        if ((connection->method & entry.method_mask) != connection->method) {
            continue;
        }
        if (strncmp(target, entry.prefix.c_str(), entry.prefix.size()) != 0) {
            continue;
        }
        return entry.handler(connection);
    }
    return kHttpNoHandler;
}

void ssdp_register_handler(SsdpHandler handler, const char* name)
{
    const char* shown = name ? name : "";
    if (g_ssdp_handler_count >= kMaxSsdpHandlers) {
        log_msg(LOG_CRITICAL, LOG_CAT_SSDP, "too many callback handlers registered %s\n", shown);
        return;
    }
    if (!handler) {
        log_msg(LOG_ERROR, LOG_CAT_SSDP, "missing handler function for\n");
        return;
    }
    g_ssdp_handlers[g_ssdp_handler_count++] = handler;
    log_msg(LOG_INFO, LOG_CAT_SSDP, "registered handler %s\n", shown);
}

void ssdp_dispatch(const char* datagram, SsdpInterface* interface, const sockaddr_in* sender)
{
    for (int i = 0; i < g_ssdp_handler_count; ++i) {
        g_ssdp_handlers[i](datagram, interface, sender);
    }
}

void http_registry_clear()
{
    g_url_handlers = {};
    g_url_handler_count = 0;
    g_ssdp_handlers = {};
    g_ssdp_handler_count = 0;
}
