// The directory scanner: one thread that walks every content directory at
// start-up (after the persistence file was read) and again every "scantime"
// minutes or on request, reads new and changed files with the reader of
// their extension, and after each later pass drops the items whose files
// are gone and the containers left empty.
//
// The walk works with directory descriptors and never changes the working
// directory, which other threads rely on. It follows a symbolic link only
// to a place inside a content directory, never enters /proc, /sys or /dev,
// and reads each directory once per pass, known by its device and inode (a
// link back up, a link to a folder elsewhere in the library, a content
// directory inside another). Files are named by their canonical paths: a
// content directory written with a trailing slash or reached through a link,
// and a file reached through a link, give the same item as the plain path.
#pragma once

#include "core/threads.h"

#include <set>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <tuple>

// Depth of the deepest directory read below a content directory.
inline constexpr int kScanMaxDepth = 20;

// Starts the scanner thread; it waits for the persistence reader first.
void scan_thread_start(ThreadFlag& flag, const ThreadFlag& reader_flag);

// One pass over every content directory, or over the requested one.
void scan_all(const ThreadFlag& flag);

// What one pass remembers: the directories it walked, with the kind filter
// they were walked for.
struct ScanPass {
    std::set<std::tuple<dev_t, ino_t, char>> walked;
};

// Walks one directory (depth 0 for a content directory); filter is 'M', 'P',
// 'V' or 0 for every kind. Without a pass, the directory is a pass of its own.
void scan_directory(const std::string& directory, const ThreadFlag& flag, char filter, int depth);
void scan_directory(const std::string& directory, const ThreadFlag& flag, char filter, int depth,
                    ScanPass& pass);

// 1 when files read directly from the directory are compilations (its path
// holds an element of "compilationsdir"), else 0.
int scan_compilation_flag(std::string_view directory);

// What scan_playlist_entry made of a file.
enum class ScanEntry {
    Music,   // a music reader takes it: read when new or changed
    Other,   // a picture, a video or another playlist: not read
    Unknown, // no reader of this program knows the extension
};

// Reads a file a playlist names as a pass over its directory would: with
// the music reader of its extension and its directory's compilation flag,
// when it is new or changed. A playlist naming a playlist is not followed:
// two that name each other would never end.
ScanEntry scan_playlist_entry(const std::string& path);

// Reads one file with the first reader of its extension that applies, when
// it is new or changed since it was read (st: the file's).
void scan_file(const std::string& path, char filter, int compilation, const struct stat& st);

// A rescan request of the "/rescan" page: dir empty for every content
// directory. False when one is already pending.
bool scan_request(const std::string& dir);

// Whether a rescan is pending, and which directory it is for.
bool scan_requested();
std::string scan_requested_dir();
