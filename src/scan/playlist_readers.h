// Playlist files ("m3u", "m3u8", "pls", "wpl") as playlist containers below
// "Playlists", one per file: every entry that can be found is read as the
// scanner reads the file (or found, when it is known) and referenced in file
// order, the position being the reference's order, never the item's track
// number. Internet addresses become radio stations among the favourites
// (m3u) or music items with a remote path (pls, wpl). A file read again
// that names the same entries changes nothing.
#pragma once

#include <string>

// The scanner's readers; they return 0.
int m3u_read(const char* path, int compilation);
int pls_read(const char* path, int compilation);
int wpl_read(const char* path, int compilation);

// Reads one m3u file into its playlist container, titled name (empty: the
// title from the file name). An #EXTINF title names the entry that follows
// it only, and is used for stations and for files of a kind no reader
// knows; titles are UTF-8 in an "m3u8", UTF-8 when valid else Latin-1 in an
// "m3u".
void m3u_read_named(const char* path, const std::string& name);

// The largest XML playlist that is read.
inline constexpr long kWplFileLimit = 16L * 1024 * 1024;
