// Playlist files ("m3u", "pls", "wpl") as playlist containers below
// "Playlists": every entry that can be found is added as an item (or found,
// when it is known) and referenced in file order. Internet addresses become
// radio stations among the favourites (m3u) or music items with a remote
// path (pls, wpl).
#pragma once

#include <string>

// The scanner's readers; they return 0.
int m3u_read(const char* path, int compilation);
int pls_read(const char* path, int compilation);
int wpl_read(const char* path, int compilation);

// Reads one m3u file into the playlist of that name (empty: the title from
// the file name), emptied first so that the file is read anew each time.
void m3u_read_named(const char* path, const std::string& name);

// The largest XML playlist that is read.
inline constexpr long kWplFileLimit = 16L * 1024 * 1024;
