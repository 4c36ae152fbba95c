// The directory scanner: one thread that walks every content directory at
// start-up (after the persistence file was read) and again every "scantime"
// minutes or on request, reads new and changed files with the reader of
// their extension, and after each later pass drops the items whose files
// are gone and the containers left empty.
//
// The walk works with directory descriptors and never changes the working
// directory, which other threads rely on. It follows a symbolic link only
// to a place inside a content directory, never enters /proc, /sys or /dev,
// and never enters a directory that is already open on its way down (a link
// back up, a bind mount of a directory inside itself).
#pragma once

#include "core/threads.h"

#include <string>
#include <sys/types.h>

// Depth of the deepest directory read below a content directory.
inline constexpr int kScanMaxDepth = 20;

// Starts the scanner thread; it waits for the persistence reader first.
void scan_thread_start(ThreadFlag& flag, const ThreadFlag& reader_flag);

// One pass over every content directory, or over the requested one.
void scan_all(const ThreadFlag& flag);

// Walks one directory (depth 0 for a content directory); filter is 'M', 'P',
// 'V' or 0 for every kind.
void scan_directory(const std::string& directory, const ThreadFlag& flag, char filter, int depth);

// Reads one file with the first reader of its extension that applies, when
// it is new or changed since it was read (mtime: the file's).
void scan_file(const std::string& path, char filter, int compilation, time_t mtime);

// A rescan request of the "/rescan" page: dir empty for every content
// directory. False when one is already pending.
bool scan_request(const std::string& dir);

// Whether a rescan is pending, and which directory it is for.
bool scan_requested();
std::string scan_requested_dir();
