#include "services.h"

#include "upnp/network_server.h"

namespace
{

// URL handlers are matched in registration order, so this order is part of
// the wire behaviour: description and control URLs first, then the event
// subscription handlers that match every URL, then the media URLs.
void register_handlers()
{
}

// Services start in a fixed order: the configured client addresses, the empty
// media tree, the network server, the persistence reader and writer, the
// radio, iTunes and iPod readers, the directory scanner (which waits for the
// persistence reader), eventing, and the external database hook.
void start_services()
{
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
    return hooks;
}
