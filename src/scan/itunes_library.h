// The import of an iTunes library file ("iTunes Music Library.xml", or the
// same property list re-saved by another tool): its tracks become music
// items (stream tracks radio stations in the favourites), its playlists
// playlist containers. The file is read as a stream of property-list tokens,
// so neither its size nor its line layout matters.
#pragma once

#include "core/threads.h"
#include "scan/library_sync.h"

#include <optional>
#include <string>
#include <string_view>

// The playlist that holds the library's stream tracks: stations live in the
// favourites, and the favourites hold only stations of some playlist.
inline constexpr const char* kItunesStationsList = "iTunes Radio";

// The local path of a track's Location: "file://localhost/" and "file://"
// URLs, percent-decoded, become paths ("/Users/x/a.mp3"; Windows paths keep
// their drive, "C:/Music/a b.mp3"; a host other than localhost gives
// "//host/share/..."). Any other text is taken as a path already. Nothing
// when the decoded path would hold a control byte.
std::optional<std::string> itunes_location_path(std::string_view location);

// One pass over the library file, all or nothing: the whole file is read
// first, then its tracks and playlists are added and what the tree says the
// library held before (after a restart too) and the file no longer holds is
// removed. A file that is not a regular file, or is malformed or cut short,
// ends the pass with a log line and leaves the tree as it was. running (may
// be null) ends the pass early when it is no longer 1. False when the file
// could not be read whole.
bool itunes_import(const std::string& file, const ThreadFlag* running = nullptr);
