// The media tree: one in-memory tree of containers, items and references,
// guarded by one lock, with indexes that answer every lookup without walking
// the tree (object id, path per class, title per container, references per
// item, keywords).
#pragma once

#include "db/db_node.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

struct MediaDb {
    DbContainer* root = nullptr;
    DbContainer* music_root = nullptr;
    DbContainer* all_tracks = nullptr;
    DbContainer* playlists = nullptr;
    DbContainer* last_played_list = nullptr;
    DbContainer* most_played_list = nullptr;
    DbContainer* radio = nullptr;
    DbContainer* radio_favorites = nullptr;
    DbContainer* picture_root = nullptr;
    DbContainer* all_pictures = nullptr;
    DbContainer* adobe_tags = nullptr;
    DbContainer* video_root = nullptr;
    DbContainer* all_videos = nullptr;
    uint32_t system_update_id = 0;
    bool changes_pending = false;
    // Every change mark counts here, flushed or not; the persistence writer
    // watches it.
    uint64_t change_count = 0;
    int64_t created_at = 0;
};

// The tree lock as a value. Every function that reads or changes the tree
// under a lock its caller took asks for a `const DbLock&` as its first
// argument, so the compiler, not a comment, says which calls need the lock;
// functions that take the lock themselves do not ask for one (calling them
// with the lock held would deadlock).
//
// For that argument to prove anything, a DbLock is always a held lock: only
// db_lock() makes one, already held, and only the end of its scope lets it
// go. It cannot be released early, copied or moved, so no function can be
// handed a lock that is not (or no longer) held, and the nodes reached
// through it stay valid for as long as the value lives (a long read that
// pauses is the one exception, see DbPause). Code that must do something
// without the lock (send an answer, read a file) takes the lock in an inner
// scope or a helper that returns what it built.
class DbLock
{
public:
    DbLock(const DbLock&) = delete;
    DbLock(DbLock&&) = delete;
    DbLock& operator=(const DbLock&) = delete;
    DbLock& operator=(DbLock&&) = delete;
    ~DbLock();

private:
    friend DbLock db_lock();
    DbLock();
};

// Waits for the tree lock and returns it held (as a prvalue: nothing is
// copied or moved on the way).
[[nodiscard]] DbLock db_lock();

// Whether no thread holds the tree lock at this moment, for tests that check
// that a request let it go. Never called by a thread that holds it.
bool db_lock_is_free();

// The top containers and counters of the tree; valid while the lock is held.
const MediaDb& db_tree(const DbLock& lock);

// A long read of the tree (a Search of a large library) gives the lock up for
// a moment every few milliseconds, so that other requests and the scanner are
// not held up for its whole length. What it found stays valid only while the
// tree has not changed meanwhile: db_pause_if_due then says so, and the read
// starts again. The reader's DbLock stays a held lock throughout from its own
// side (the pause lets the mutex go and takes it back before it returns);
// the non-const DbLock& it asks for marks the calls after which node
// pointers must be checked.
struct DbPause {
    uint64_t changes = 0;
    std::chrono::steady_clock::time_point since{};
    int pauses = 0;
};

// Starts the clock of a read (lock held).
DbPause db_pause_start(const DbLock& lock);

// When the lock has been held for the slice time, lets the mutex go, lets
// others run, and takes it again. False when the tree changed while it was
// free: every node pointer taken before may be gone. Pass null to never
// pause.
[[nodiscard]] bool db_pause_if_due(DbLock& lock, DbPause* pause);

// Builds the root and the top containers from the settings. Takes the lock.
void db_create();

// Frees the whole tree. Object ids keep growing across destroy and create.
// Takes the lock.
void db_destroy();

// The node with an object id that is linked in the tree, or null.
DbNode* db_find_by_id(const DbLock& lock, NodeId id);
DbContainer* db_as_container(DbNode* node);
DbItem* db_as_item(DbNode* node);
DbReference* db_as_reference(DbNode* node);

// The node itself for an item, the target for a reference, else null.
DbItem* db_target_item(const DbLock& lock, DbNode* node);

// Children in list order (newest first).
DbNode* db_first_child(const DbLock& lock, const DbContainer* container);
DbNode* db_next_sibling(const DbLock& lock, const DbNode* node);
DbContainer* db_parent(const DbLock& lock, const DbNode* node);

DbContainer* db_add_container(const DbLock& lock, std::string_view title, DbContainer* parent,
                              const char* upnp_class, bool permanent);
DbReference* db_add_reference(const DbLock& lock, DbContainer* container, DbItem* item,
                              int32_t order);

// The newest child container of parent titled exactly title, or null.
DbContainer* db_find_child(const DbLock& lock, const DbContainer* parent, std::string_view title);

// The item with that path in the container's subtree (directly or through a
// reference), or null.
DbItem* db_find_item_by_path(const DbLock& lock, const DbContainer* container,
                             std::string_view path);

// db_find_item_by_path in the container that owns items of the class.
DbItem* db_find_item_for_class(const DbLock& lock, std::string_view path, const char* upnp_class);

// The item in the container's subtree whose keywords equal text, or null.
DbItem* db_find_item_by_keywords(const DbLock& lock, const DbContainer* container,
                                 std::string_view text);

// Every container but the root, and every item, in no particular order:
// walks of the indexes, for lookups that would otherwise visit every node.
void db_for_each_container(const DbLock& lock, const std::function<void(DbContainer*)>& visit);
void db_for_each_item(const DbLock& lock, const std::function<void(DbItem*)>& visit);
// The same, ending early when visit returns false (a walk that paused and
// found the tree changed must not go on through indexes that may have moved).
void db_for_each_container_while(const DbLock& lock,
                                 const std::function<bool(DbContainer*)>& visit);
void db_for_each_item_while(const DbLock& lock, const std::function<bool(DbItem*)>& visit);

// Whether node lies in the subtree of container (container included).
bool db_in_subtree(const DbLock& lock, const DbNode* node, const DbContainer* container);

// 1 when there is no item for path in container, or the file's modification
// time differs from the item's or its size changed: it must be read. Older
// counts as changed too: a file restored from a backup keeps the time it
// had. Takes the lock around the search only.
int db_needs_update(const char* path, const DbContainer* container);

// The same for a file whose modification time and size (-1: not known, not
// compared) the caller already has.
int db_needs_update_since(const char* path, int64_t mtime, int64_t size,
                          const DbContainer* container);

// DbItemFields::playlist_order when none is given.
inline constexpr int32_t kDbNoPlaylistOrder = -1;

// What a reader learnt of an item's audio coding, as far as players ask for
// it before they play (the DLNA media profile). Unknown unless a reader is
// sure.
enum DbAudioFormat : int32_t {
    kAudioFormatUnknown = 0,
    kAudioFormatMp3 = 1,     // MPEG-1 Layer III
    kAudioFormatAacLc = 2,   // AAC-LC, 1 or 2 channels, 8-48 kHz, at most 320 kbit/s
    kAudioFormatAacLcHi = 3, // the same at more than 320, at most 576 kbit/s
};

// Everything db_add_item needs to know of one media object.
struct DbItemFields {
    const char* title = nullptr;
    const char* upnp_class = nullptr;
    const char* artist = nullptr;
    const char* album = nullptr;
    const char* genre = nullptr;
    const char* playlist = nullptr;
    const char* date = nullptr;
    const char* path = nullptr;
    const char* duration = nullptr;
    const char* description = nullptr;
    const char* keywords = nullptr;
    int32_t track = 0;
    int32_t width = 0;
    int32_t height = 0;
    int32_t album_art = 0;
    int32_t compilation = 0;
    int32_t bitrate = 0;
    int32_t audio_format = kAudioFormatUnknown;
    int64_t size = 0;
    int64_t mtime = 0;
    int64_t last_played = 0;
    int32_t play_count = 0;
    // The object id the item had before a restart (from the persistence
    // file): kept when it is still free, so that links players saved name
    // the same file. kNoNode for a new item.
    NodeId id = kNoNode;
    // With a playlist name: the order of the item's reference in that
    // playlist, apart from the item's own track number (kDbNoPlaylistOrder:
    // the track number is the order too, as callers of the fixed 21
    // arguments have it).
    int32_t playlist_order = kDbNoPlaylistOrder;
    // With a playlist name: the playlist file the reference comes from, so
    // that it goes into the container of that file (see db_set_playlist);
    // null: the newest playlist container of that name.
    const char* playlist_source = nullptr;
    // The library file the item comes from (see DbItem::library); an item
    // already in the tree takes it too. Null leaves an item's library as it
    // is.
    const char* library = nullptr;
};

enum DbAddResult : int {
    DB_ADDED = 0,
    DB_ADD_FAILED = 1,
    DB_ALREADY_PRESENT = 2,
};

// The one way media enter the tree: duplicates, re-reads, placement under the
// top containers and into the views. Takes the lock. The strings are copied.
int db_add_item(const DbItemFields& fields);

// The 21 arguments in their fixed order.
int db_add_item(const char* title, const char* upnp_class, const char* artist, const char* album,
                const char* genre, const char* playlist, const char* date, const char* path,
                const char* duration, const char* description, const char* keywords, int32_t track,
                int32_t width, int32_t height, int32_t album_art, int32_t compilation,
                int32_t bitrate, int64_t size, int64_t mtime, int64_t last_played,
                int32_t play_count);

// Removes every reference to item in the container's subtree.
void db_remove_references(const DbLock& lock, const DbContainer* container, DbItem* item);

// Unlinks the item from its parent and frees it (its references go too).
void db_unlink_item(const DbLock& lock, DbItem* item);

// Removes items whose files vanished. Takes the lock.
void db_purge_vanished();

// Removes empty containers that are not permanent and not directly below the
// root, children before parents. Takes the lock.
void db_prune_empty();

// Marks a container changed: its update id grows by at most one per flush.
void db_mark_changed(const DbLock& lock, DbContainer* container);

// The ContainerUpdateIDs text of the changed containers in tree order, and
// the new SystemUpdateID; nothing when nothing changed. Takes the lock; the
// caller (eventing) sends the result after the lock is released.
struct DbFlush {
    uint32_t system_update_id = 0;
    std::string container_update_ids;
};
std::optional<DbFlush> db_flush_events();

// The numeric id an ObjectID text names: the aliases "0\Music\",
// "0\Photo\", "0\Movie\", the music root for "0" when the requesting client
// is a music client (control tells), and otherwise the decimal value; kNoNode
// for any other text ("abc", " 5", "5x", "", a value past the id range), which
// names no object. An empty automatic playlist is filled first when the id is
// the list or a container above it, so that the childCount shown for it is
// what a Browse of it returns. Takes the lock.
NodeId db_resolve_object_id(const char* object_id, bool music_client);

// UpdateObject of one property: 200, 402, 403 or 501. Takes the lock.
int db_update_property(const char* object_id, const char* property, const char* current_value,
                       const char* new_value);

// Path and duration (ms; 0 when the bitrate is 0) of an item. Takes the lock.
struct DbLocation {
    std::string path;
    int64_t duration_ms = 0;
    int32_t audio_format = kAudioFormatUnknown; // what DLNA profile the file has
    int32_t width = 0;
    int32_t height = 0;
    // A station of the station list, whose address no file of the user
    // names (favourites and library streams carry their playlist).
    bool listed_station = false;
};
std::optional<DbLocation> db_item_location(const char* object_id);

// The first item (references resolved) with album art at or below a
// container, looked for depth first among at most kArtSearchNodes nodes so
// that a large container costs no more than a small one. Lock held.
inline constexpr int kArtSearchNodes = 256;
const DbItem* db_first_item_with_art(const DbLock& lock, const DbContainer* container);

// The file whose album art an object shows: an item's own file, or for a
// container that of its first item with art. Takes the lock.
std::optional<DbLocation> db_art_location(const char* object_id);

// What the play-status page shows of the object a client streams: whether
// it is a music track, its file and its title. Takes the lock.
struct DbPlayRow {
    bool music = false;
    std::string path;
    std::string title;
};
std::optional<DbPlayRow> db_play_row(NodeId id);

// The current SystemUpdateID. Takes the lock.
uint32_t db_system_update_id();

// The item's description. Takes the lock.
std::optional<std::string> db_item_description(const char* object_id);

// Removes every child of the radio container but the favourites. Takes the lock.
void db_clear_radio();

// Whether the radio container holds a genre container of that name. Takes
// the lock.
bool db_radio_has_genre(const char* genre);

// Drops every reference of the playlist container of that name below
// "Playlists", so that the playlist can be read anew. Takes the lock.
void db_clear_playlist(const char* name);

// One entry of a playlist file as read: the item it names (found by path
// and class) and the order of its reference.
struct DbPlaylistEntry {
    std::string path;
    const char* upnp_class = nullptr;
    int32_t order = 0;
};

// Makes the playlist container of the playlist file source (titled name,
// below "Playlists") reference exactly the entries' items, in their orders.
// Each playlist file has a container of its own, even when two files have
// the same title: a file read again replaces only what it put there. A
// container that already holds those references is not touched at all (no
// change mark, no event, no persistence write); otherwise references are
// re-pointed in place, added or dropped. Entries whose item is not in the
// tree are left out, and an item is referenced once. With shuffled (random
// orders), the same items in other orders count as no change. No container
// is made for a list without entries. Returns the references the container
// holds. Takes the lock.
size_t db_set_playlist(const char* source, const char* name,
                       const std::vector<DbPlaylistEntry>& entries, bool shuffled);

// A playlist source may name one playlist of a file that holds several (a
// music library): the file's path, this separator and the playlist's key.
// Such a playlist is gone when its file is.
inline constexpr char kDbSourcePartSeparator = '\n';

// The one copy of a library file's name that items point at: a library
// has tens of thousands of tracks, and their names are few. Kept for the
// life of the process.
const char* db_library_name(std::string_view file);

// The item stays in the tree as no library's (a scanned file that a library
// listed too); the library file learns it at its next write.
void db_release_from_library(const DbLock& lock, DbItem* item);

// What the tree holds of one library file: the items whose library it is,
// as (path, class), and the sources of its playlists (those that begin
// with the file and kDbSourcePartSeparator). Takes the lock.
struct DbLibraryHoldings {
    std::vector<std::pair<std::string, const char*>> items;
    std::vector<std::string> playlists;
};
DbLibraryHoldings db_library_holdings(const std::string& file);

// Removes the playlist container that the source made, when there is one.
// Takes the lock.
void db_remove_playlist(const char* source);

// Removes the playlist containers whose playlist file is gone (deleted or
// renamed). Part of db_purge_vanished. Takes the lock.
void db_purge_playlists();

// The parsed decimal id of an ObjectID text (leading digits; 0 without any).
// Media URLs name items this way ("12.mp3").
NodeId db_parse_id(const char* text);

// The id an ObjectID text of digits only names, or kNoNode for any other text
// or a value past the id range.
NodeId db_parse_object_id(const char* text);

// Nodes and ids in the tree, for the statistics and the benchmarks.
struct DbStats {
    int64_t nodes = 0;
    int64_t items = 0;
    int64_t containers = 0;
    int64_t references = 0;
    NodeId next_object_id = 0;
};
DbStats db_stats();

// Checks every index against a walk of the tree; empty when consistent, else
// the first disagreement. For tests.
std::string db_check_consistency(const DbLock& lock);
