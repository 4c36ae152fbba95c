#include "delivery/m3u_handler.h"

#include "db/auto_playlists.h"
#include "delivery/media_url.h"
#include "http/http_response.h"

#include <cstring>

int m3u_handler(HttpConnection* c)
{
    const char* id_text = media_url_id(c->url.data(), "m3u/");
    if (!id_text) {
        return http_send_empty(c, 500);
    }
    auto playlist = m3u_for_container(id_text, c->base_url.data());
    if (!playlist) {
        return http_send_404(c);
    }
    c->content_length = playlist->length;
    c->content_type = "audio/x-mpegurl";
    // A HEAD answer gets the length but no body, as for every other URL.
    return http_send_response(c, strbuf_c_str(*playlist));
}
