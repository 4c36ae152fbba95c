#include "delivery/rpc_handler.h"

#include "delivery/play_status.h"
#include "http/http_origin.h"
#include "http/http_response.h"
#include "upnp/ssdp.h"

#include <cstring>
#include <string>

namespace
{

int send_page(HttpConnection* c, const std::string& page)
{
    c->content_type = kMimeHtml;
    c->content_length = static_cast<int64_t>(page.size());
    return http_send_response(c, page.c_str());
}

} // namespace

int rpc_handler(HttpConnection* c)
{
    http_add_no_cache(c);
    const char* url = c->url.data();
    // What each player plays, and with it the players' addresses and titles,
    // is for this server's own names: another site's script that made its
    // name resolve here (DNS rebinding) would read it.
    if (!http_request_host_is_own(c)) {
        return http_send_empty(c, 403);
    }
    if (strstr(url, "playing")) {
        return send_page(c, play_status_page());
    }
    // Switching SSDP is for the user's own pages and remote controls, not
    // for whatever page of another site the user's browser opens.
    const bool changes_mode = strstr(url, "mode?stealth") || strstr(url, "mode?alive");
    if (changes_mode && !http_request_is_own_origin(c)) {
        return http_send_empty(c, 403);
    }
    if (strstr(url, "mode?stealth")) {
        ssdp_set_mode(SSDP_STEALTH);
        return send_page(c, "SSDP disabled. Plenwick in stealth mode!\n");
    }
    if (strstr(url, "mode?alive")) {
        ssdp_set_mode(SSDP_ALIVE);
        return send_page(c, "SSDP enabled. Plenwick alive!\n");
    }
    return http_send_404(c);
}
