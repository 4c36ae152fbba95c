// What the imports of an external music library (an iTunes library file, an
// iPod database) share: opening the file, the checks every track's file
// passes, and bringing the tree to what one whole read of the file holds.
// The tree itself records which items came from which library (and the
// persistence file keeps that across a restart), so that an import can take
// out what the library no longer holds: nothing else would ever remove a
// track whose file still exists.
#pragma once

#include <cstdio>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>

struct LibraryContents {
    // Items as (path, class): the class is one of the tree's class
    // pointers, so that the pair names one item.
    std::set<std::pair<std::string, const char*>> items;
    // The playlist sources (see db_set_playlist) of its playlists.
    std::set<std::string> playlists;
};

// The playlist source for one playlist of a library file: the file and the
// playlist's key, which is made unique within one import by a counter when
// two playlists share it.
std::string library_playlist_source(const std::string& file, const std::string& key);

// Removes from the tree the items and playlists of the library file that
// now (one whole read of it) does not hold.
void library_replace(const std::string& file, const LibraryContents& now);

using LibraryFile = std::unique_ptr<FILE, decltype(&fclose)>;

// Opens the library file for reading: only a regular file, since a device
// or a pipe named by mistake (/dev/zero) would be read forever. Logs why
// when it cannot (what names the library in the log).
LibraryFile library_open(const std::string& file, const char* what);

// The refusals of one import's tracks: the first few are logged one by
// one, the rest counted, so that a library of 30 000 tracks on a disk that
// is not mounted writes a few lines and not 30 000.
inline constexpr int kLibraryRefusalsLogged = 5;
struct LibraryRefusals {
    int count = 0;
};

// Logs (within the bound) that a track was not added, and why.
void library_refuse(LibraryRefusals& refusals, const std::string& title, const std::string& path,
                    const char* why);

// Logs how many refusals went unlogged.
void library_refusals_end(const LibraryRefusals& refusals, const std::string& file);

// Why the file a library names for a track may not enter the tree, or
// nothing when it may: it must be a regular file of a music type this
// program plays, lying inside a content directory or a library's trusted
// music folder, all judged after every link is followed (a "song.mp3" that
// links to /etc/passwd is neither a music file nor inside).
std::optional<const char*> library_track_refusal(const std::string& path);
