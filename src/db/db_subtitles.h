// The sidecar subtitle file of a video item: recorded by the scanner, read
// by the DIDL-Lite writer (from the item, without touching the disk) and by
// the handler that serves it.
#pragma once

#include <optional>
#include <string>

// Records the subtitle file of the video item with that path; empty
// subtitle_path: the video has none. A change marks the item's container
// changed. False when no video item has the path. Takes the lock.
bool db_set_subtitle(const std::string& video_path, const std::string& subtitle_path);

// The subtitle file of the item an ObjectID text names (references
// resolved); nothing when the item has none. Takes the lock.
std::optional<std::string> db_item_subtitle(const char* object_id);
