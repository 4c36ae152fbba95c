#include "control/client_probes.h"

#include "control/clients.h"
#include "core/settings.h"
#include "http/http_client.h"

#include <string>

namespace
{

bool listed(int key, const char* address)
{
    for (int i = 0; i < setting_list_count(key); ++i) {
        if (setting_list_item(key, i) == address) {
            return true;
        }
    }
    return false;
}

// Whether the page at url holds text; a device that does not answer within
// the probe time counts as "no".
bool page_contains(const std::string& url, const char* text)
{
    const std::optional<StrBuf> body = http_get(url.c_str(), kHttpClientProbeMs);
    return body && strbuf_view(*body).find(text) != std::string_view::npos;
}

} // namespace

bool client_probe_dlink(const char* address)
{
    if (!address) {
        return false;
    }
    return listed(KEY_DLINKCLIENT, address) ||
           page_contains(std::string("http://") + address + ":59089/",
                         "<manufacturer>DLink</manufacturer>");
}

bool client_probe_noxon(const char* address)
{
    if (!address) {
        return false;
    }
    return listed(KEY_NOXONCLIENT, address) ||
           page_contains(std::string("http://") + address + "/description.xml", "TerraTec");
}

void client_probes_install()
{
    ClientProbes probes;
    probes.dlink = client_probe_dlink;
    probes.noxon = client_probe_noxon;
    client_set_probes(probes);
}
