// What the files of the media tree share and nothing outside needs: the
// tree's mutable state in one record, and the operations below the public
// interface. Each operation here asks for the caller's `const DbLock&`, as
// the public ones do: a helper deep below an entry point can only be reached
// by passing down the lock that entry point took, so no call can reach the
// tree without it, in release builds as in debug ones. Only the plain node
// accessors below (and g_db) take no lock; they are the raw material of
// those operations, and of the index traits that run inside them.
#pragma once

#include "db/db_index.h"
#include "db/media_db.h"
#include "db/node_store.h"

#include <map>
#include <string>
#include <string_view>
#include <vector>

// The tops and counters of the tree. Outside db they are reached through
// db_tree(lock).
extern MediaDb g_db;

// Everything the tree keeps besides its nodes and g_db.
struct DbState {
    DbIndexes indexes;
    // Containers marked changed since the last flush.
    std::vector<NodeId> pending;
    // Containers that may have become empty since the last prune.
    std::vector<NodeId> prune_candidates;
    // Items that live only in views (see db_keep_unlinked).
    std::vector<NodeId> unlinked_items;
    // The playlist container each playlist file made (see db_set_playlist).
    std::map<std::string, NodeId, std::less<>> playlist_sources;
};

// Never destroyed: a worker may still touch the tree while the process exits.
DbState& db_state(const DbLock& lock);

inline DbContainer* db_container_at(NodeId id)
{
    return static_cast<DbContainer*>(node_store_get(id));
}

inline DbItem* db_item_at(NodeId id)
{
    return static_cast<DbItem*>(node_store_get(id));
}

inline DbReference* db_reference_at(NodeId id)
{
    return static_cast<DbReference*>(node_store_get(id));
}

inline std::string_view db_text_of(const DbText& t)
{
    return t ? std::string_view(t.get()) : std::string_view();
}

// The numbers a reader finds in a file, copied between the records that
// carry them: an add's fields, a stored record, an item.
template <typename To, typename From> void db_copy_file_numbers(To& to, const From& from)
{
    to.track = from.track;
    to.width = from.width;
    to.height = from.height;
    to.album_art = from.album_art;
    to.compilation = from.compilation;
    to.bitrate = from.bitrate;
    to.audio_format = from.audio_format;
    to.size = from.size;
}

// Links child at the head of parent's list, with its count, change mark,
// indexes and duration totals.
void db_link_child(const DbLock& lock, DbContainer* parent, DbNode* child);

// Takes a child out of its parent's list (the node stays allocated).
void db_unlink_child(const DbLock& lock, DbNode* child);

// Frees an item: its references everywhere, its place and its index entries.
void db_free_item(const DbLock& lock, DbItem* item);

// Frees a container with its whole subtree.
void db_free_container(const DbLock& lock, DbContainer* container);

// Frees any node with what it owns.
void db_free_node(const DbLock& lock, DbNode* node);

// Keeps an item that has no "all" container to live in (its top container's
// title setting was emptied), so that it is freed with the tree.
void db_keep_unlinked(const DbLock& lock, DbItem* item);

// Points a reference at another item, keeping its place and id.
void db_repoint_reference(const DbLock& lock, DbReference* ref, DbItem* item, int32_t order);

// Gives an item another duration, with the music totals of every container
// holding it or a reference to it.
void db_retime_item(const DbLock& lock, DbItem* item, int32_t duration_ms);

// The playlist container below "Playlists" that a playlist reference goes
// into: the one the playlist file source made (made now when there is none),
// or without a source the newest one titled name (made when there is none).
// Null when there is no "Playlists" container.
DbContainer* db_playlist_container(const DbLock& lock, const char* name, const char* source);

// The container owning items of a class, or null.
DbContainer* db_owner_for_class(const DbLock& lock, const char* upnp_class);

// What a node adds to the music duration total of its container.
int64_t db_music_contribution(const DbLock& lock, const DbNode* node);
