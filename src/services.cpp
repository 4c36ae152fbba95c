#include "services.h"

#include "control/clients.h"
#include "db/media_db.h"
#include "http/http_connection.h"
#include "http/http_registry.h"
#include "http/http_server.h"
#include "upnp/description.h"
#include "upnp/network_server.h"
#include "upnp/ssdp.h"

namespace
{

// URL handlers are matched in registration order, so this order is part of
// the wire behaviour: description and control URLs first, then the event
// subscription handlers that match every URL, then the media URLs.
void register_handlers()
{
    constexpr int kGetHead = HTTP_GET | HTTP_HEAD;
    http_register_handler(serve_device_description, kGetHead, "/DeviceDescription.xml");
    http_register_handler(serve_connection_manager_scpd, kGetHead, "/ConnectionManager.xml");
    http_register_handler(serve_content_directory_scpd, kGetHead, "/ContentDirectory.xml");
    ssdp_register_search_handler();

    HttpClientHooks clients;
    clients.recognised = client_register;
    clients.must_close = client_is_dlink;
    http_set_client_hooks(clients);
}

// Services start in a fixed order: the configured client addresses, the empty
// media tree, the network server, the persistence reader and writer, the
// radio, iTunes and iPod readers, the directory scanner (which waits for the
// persistence reader), eventing, and the external database hook.
void start_services()
{
    client_register_configured();
    db_create();
    network_server_start();
}

} // namespace

ServiceHooks services_hooks()
{
    ServiceHooks hooks;
    hooks.lookup_device = network_lookup_device;
    hooks.register_handlers = register_handlers;
    hooks.start_services = start_services;
    hooks.stop_network = network_server_stop;
    hooks.destroy_tree = db_destroy;
    return hooks;
}
