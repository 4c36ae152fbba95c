#include "webconfig/configpage_handler.h"

#include "core/log.h"
#include "core/process.h"
#include "core/settings.h"
#include "http/http_origin.h"
#include "http/http_response.h"
#include "http/mime.h"
#include "http/url.h"
#include "webconfig/config_pages.h"
#include "webconfig/form_update.h"
#include "webconfig/resource_pack.h"

#include <cstring>
#include <optional>

namespace
{

enum class Page { None, Status, General, Music, Image };

// What the body of a form does to the settings.
using Update = void (*)(std::string_view body);

void update_single(int key, std::string_view body, const char* field)
{
    setting_set(key, form_single_value(body, field, "&"));
}

void update_list(int key, std::string_view body, const char* new_field)
{
    setting_set(key, form_list_update(setting_str(key), body, new_field, "&"));
}

struct Action {
    const char* name; // matched as a substring of the page name, in table order
    Update update;    // null: the page only
    Page page;
};

// The order decides where one name holds another.
const Action kActions[] = {
    {"status", nullptr, Page::Status},
    {"restartserver", [](std::string_view) { server_restart(); }, Page::Status},
    {"friendlyname",
     [](std::string_view b) { update_single(KEY_FRIENDLYNAME, b, "friendlyname="); },
     Page::General},
    {"dbfile", [](std::string_view b) { update_single(KEY_DBFILE, b, "dbfile="); }, Page::General},
    {"general", nullptr, Page::General},
    {"directory", [](std::string_view b) { update_list(KEY_CONTENTDIR, b, "set+dir="); },
     Page::General},
    {"ignoreddirs", [](std::string_view b) { update_list(KEY_IGNOREDIR, b, "set+dir="); },
     Page::General},
    {"netgearupdate", [](std::string_view b) { update_single(KEY_NETGEARUPGRADE, b, "pathtext="); },
     Page::General},
    {"nicrestart", [](std::string_view b) { setting_set(KEY_NICRESTART, form_on_off(b)); },
     Page::General},
    {"netconfig",
     [](std::string_view b) {
         const FormPair u = form_kept_pair(b, "networkcard=", "serverip=", setting_str(KEY_DEV),
                                           setting_str(KEY_IP));
         setting_set(KEY_DEV, u.first);
         setting_set(KEY_IP, u.second);
     },
     Page::General},
    {"httpport",
     [](std::string_view b) {
         const std::string port = form_single_value(b, "port=", "&");
         setting_set(KEY_HTTPPORT, port.empty() ? "0" : port);
     },
     Page::General},
    {"dirrescan", [](std::string_view b) { update_single(KEY_SCANTIME, b, "scantime="); },
     Page::General},
    {"defaultsort", [](std::string_view b) { setting_set(KEY_DS, form_sort_update(b)); },
     Page::General},
    {"music", nullptr, Page::Music},
    {"randomplay", [](std::string_view b) { setting_set(KEY_RANDOMIZEPLAYLISTS, form_on_off(b)); },
     Page::Music},
    {"radiosupport", [](std::string_view b) { setting_set(KEY_RADIO, form_on_off(b)); },
     Page::Music},
    {"radiostationnum",
     [](std::string_view b) { update_single(KEY_NUMRADIOSTATIONS, b, "number="); }, Page::Music},
    {"radiorescantime", [](std::string_view b) { update_single(KEY_RADIOREREAD, b, "time="); },
     Page::Music},
    {"mclients", [](std::string_view b) { update_list(KEY_MUSICCLIENT, b, "newclient="); },
     Page::Music},
    {"msort", [](std::string_view b) { setting_set(KEY_MS, form_sort_update(b)); }, Page::Music},
    {"itunessupport", [](std::string_view b) { update_single(KEY_ITUNESLIB, b, "icontext="); },
     Page::Music},
    {"itunesdbsupport", [](std::string_view b) { update_single(KEY_IPODDB, b, "icontext="); },
     Page::Music},
    {"images", nullptr, Page::Image},
    {"psort", [](std::string_view b) { setting_set(KEY_PS, form_sort_update(b)); }, Page::Image},
    {"renderexif", [](std::string_view b) { setting_set(KEY_DESCRIPTIONS, form_on_off(b)); },
     Page::Image},
    {"adobesupport",
     [](std::string_view b) {
         const FormPair u = form_kept_pair(
             b, "adobedsn=", "adobedbpath=", setting_str(KEY_ADOBEDSN), setting_str(KEY_ADOBEPATH));
         setting_set(KEY_ADOBEDSN, u.first);
         setting_set(KEY_ADOBEPATH, u.second);
     },
     Page::Image},
};

std::string build_page(Page page)
{
    switch (page) {
    case Page::Status:
        return configpage_status();
    case Page::General:
        return configpage_general();
    case Page::Music:
        return configpage_music();
    case Page::Image:
        return configpage_image();
    case Page::None:
        break;
    }
    return {};
}

int send_text(HttpConnection* c, const std::string& text, const char* type)
{
    c->content_type = type;
    c->content_length = static_cast<int64_t>(text.size());
    return http_send_response(c, text.data());
}

// The listener's own address: the host of "http://address:port/".
std::string_view listener_address(std::string_view base_url)
{
    if (base_url.rfind("http://", 0) == 0) {
        base_url.remove_prefix(7);
    }
    return base_url.substr(0, base_url.find_first_of(":/"));
}

} // namespace

bool configpage_access_allowed(int enableweb, std::string_view base_url, std::string_view client_ip)
{
    if (enableweb == 0) {
        return false;
    }
    if (enableweb == 1) {
        return !client_ip.empty() && listener_address(base_url) == client_ip;
    }
    return true;
}

int configpage_handler(HttpConnection* c)
{
    const char* found = strstr(c->url.data(), "configpage/");
    if (!found) {
        return HTTP_CLOSE;
    }
    http_add_no_cache(c);
    // The pages show the served folders and every setting: read through a
    // name that is not this server's (DNS rebinding), another site's script
    // would read them too.
    if (!http_request_host_is_own(c)) {
        c->content_type = kMimeHtml;
        return http_send_page(c, 403, configpage_foreign_host(c->base_url.data()));
    }
    if (!configpage_access_allowed(setting_int(KEY_ENABLEWEB), c->base_url.data(),
                                   c->client_ip.data())) {
        return send_text(c, configpage_restricted(), kMimeHtml);
    }
    const std::string_view name(found + strlen("configpage/"));
    const Action* action = nullptr;
    for (const Action& a : kActions) {
        if (name.find(a.name) != std::string_view::npos) {
            action = &a;
            break;
        }
    }
    if (!action) {
        // A static file: its name without the query, decoded, and nothing
        // but a plain file name.
        std::string file(name.substr(0, name.find('?')));
        url_decode(file);
        const std::optional<std::string> content = resource_read(file);
        if (!content) {
            return http_send_404(c);
        }
        return send_text(c, *content, mime_type_for(file));
    }
    if (action->update && c->method == HTTP_POST && c->body) {
        // Another site's page in the user's browser can post here too; only
        // the server's own pages (or a client talking to it directly) may
        // change its settings.
        if (!http_request_is_own_origin(c)) {
            log_msg(LOG_PROBLEM, LOG_CAT_HTTP, "configuration change from another site refused\n");
            return http_send_empty(c, 403);
        }
        action->update(std::string_view(c->body, static_cast<size_t>(c->body_length)));
        settings_write();
    }
    return send_text(c, build_page(action->page), kMimeHtml);
}
