#include "services.h"

#include "control/client_probes.h"
#include "control/clients.h"
#include "control/soap.h"
#include "core/paths.h"
#include "db/media_db.h"
#include "db/persistence.h"
#include "delivery/albumart_handler.h"
#include "delivery/disk_handler.h"
#include "delivery/download_handler.h"
#include "delivery/http_relay.h"
#include "delivery/m3u_handler.h"
#include "delivery/rpc_handler.h"
#include "delivery/subtitle_handler.h"
#include "eventing/eventing_thread.h"
#include "eventing/subscriptions.h"
#include "http/http_client.h"
#include "http/http_connection.h"
#include "http/http_registry.h"
#include "http/http_server.h"
#include "scan/ipod_thread.h"
#include "scan/itunes_thread.h"
#include "scan/radio_thread.h"
#include "scan/rescan_handler.h"
#include "scan/scanner.h"
#include "upnp/description.h"
#include "upnp/network_server.h"
#include "upnp/ssdp.h"
#include "webconfig/configpage_handler.h"
#include "webconfig/resource_pack.h"

#include <unistd.h>

#ifdef EDITION_FULL
#include "delivery/art_encode.h"
#include "delivery/picture_handler.h"
#include "scan/visual_readers.h"
#endif

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
    http_register_handler(soap_control_handler, HTTP_POST, "/ConnectionManager/Control");
    http_register_handler(serve_content_directory_scpd, kGetHead, "/ContentDirectory.xml");
    http_register_handler(soap_control_handler, HTTP_POST, "/ContentDirectory/Control");
    http_register_handler(serve_registrar_scpd, kGetHead, "/X_MS_MediaReceiverRegistrar.xml");
    http_register_handler(soap_control_handler, HTTP_POST, "/X_MS_MediaReceiverRegistrar/Control");
    http_register_handler(subscribe_handler, HTTP_SUBSCRIBE, nullptr);
    http_register_handler(unsubscribe_handler, HTTP_UNSUBSCRIBE, nullptr);
    http_register_handler(download_handler, kGetHead, "/NetgearUpgrade");
    http_register_handler(download_handler, kGetHead, "/file%3A");
#ifdef EDITION_FULL
    http_register_handler(picture_handler, kGetHead, "/picture");
#endif
    http_register_handler(disk_handler, kGetHead, "/disk");
    http_register_handler(continue_handler, kGetHead, "/continue");
#ifdef EDITION_FULL
    http_register_handler(subtitle_handler, kGetHead, "/subtitle");
#endif
    http_register_handler(m3u_handler, kGetHead, "/m3u");
    http_register_handler(albumart_handler, kGetHead, "/albumart-");
    http_register_handler(httpproxy_handler, kGetHead, "/httpproxy");
    http_register_handler(ftpproxy_handler, kGetHead, "/ftpproxy");
    http_register_handler(rescan_handler, HTTP_GET, "/rescan");
    http_register_handler(rpc_handler, HTTP_GET, "/rpc");
    http_register_handler(configpage_handler, HTTP_GET | HTTP_HEAD | HTTP_POST, "/configpage");
    ssdp_register_search_handler();
#ifdef EDITION_FULL
    // The pack is read from the program file itself, wherever it was started
    // from; a name typed without a directory would not be found.
    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    resource_init(n > 0 ? std::string(self, static_cast<size_t>(n)) : program_path(),
                  start_directory());
    visual_readers_register();
    albumart_set_reencoder(art_to_jpeg);
#endif

    HttpClientHooks clients;
    clients.recognise = [](HttpConnection* c) { client_recognise_request(c); };
    http_set_client_hooks(clients);
    client_probes_install();
    network_server_set_eventing_hooks(NetworkEventingHooks{eventing_start, eventing_stop});
    set_user_agent("Mozilla/4.0 (Compatible, Corvalenso UPnP Plenwick)");
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
    persistence_reader_start(g_db_read_file_thread_running);
    persistence_writer_start(g_db_write_file_thread_running);
    radio_thread_start(g_Radio_thread_running, g_db_read_file_thread_running);
    itunes_thread_start(g_iTunes_thread_running, g_db_read_file_thread_running);
    ipod_thread_start(g_iPod_thread_running, g_db_read_file_thread_running);
    scan_thread_start(g_file_scan_thread_running, g_db_read_file_thread_running);
    eventing_thread_start(g_eventing_thread_running);
    external_db_hook_start(g_external_db_scan_thread_running);
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
