// The import of an iPod's database ("iPod_Control/iTunes/iTunesDB"): a tree
// of little-endian records (database, data sets, the song list with one
// record per song and its text records, the playlists with their entries).
// Songs become music items whose paths point into the player's music
// folder; every playlist but the first (the player's master list of all
// songs) becomes a playlist container. Every length and count the file
// gives is checked against the record that holds it and against the file
// before it is used: a damaged file ends the pass with a message on
// standard error, never with a read past a record or a large allocation.
#pragma once

#include "scan/library_sync.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <unordered_map>

// The largest header a record may declare.
inline constexpr uint32_t kIpodMaxHeader = 0x100000;
// The longest text of a song or playlist read (a file name or a title).
inline constexpr uint32_t kIpodMaxString = 65536;

// The songs of one pass, by the id the playlist entries name them with: the
// path of the item each became.
struct IpodPass {
    std::string db_path;
    std::unordered_map<uint32_t, std::string> songs;
    int playlists = 0; // read so far; the first is the master list
    LibraryContents now;
};

// The music folder of the database at db_path: ".../iPod_Control/Music/"
// for ".../iPod_Control/iTunes/iTunesDB".
std::string ipod_music_folder(const std::string& db_path);

// The local path of a song location such as ":iPod_Control:Music:F00:AB.mp3":
// what follows its last ":Music:" below the music folder, with the colons
// as slashes; another location starting with ':' below the player's mount
// point; any other text as it is.
std::string ipod_song_path(const std::string& db_path, std::string_view location);

// The record loop over the open database: adds the songs and the playlists.
// False, after its message on standard error, when the file is damaged.
bool ipod_read_records(FILE* file, IpodPass& pass);

// One pass over the database at db_path: the records, then, when the whole
// file was read, the removal of what an earlier pass (recorded in contents)
// added and the file no longer holds. False when the file could not be
// opened or is damaged.
bool ipod_import(const std::string& db_path, LibraryContents& contents);
