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
#include <vector>

// The largest header a record may declare.
inline constexpr uint32_t kIpodMaxHeader = 0x100000;
// The longest text of a song or playlist read (a file name or a title).
inline constexpr uint32_t kIpodMaxString = 65536;

// One song of the database as read.
struct IpodSong {
    uint32_t id = 0;
    int32_t track = 0;
    int32_t year = 0;
    int32_t bitrate = 0;
    int64_t size = 0;
    int64_t length_ms = 0;
    std::string title, location, album, artist, genre, file_type;
};

// One playlist as read: its name and the ids of its songs in list order.
struct IpodPlaylist {
    std::string name;
    std::vector<uint32_t> songs;
};

// What one pass read. Nothing enters the tree until the whole file has
// been read: a database cut short or damaged (read while the player is
// being synchronised) changes nothing.
struct IpodPass {
    std::string db_path;
    std::vector<IpodSong> songs;
    std::vector<IpodPlaylist> playlists; // the master list is not kept
    int playlists_read = 0;              // the first is the master list
};

// The music folder of the database at db_path: ".../iPod_Control/Music/"
// for ".../iPod_Control/iTunes/iTunesDB".
std::string ipod_music_folder(const std::string& db_path);

// The local path of a song location such as ":iPod_Control:Music:F00:AB.mp3":
// what follows its last ":Music:" below the music folder, with the colons
// as slashes; another location starting with ':' below the player's mount
// point; any other text as it is.
std::string ipod_song_path(const std::string& db_path, std::string_view location);

// The record loop over the open database: reads the songs and the
// playlists into pass. False, after its message on standard error, when the
// file is damaged.
bool ipod_read_records(FILE* file, IpodPass& pass);

// One pass over the database at db_path, all or nothing: the records, then,
// when the whole file was read, its songs and playlists are added and what
// the tree says the database held before (after a restart too) and no
// longer holds is removed. False, with the tree as it was, when the file is
// not a regular file, could not be opened or is damaged.
bool ipod_import(const std::string& db_path);
