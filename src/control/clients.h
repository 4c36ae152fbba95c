// The players seen on the network, by address, with the client type that
// decides their quirks (music-only start, closed connections, picture sizes).
#pragma once

#include <optional>
#include <string>

inline constexpr int kClientSlots = 10;
// Only nine slots are ever filled; further new addresses count as type 0.
inline constexpr int kClientsRecorded = 9;
inline constexpr int kClientTypeCount = 12;

// Client types with answers of their own.
inline constexpr int kDlink = 2;
inline constexpr int kQx = 5;
inline constexpr int kGoVideo = 7;
inline constexpr int kPhilips = 8;
inline constexpr int kNoxon = 10;

struct ClientInfo {
    int client_type = 0;
    std::string address; // dotted IPv4, at most 19 characters
};

// The display name of a client type ("Roku Soundbridge"), or null.
const char* client_type_name(int client_type);

// Adds a new address with its type, or changes a known one; probed types
// (D-Link 2, Noxon 10) never overwrite a known address.
void client_register(int client_type, const char* address);

// The type of an address, 0 when unknown.
int client_type_of(const char* address);

// Entry index of the table, for the status page.
std::optional<ClientInfo> client_entry(int index);

// Types 1, 9 and 10, or an address listed in "musicclient".
bool client_is_music_client(const char* address);
bool client_is_dlink(const char* address);

// Registers the addresses of "dlinkclient" (type 2) and "noxonclient" (type 10).
void client_register_configured();

// How a guessed D-Link or Noxon device is confirmed. Until the probes over
// HTTP exist, a configured address confirms and anything else does not.
struct ClientProbes {
    bool (*dlink)(const char* address) = nullptr;
    bool (*noxon)(const char* address) = nullptr;
};
void client_set_probes(const ClientProbes& probes);

// Empties the table (tests, and nothing else: entries are never removed).
void client_table_clear();
