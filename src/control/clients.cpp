#include "control/clients.h"

#include "core/log.h"
#include "core/settings.h"
#include "core/text_util.h"
#include "http/http_connection.h"
#include "http/mime.h"

#include <array>
#include <cstring>
#include <mutex>

namespace
{

// Where the text that gives a player away is found.
enum class MarkSource : uint8_t {
    None,
    RequestHead,  // anywhere in the raw request head, case-sensitive
    SearchText,   // anywhere in an SSDP M-SEARCH datagram, case-sensitive
    ObjectId,     // the whole ObjectID of a Browse or Search
    UserAgent,    // the User-Agent field, ignoring case
    AvClientInfo, // the X-AV-Client-Info field, ignoring case
};

struct ClientMark {
    MarkSource source = MarkSource::None;
    const char* text = nullptr;
};

struct ClientRow {
    ClientType type;
    const char* name; // the status page and the log lines
    ClientMark marks[2];
    bool probed; // kept only when a probe of the device confirms it
    ClientQuirks quirks;
};

constexpr ClientQuirks kModern{.dlna_fields = true};
// Televisions do not all ask for contentFeatures.dlna.org, yet refuse to
// play an answer without it.
constexpr ClientQuirks kTelevision{.dlna_fields = true, .always_content_features = true};

// One row per client type, in the order of ClientType.
constexpr ClientRow kClientRows[kClientTypeCount] = {
    // Our own gateway fetches on behalf of other players: answer it plainly.
    {ClientType::Generic,
     "Generic Media Receiver",
     {{MarkSource::RequestHead, "Corvalenso Home-To-Home Gateway"}},
     false,
     kModern},
    // Its M-SEARCH names the device in a field of its own.
    {ClientType::NetgearMp101,
     "Netgear MP101",
     {{MarkSource::SearchText, "Netgear MP101"}},
     false,
     {.music_start = true, .paced_stream = true}},
    // Sends the stack's banner in its requests, and browses the alias
    // "0\Music\" that no other player uses; both are confirmed by its
    // configuration page on port 59089.
    {ClientType::DlinkDsm320,
     "D-Link DSM320",
     {{MarkSource::RequestHead, "POSIX, UPnP/1.0, Intel MicroStack/1.0.1423"},
      {MarkSource::ObjectId, "0\\Music\\"}},
     true,
     {.close_connection = true, .no_container_m3u = true, .pictures = ClientPictures::DlinkSet}},
    {ClientType::SonyNetworkMediaReceiver, "Sony Network Media Receiver", {}, false, {}},
    {ClientType::LinksysWirelessMusicSystem, "LinkSys Wireless Music System", {}, false, {}},
    // Our own remote control point names itself in its User-Agent.
    {ClientType::QxRemoteControlPoint,
     "QX Remote Control Point",
     {{MarkSource::RequestHead, "Corvalenso Remote CP"}},
     false,
     {.uncaptioned_pictures = true, .pictures = ClientPictures::QxSet}},
    {ClientType::SmcEzStream, "SMC EZ-Stream", {}, false, {}},
    // Its M-SEARCH carries MYNAME: "D2730".
    {ClientType::GoVideoD2730,
     "Go.Video D2730",
     {{MarkSource::SearchText, "MYNAME: \"D2730\""}},
     false,
     {.folder_icons = true, .pictures = ClientPictures::Unscaled}},
    // User-Agent of the 4.30 web client library.
    {ClientType::PhilipsStreamium,
     "Philips Streamium",
     {{MarkSource::RequestHead, "Allegro-Software-WebClient/4.30"}},
     false,
     {.folders_as_storage = true, .pictures = ClientPictures::PhilipsSet}},
    // User-Agent of the 4.32 web client library.
    {ClientType::RokuSoundbridge,
     "Roku Soundbridge",
     {{MarkSource::RequestHead, "Allegro-Software-WebClient/4.32"}},
     false,
     {.music_start = true, .search_caps_all = true, .unique_search_titles = true}},
    // A bare "Mozilla/4.0 (compatible)" User-Agent; its description.xml
    // names the maker, which the probe looks for.
    {ClientType::NoxonAudio,
     "Noxon Audio",
     {{MarkSource::RequestHead, "Mozilla/4.0 (compatible)"}},
     true,
     {.music_start = true, .latin1_text = true}},
    {ClientType::TiniImageRenderer, "Tini Image Renderer", {}, false, {}},
    // User-Agent "DLNADOC/1.50 SEC_HHP_[TV] <model>/1.0 UPnP/1.0" on every
    // request. Plays Matroska only when it is called video/x-mkv, and shows
    // subtitles it is told of in sec:CaptionInfoEx and CaptionInfo.sec.
    {ClientType::SamsungTv,
     "Samsung TV",
     {{MarkSource::UserAgent, "SEC_HHP_"}},
     false,
     {.dlna_fields = true,
      .always_content_features = true,
      .caption_info = true,
      .mime_override = {"mkv", "video/x-mkv"}}},
    // User-Agent "Linux/<kernel> UPnP/1.0 LGE_DLNA_SDK/<version> DLNADOC/1.50".
    // Refuses FLAC offered as audio/x-flac: it keeps the registered type
    // audio/flac whatever the table's default becomes.
    {ClientType::LgTv,
     "LG TV",
     {{MarkSource::UserAgent, "LGE_DLNA_SDK"}},
     false,
     {.dlna_fields = true,
      .always_content_features = true,
      .mime_override = {"flac", "audio/flac"}}},
    // X-AV-Client-Info: av=5.0; cn="Sony Corporation"; mn="BRAVIA <model>";
    // other devices of the same maker send that field too, so the model
    // name decides.
    {ClientType::SonyBravia,
     "Sony BRAVIA TV",
     {{MarkSource::AvClientInfo, "BRAVIA"}},
     false,
     kTelevision},
    // User-Agent "Panasonic MIL DLNA CP UPnP/1.0 DLNADOC/1.50".
    {ClientType::PanasonicTv,
     "Panasonic TV",
     {{MarkSource::UserAgent, "Panasonic MIL DLNA"}},
     false,
     kTelevision},
    // User-Agent "Xbox/<version> UPnP/1.0 Xbox/<version>".
    {ClientType::Xbox, "Xbox", {{MarkSource::UserAgent, "Xbox"}}, false, kModern},
    // User-Agent "... Windows-Media-Player/<version> DLNADOC/1.50 ...".
    {ClientType::WindowsMediaPlayer,
     "Windows Media Player",
     {{MarkSource::UserAgent, "Windows-Media-Player"}},
     false,
     kModern},
    // User-Agent "Kodi/<version> (<platform>) ...".
    {ClientType::Kodi, "Kodi", {{MarkSource::UserAgent, "Kodi"}}, false, kModern},
    // User-Agent "VLC/<version> LibVLC/<version>".
    {ClientType::Vlc, "VLC", {{MarkSource::UserAgent, "VLC/"}}, false, kModern},
    // User-Agent "BubbleUPnP UPnP/1.1" and "... BubbleUPnP/<version>".
    {ClientType::BubbleUpnp, "BubbleUPnP", {{MarkSource::UserAgent, "BubbleUPnP"}}, false, kModern},
    // User-Agent "foobar2000/<version>".
    {ClientType::Foobar2000, "foobar2000", {{MarkSource::UserAgent, "foobar2000"}}, false, kModern},
    // User-Agent "... Heos/<version>" or "HEOS/<version>" of the players and
    // their app; the case varies, which the comparison ignores.
    {ClientType::Heos, "HEOS", {{MarkSource::UserAgent, "Heos"}}, false, kModern},
};

constexpr bool rows_follow_the_types()
{
    for (int i = 0; i < kClientTypeCount; ++i) {
        if (static_cast<int>(kClientRows[i].type) != i) {
            return false;
        }
    }
    return true;
}
static_assert(rows_follow_the_types(), "kClientRows is indexed by ClientType");

// The order in which the raw-head texts are tested; the first hit wins, so
// that our own remote and gateway are never taken for the players whose
// libraries they share.
constexpr ClientType kHeadOrder[] = {
    ClientType::QxRemoteControlPoint, ClientType::Generic,    ClientType::PhilipsStreamium,
    ClientType::RokuSoundbridge,      ClientType::NoxonAudio, ClientType::DlinkDsm320,
};

const ClientRow& row_of(ClientType type)
{
    const int i = static_cast<int>(type);
    return kClientRows[i >= 0 && i < kClientTypeCount ? i : 0];
}

const char* mark_text(const ClientRow& row, MarkSource source)
{
    for (const ClientMark& mark : row.marks) {
        if (mark.source == source) {
            return mark.text;
        }
    }
    return nullptr;
}

// The type of a request without registering anything: the address table's
// when it knows the address as one of its players, else the header fields'.
ClientType identify(const HttpConnection* c)
{
    const int stored = client_type_of(c->client_ip.data());
    if (stored != 0) {
        return static_cast<ClientType>(stored);
    }
    return client_type_from_fields(c);
}

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
    if (client_type == static_cast<int>(ClientType::DlinkDsm320)) {
        return listed_in(KEY_DLINKCLIENT, address) ||
               (probes.dlink && probes.dlink(address.c_str()));
    }
    return listed_in(KEY_NOXONCLIENT, address) || (probes.noxon && probes.noxon(address.c_str()));
}

} // namespace

const char* client_type_name(int client_type)
{
    return client_type >= 0 && client_type < kClientTypeCount ? kClientRows[client_type].name
                                                              : nullptr;
}

const ClientQuirks& client_quirks(ClientType type)
{
    return row_of(type).quirks;
}

bool client_gets_dlna_fields(ClientType type)
{
    return client_quirks(type).dlna_fields;
}

const char* client_mime_for(ClientType type, std::string_view name)
{
    const MimeOverride& override = client_quirks(type).mime_override;
    if (override.extension && equal_nocase(file_extension(name), override.extension)) {
        return override.mime;
    }
    return mime_type_for(name);
}

int client_type_from_head(std::string_view head)
{
    for (ClientType type : kHeadOrder) {
        const char* text = mark_text(row_of(type), MarkSource::RequestHead);
        if (text && head.find(text) != std::string_view::npos) {
            return static_cast<int>(type);
        }
    }
    return -1;
}

ClientType client_type_from_fields(const HttpConnection* c)
{
    for (const ClientRow& row : kClientRows) {
        for (const ClientMark& mark : row.marks) {
            const HttpField field = mark.source == MarkSource::UserAgent ? HttpField::UserAgent
                                    : mark.source == MarkSource::AvClientInfo
                                        ? HttpField::AvClientInfo
                                        : HttpField::Count;
            if (field != HttpField::Count && contains_nocase(http_header(c, field), mark.text)) {
                return row.type;
            }
        }
    }
    return ClientType::Generic;
}

ClientType client_recognise_request(HttpConnection* c)
{
    const int head_type = client_type_from_head(c->head.data());
    if (head_type >= 0) {
        client_register(head_type, c->client_ip.data());
    }
    const ClientType type = identify(c);
    c->client_type = static_cast<int>(type);
    if (client_quirks(type).close_connection) {
        c->close_after = 1;
    }
    return type;
}

ClientType client_of(const HttpConnection* c)
{
    if (!c) {
        return ClientType::Generic;
    }
    if (c->client_type >= 0 && c->client_type < kClientTypeCount) {
        return static_cast<ClientType>(c->client_type);
    }
    return identify(c);
}

void client_recognise_search(std::string_view search_text, const char* address)
{
    for (const ClientRow& row : kClientRows) {
        const char* text = mark_text(row, MarkSource::SearchText);
        if (text && search_text.find(text) != std::string_view::npos) {
            client_register(static_cast<int>(row.type), address);
            return;
        }
    }
}

void client_recognise_object_id(const char* object_id, const char* address)
{
    if (!object_id || !address) {
        return;
    }
    for (const ClientRow& row : kClientRows) {
        const char* text = mark_text(row, MarkSource::ObjectId);
        if (text && strcmp(object_id, text) == 0) {
            client_register(static_cast<int>(row.type), address);
            return;
        }
    }
}

void client_register(int client_type, const char* address_text)
{
    if (!address_text || client_type < 0 || client_type >= kAddressClientTypeCount) {
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
            if (entry.client_type == client_type || kClientRows[client_type].probed) {
                return;
            }
            entry.client_type = client_type;
            log_msg(LOG_INFO, LOG_CAT_CLIENT_DB, "changed: %s %s\n", address.c_str(),
                    kClientRows[client_type].name);
            return;
        }
        if (t.count >= kClientsRecorded) {
            return;
        }
        probes = t.probes;
    }
    // A probe asks the device over the network: never under the lock.
    int stored = client_type;
    if (kClientRows[client_type].probed && !confirmed(client_type, address, probes)) {
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
    log_msg(LOG_INFO, LOG_CAT_CLIENT_DB, "added: %s %s\n", address.c_str(),
            kClientRows[stored].name);
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
    return client_quirks(static_cast<ClientType>(client_type_of(address))).music_start ||
           listed_in(KEY_MUSICCLIENT, address);
}

void client_register_configured()
{
    for (int i = 0; i < setting_list_count(KEY_DLINKCLIENT); ++i) {
        client_register(static_cast<int>(ClientType::DlinkDsm320),
                        setting_list_item(KEY_DLINKCLIENT, i).value_or("").c_str());
    }
    for (int i = 0; i < setting_list_count(KEY_NOXONCLIENT); ++i) {
        client_register(static_cast<int>(ClientType::NoxonAudio),
                        setting_list_item(KEY_NOXONCLIENT, i).value_or("").c_str());
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
