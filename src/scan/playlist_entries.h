// What the three playlist readers share: finding the file an entry names,
// reading lines of bounded length, and numbering the entries (or shuffling
// them when "randomizeplaylists" asks for it).
#pragma once

#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

inline constexpr size_t kPlaylistLineLimit = 1023;

struct PlaylistLocation {
    std::string location;
    bool is_url = false;
};

// Where an entry of the playlist at playlist_path points: an "http://"
// address as it stands; an absolute Unix or Windows path that exists; else
// the entry joined to the playlist's directory, then to each content
// directory (or the working directory when there is none). Only existing
// regular files inside a content directory are found.
std::optional<PlaylistLocation> playlist_locate_entry(std::string_view entry,
                                                      const std::string& playlist_path);

// base and entry joined: "./" dropped, every leading "../" taking one
// component off base, backslashes as separators too; the result when a
// regular file is there (tried once more with backslashes turned into
// slashes), else nothing; a file outside the content directories is not
// there.
std::optional<std::string> playlist_join(std::string_view base, std::string_view entry);

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

// Adds an entry of a pls or wpl playlist: an MP3 or WMA file (by its
// extension) read with its reader and referenced in the playlist; other
// files are passed over.
void playlist_add_track(const std::string& location, const std::string& playlist,
                        PlaylistCounter& counter);
