// What the three playlist readers share: finding the file an entry names,
// reading lines of bounded length, and numbering the entries (or shuffling
// them when "randomizeplaylists" asks for it).
#pragma once

#include "db/media_db.h"
#include "scan/scanner.h"

#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

inline constexpr size_t kPlaylistLineLimit = 1023;

struct PlaylistLocation {
    std::string location;
    bool is_url = false;
};

// Where an entry of the playlist at playlist_path points: an "http://" or
// "ftp://" address as it stands; an absolute Unix or Windows path that exists; else
// the entry joined to the playlist's directory, then to each content
// directory (or the working directory when there is none). Only existing
// regular files inside a content directory are found, and they are found by
// their canonical paths (no ".", "..", "//" or link left), the names the
// scanner gives them. An entry that names nothing as written is tried once
// more in the other of the two encodings playlists come in (UTF-8 and
// Latin-1): the file system holds names in either.
std::optional<PlaylistLocation> playlist_locate_entry(std::string_view entry,
                                                      const std::string& playlist_path);

// base and entry joined: "./" dropped, every leading "../" taking one
// component off base, backslashes as separators too; the canonical path of
// the result when a regular file is there (tried once more with backslashes
// turned into slashes), else nothing; a file outside the content
// directories is not there.
std::optional<std::string> playlist_join(std::string_view base, std::string_view entry);

// The canonical path of a regular file inside a content directory, or
// nothing.
std::optional<std::string> playlist_library_file(const std::string& path);

// The entry in the other encoding: Latin-1 bytes for UTF-8 text whose every
// character Latin-1 has, UTF-8 for text that is no UTF-8; nothing when the
// entry is ASCII or cannot be spelled the other way.
std::optional<std::string> playlist_other_spelling(std::string_view entry);

// The next line of at most kPlaylistLineLimit bytes without its line feed;
// false at the end of the file. A longer line is skipped whole: no entry
// could be that long, and its pieces are no entries either.
bool playlist_read_line(FILE* file, std::string& line);

// Trailing bytes below 32 (line ends, stray control bytes) removed.
void playlist_trim(std::string& text);

// The track argument of each entry: 1, 2, 3, ... in file order, or random
// numbers when "randomizeplaylists" is set.
struct PlaylistCounter {
    int32_t next();
    int32_t position = 0;
};

// The log of entries that cannot be found: each is logged, up to a limit
// per playlist file, so that a file of a million stray lines cannot flood
// the log; the rest are counted in one closing line.
inline constexpr int kPlaylistFailuresLogged = 50;
struct PlaylistFailures {
    void not_located(const std::string& entry);
    // The closing line, when entries went unlogged.
    void finish(const char* playlist_path) const;
    int count = 0;
};

// Whether a location ends in the extension (three letters), ignoring case.
bool playlist_has_extension(std::string_view location, const char* extension);

// One playlist file being read. The entries are collected first and the
// playlist container is changed once at the end, and only when the file
// says something else than the container holds: a rescan that finds the
// file as it was changes nothing.
struct PlaylistBuild {
    PlaylistBuild(std::string source, std::string name);
    std::string source; // the playlist file
    std::string name;   // the container's title
    PlaylistCounter counter;
    std::vector<DbPlaylistEntry> entries;

    // Adds a file entry: the file is read as a pass over its directory would
    // read it (its own track number, its directory's compilation flag), when
    // it is new or changed, and referenced at the next position. Anything
    // but ScanEntry::Music (a picture, another playlist, an unknown
    // extension) adds nothing.
    ScanEntry add_file(const std::string& location);

    // References an item already added (a station, a remote track) at the
    // position order (from counter).
    void add_known(const std::string& path, const char* upnp_class, int32_t order);

    // Brings the playlist container up to date (db_set_playlist).
    void finish();
};

// Adds a remote entry ("http://", "ftp://") whose path has the extension of
// a music type of this edition as a music item with that path (titled
// title, when given), and references it. Other entries are left out.
void playlist_add_remote(PlaylistBuild& build, const std::string& location,
                         const std::optional<std::string>& title = std::nullopt);
