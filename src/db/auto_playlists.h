// Playlists that maintain themselves from the plays the server serves
// ("- Last Played -", "- Most Played -"), and containers as m3u playlists.
#pragma once

#include "core/strbuf.h"
#include "db/media_db.h"

#include <optional>

// Counts a play of the item (or reference target) with that ObjectID, at
// when (seconds since 1970; now when not given), and keeps both lists up to
// date. Takes the lock.
void db_item_played(const char* object_id, std::optional<int64_t> when = std::nullopt);

// Keep one list up to date for one item. The caller holds the lock.
void most_played_update(const DbLock& lock, DbItem* item);
void last_played_update(const DbLock& lock, DbItem* item);

// Fill an empty list from "All Tracks". Take the lock.
void most_played_fill();
void last_played_fill();

// Fills each empty list that a request for the object with that id shows:
// the list itself, or a container above it whose listing or search shows the
// list with its childCount. Takes the lock.
void auto_playlists_fill_for(NodeId id);

// The m3u text of a container's music (its subtree), or nothing when the id
// is not a container. The text stops growing after about 1 000 000 bytes.
// Takes the lock.
inline constexpr int kM3uLimit = 1000000;
std::optional<StrBuf> m3u_for_container(const char* object_id, const char* base_url);

// Total duration (ms) of the music below a container, counting a
// reference's target once per reference. The caller holds the lock.
int64_t music_duration_total(const DbLock& lock, const DbContainer* container);
