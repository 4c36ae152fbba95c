// Who the players are: the client types with the text each one is recognised
// by and the quirks it gets, and the table of players seen on the network,
// by address.
//
// The twelve types that the address table keeps (0 to 11) are recognised
// once and remembered for their address. Today's players (12 onwards) are
// recognised afresh on every request from its own header fields and kept on
// that request's connection record, never in the address table.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

struct HttpConnection;

inline constexpr int kClientSlots = 10;
// Only nine slots are ever filled; further new addresses count as type 0.
inline constexpr int kClientsRecorded = 9;

// The numbers are those of the status page, the log and the settings of
// configured players; new types go at the end.
enum class ClientType : int {
    Generic = 0,
    NetgearMp101 = 1,
    DlinkDsm320 = 2,
    SonyNetworkMediaReceiver = 3,
    LinksysWirelessMusicSystem = 4,
    QxRemoteControlPoint = 5,
    SmcEzStream = 6,
    GoVideoD2730 = 7,
    PhilipsStreamium = 8,
    RokuSoundbridge = 9,
    NoxonAudio = 10,
    TiniImageRenderer = 11,
    SamsungTv = 12,
    LgTv = 13,
    SonyBravia = 14,
    PanasonicTv = 15,
    Xbox = 16,
    WindowsMediaPlayer = 17,
    Kodi = 18,
    Vlc = 19,
    BubbleUpnp = 20,
    Foobar2000 = 21,
    Heos = 22,
};

inline constexpr int kClientTypeCount = 23;
// The types the address table stores: those up to the Tini renderer.
inline constexpr int kAddressClientTypeCount = 12;

// The picture resources a player is offered.
enum class ClientPictures : uint8_t {
    Standard,   // the full set of scaled sizes and the original
    DlinkSet,   // one 684x456 picture and a thumbnail descriptor
    Unscaled,   // the original only
    QxSet,      // 720x576 and 120x105
    PhilipsSet, // 720x576, 1024x768, 120x105 and 69x51
};

struct MimeOverride {
    const char* extension = nullptr; // null: none
    const char* mime = nullptr;
};

// What a client type changes in the answers; every field is named for the
// behaviour it switches, and false / null is what the generic type gets.
struct ClientQuirks {
    bool music_start = false;        // browsing "0" starts in the music container
    bool close_connection = false;   // every connection closed after its answer
    bool paced_stream = false;       // media sent no faster than its bit rate
    bool no_container_m3u = false;   // music containers carry no m3u resource
    bool folder_icons = false;       // an icon on every container and picture
    bool folders_as_storage = false; // containers shown as storageFolder
    bool uncaptioned_pictures = false;
    bool search_caps_all = false;      // SearchCaps "*"
    bool unique_search_titles = false; // search results never repeat a title
    bool latin1_text = false;          // DIDL-Lite text sent as Latin-1
    ClientPictures pictures = ClientPictures::Standard;
    // DLNA fields in protocolInfo and the DLNA headers on media answers.
    bool dlna_fields = false;
    // contentFeatures.dlna.org on every media answer, asked for or not.
    bool always_content_features = false;
    // Subtitles announced as sec:CaptionInfoEx and the CaptionInfo.sec header.
    bool caption_info = false;
    // The type this player needs for files of one extension instead of the
    // file-type table's.
    MimeOverride mime_override{};
};

struct ClientInfo {
    int client_type = 0;
    std::string address; // dotted IPv4, at most 19 characters
};

// The display name of a client type ("Roku Soundbridge"), or null.
const char* client_type_name(int client_type);

// The quirks of a type; those of the generic type for a number out of range.
const ClientQuirks& client_quirks(ClientType type);

// True for the generic type and today's players: they get the DLNA fields,
// the DLNA headers and today's MIME types. The twelve older types keep the
// answers they were made for.
bool client_gets_dlna_fields(ClientType type);

// The MIME type a player is told and sent for a file: the MIME table's,
// unless the player's quirks name another for the file's kind.
const char* client_mime_for(ClientType type, std::string_view path);

// --- Recognition -----------------------------------------------------------

// Recognises the client of a received request, once: the rules of the
// address table are applied to the raw head (registering what they find),
// then the result is stored on the connection record and a client that
// needs it gets close_after set. Every handler then asks client_of.
ClientType client_recognise_request(HttpConnection* c);

// The client of a request: the type recognised by client_recognise_request,
// or, for a request made in code, the same answer worked out without
// registering anything.
ClientType client_of(const HttpConnection* c);

inline const ClientQuirks& client_quirks_of(const HttpConnection* c)
{
    return client_quirks(client_of(c));
}

// The type the text of an SSDP M-SEARCH reveals, registered for the address.
void client_recognise_search(std::string_view search_text, const char* address);

// A Browse or Search of an ObjectID that only one player asks for registers
// that player for the address.
void client_recognise_object_id(const char* object_id, const char* address);

// The address-table type a raw request head reveals, or -1 (first hit wins;
// the texts are compared case-sensitively).
int client_type_from_head(std::string_view head);

// Today's player a request's header fields name, or Generic.
ClientType client_type_from_fields(const HttpConnection* c);

// --- The address table -----------------------------------------------------

// Adds a new address with its type, or changes a known one; probed types
// (D-Link 2, Noxon 10) never overwrite a known address. Types from 12 on are
// not stored.
void client_register(int client_type, const char* address);

// The type of an address, 0 when unknown.
int client_type_of(const char* address);

// Entry index of the table, for the status page.
std::optional<ClientInfo> client_entry(int index);

// Music-start types, or an address listed in "musicclient".
bool client_is_music_client(const char* address);

// Registers the addresses of "dlinkclient" (type 2) and "noxonclient" (type 10).
void client_register_configured();

// How a guessed D-Link or Noxon device is confirmed beyond the configured
// addresses: the HTTP probes of client_probes.h, installed at start (tests
// install their own or none).
struct ClientProbes {
    bool (*dlink)(const char* address) = nullptr;
    bool (*noxon)(const char* address) = nullptr;
};
void client_set_probes(const ClientProbes& probes);

// Empties the table (tests, and nothing else: entries are never removed).
void client_table_clear();
