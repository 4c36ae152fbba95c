#include "control/clients.h"

#include "core/log.h"
#include "core/settings.h"

#include <array>
#include <mutex>

namespace
{

constexpr const char* kTypeNames[kClientTypeCount] = {
    "Generic Media Receiver",
    "Netgear MP101",
    "D-Link DSM320",
    "Sony Network Media Receiver",
    "LinkSys Wireless Music System",
    "QX Remote Control Point",
    "SMC EZ-Stream",
    "Go.Video D2730",
    "Philips Streamium",
    "Roku Soundbridge",
    "Noxon Audio",
    "Tini Image Renderer",
};

struct ClientTable {
    std::mutex lock;
    std::array<ClientInfo, kClientSlots> entries;
    int count = 0;
    ClientProbes probes;
};

ClientTable& table()
{
    static auto* t = new ClientTable;
    return *t;
}

bool listed_in(int key, const std::string& address)
{
    const int n = setting_list_count(key);
    for (int i = 0; i < n; ++i) {
        if (setting_list_item(key, i) == address) {
            return true;
        }
    }
    return false;
}

// The index of an address in the table, or -1. The lock is held.
int find_locked(const ClientTable& t, const std::string& address)
{
    for (int i = 0; i < t.count; ++i) {
        if (t.entries[i].address == address) {
            return i;
        }
    }
    return -1;
}

bool confirmed(int client_type, const std::string& address, const ClientProbes& probes)
{
    if (client_type == 2) {
        return listed_in(KEY_DLINKCLIENT, address) ||
               (probes.dlink && probes.dlink(address.c_str()));
    }
    return listed_in(KEY_NOXONCLIENT, address) || (probes.noxon && probes.noxon(address.c_str()));
}

} // namespace

const char* client_type_name(int client_type)
{
    return client_type >= 0 && client_type < kClientTypeCount ? kTypeNames[client_type] : nullptr;
}

void client_register(int client_type, const char* address_text)
{
    if (!address_text || client_type < 0 || client_type >= kClientTypeCount) {
        return;
    }
    const std::string address = std::string(address_text).substr(0, 19);
    ClientTable& t = table();
    ClientProbes probes;
    {
        std::lock_guard guard(t.lock);
        const int known = find_locked(t, address);
        if (known >= 0) {
            ClientInfo& entry = t.entries[known];
            if (entry.client_type == client_type || client_type == 2 || client_type == 10) {
                return;
            }
            entry.client_type = client_type;
            log_msg(LOG_INFO, LOG_CAT_CLIENT_DB, "changed: %s %s\n", address.c_str(),
                    kTypeNames[client_type]);
            return;
        }
        if (t.count >= kClientsRecorded) {
            return;
        }
        probes = t.probes;
    }
    // A probe asks the device over the network: never under the lock.
    int stored = client_type;
    if ((client_type == 2 || client_type == 10) && !confirmed(client_type, address, probes)) {
        stored = 0;
    }
    std::lock_guard guard(t.lock);
    // Another thread may have added it while the probe ran.
    if (find_locked(t, address) >= 0 || t.count >= kClientsRecorded) {
        return;
    }
    t.entries[t.count].client_type = stored;
    t.entries[t.count].address = address;
    ++t.count;
    log_msg(LOG_INFO, LOG_CAT_CLIENT_DB, "added: %s %s\n", address.c_str(), kTypeNames[stored]);
}

int client_type_of(const char* address)
{
    if (!address) {
        return 0;
    }
    ClientTable& t = table();
    std::lock_guard guard(t.lock);
    const int i = find_locked(t, address);
    return i >= 0 ? t.entries[i].client_type : 0;
}

std::optional<ClientInfo> client_entry(int index)
{
    ClientTable& t = table();
    std::lock_guard guard(t.lock);
    if (index < 0 || index >= t.count) {
        return std::nullopt;
    }
    return t.entries[index];
}

bool client_is_music_client(const char* address)
{
    if (!address) {
        return false;
    }
    const int type = client_type_of(address);
    return type == 1 || type == 9 || type == 10 || listed_in(KEY_MUSICCLIENT, address);
}

bool client_is_dlink(const char* address)
{
    return client_type_of(address) == 2;
}

void client_register_configured()
{
    for (int i = 0; i < setting_list_count(KEY_DLINKCLIENT); ++i) {
        client_register(2, setting_list_item(KEY_DLINKCLIENT, i).value_or("").c_str());
    }
    for (int i = 0; i < setting_list_count(KEY_NOXONCLIENT); ++i) {
        client_register(10, setting_list_item(KEY_NOXONCLIENT, i).value_or("").c_str());
    }
}

void client_set_probes(const ClientProbes& probes)
{
    ClientTable& t = table();
    std::lock_guard guard(t.lock);
    t.probes = probes;
}

void client_table_clear()
{
    ClientTable& t = table();
    std::lock_guard guard(t.lock);
    t.entries = {};
    t.count = 0;
}
