#include "core/log.h"
#include "core/settings.h"
#include "core/time_util.h"
#include "core/titles.h"
#include "db/db_internal.h"
#include "db/db_values.h"
#include "db/node_store.h"
#include "db/views.h"

#include <array>
#include <iterator>
#include <sys/stat.h>
#include <tuple>

namespace
{

bool is_url(const char* path)
{
    return strncmp(path, "http://", 7) == 0 || strncmp(path, "ftp://", 6) == 0;
}

bool has_text(const char* s)
{
    return s && *s;
}

// Case adaptation may move an article to the end and so lengthen a value:
// the bound is applied again.
DbText adapted(const char* text)
{
    return text ? DbText(db_clean_text(adapt_case(text))) : DbText();
}

// The order of the reference a playlist add makes.
int32_t reference_order(const DbItemFields& f)
{
    return f.playlist_order != kDbNoPlaylistOrder ? f.playlist_order : f.track;
}

void add_to_playlist(const DbLock& lock, DbItem* item, const DbItemFields& f)
{
    if (DbContainer* list = db_playlist_container(lock, f.playlist, f.playlist_source)) {
        db_add_reference(lock, list, item, reference_order(f));
    }
}

// Gives the item its object id now, when it joins the tree as the first
// child of owner: siblings always run from the highest id to the lowest
// (events and the consistency check rely on it). The id it had before a
// restart is taken back when it is free and keeps that order (the file lists
// the items of a container from the lowest id up); else a new one is issued.
// False when no id is left.
bool enter_tree(const DbLock& lock, DbItem* item, const DbContainer* owner, NodeId wanted)
{
    const bool kept = wanted != kNoNode && (!owner || owner->first_child < wanted) &&
                      node_store_assign_at(item, wanted);
    if (!kept && node_store_assign(item) == kNoNode) {
        return false;
    }
    db_index_item(lock, item);
    return true;
}

std::unique_ptr<DbItem> make_item(const DbItemFields& f, const char* upnp_class)
{
    auto item = std::make_unique<DbItem>();
    item->kind = DB_ITEM;
    item->upnp_class = upnp_class;
    item->title = DbText(
        db_clean_text(has_text(f.title) ? adapt_case(f.title) : title_from_filename(f.path)));
    item->artist = adapted(f.artist);
    item->genre = adapted(f.genre);
    const bool music_like = upnp_class == kClassMusicTrack || upnp_class == kClassBroadcast;
    item->album = music_like ? adapted(f.album) : DbText::from(f.album);
    item->playlist = DbText::from(f.playlist);
    item->date = DbText::from(f.date);
    item->path = DbText(f.path);
    item->duration = DbText::from(f.duration);
    item->description = DbText::from(f.description);
    item->keywords = DbText::from(f.keywords);
    item->library = f.library ? db_library_name(f.library) : nullptr;
    db_copy_file_numbers(*item, f);
    item->mtime = f.mtime;
    item->last_played = f.last_played;
    item->play_count = f.play_count;
    item->duration_ms = static_cast<int32_t>(parse_duration(f.duration));
    return item;
}

// The top container whose views place items of the class, and the "all"
// container that owns them; both null for a class placed otherwise.
struct Home {
    DbContainer* top = nullptr;
    DbContainer* all = nullptr;
};

Home home_of(const DbLock&, const char* cls)
{
    if (cls == kClassPhoto) {
        return {g_db.picture_root, g_db.all_pictures};
    }
    if (cls == kClassMovie) {
        return {g_db.video_root, g_db.all_videos};
    }
    if (cls == kClassMusicTrack) {
        return {g_db.music_root, g_db.all_tracks};
    }
    return {};
}

// Links a new item into its place; false when the class has no place.
bool place(const DbLock& lock, DbItem* item, const DbItemFields& f)
{
    const NodeId wanted_id = f.id;
    const char* cls = item->upnp_class;
    const auto [top, all] = home_of(lock, cls);
    if (top) {
        if (!enter_tree(lock, item, all, wanted_id)) {
            return false;
        }
        if (all) {
            db_link_child(lock, all, item);
        } else {
            db_keep_unlinked(lock, item);
        }
        view_place_item(lock, item, top);
        if (cls == kClassMusicTrack && item->playlist) {
            add_to_playlist(lock, item, f);
        }
        return true;
    }
    if (cls != kClassBroadcast || !g_db.radio) {
        return false;
    }
    if (item->playlist && g_db.radio_favorites) {
        if (!enter_tree(lock, item, g_db.radio_favorites, kNoNode)) {
            return false;
        }
        db_link_child(lock, g_db.radio_favorites, item);
        add_to_playlist(lock, item, f);
        return true;
    }
    if (item->genre) {
        DbContainer* genre = db_find_child(lock, g_db.radio, item->genre.get());
        if (!genre) {
            genre = db_add_container(lock, item->genre.get(), g_db.radio, kClassMusicFolder, false);
        }
        if (genre && enter_tree(lock, item, genre, kNoNode)) {
            db_link_child(lock, genre, item);
            return true;
        }
    }
    // A station with neither a playlist nor a genre has no place; keeping it
    // unreachable would only leak it.
    return false;
}

// The text values a file gives its item.
constexpr DbText DbItem::*kItemTexts[] = {
    &DbItem::title, &DbItem::artist,   &DbItem::album,       &DbItem::genre,
    &DbItem::date,  &DbItem::duration, &DbItem::description, &DbItem::keywords,
};

// Whether two versions of an item show the same to a control point (the
// file's time is not shown).
bool same_visible(const DbItem& a, const DbItem& b)
{
    for (DbText DbItem::*t : kItemTexts) {
        if (static_cast<bool>(a.*t) != static_cast<bool>(b.*t) ||
            db_text_of(a.*t) != db_text_of(b.*t)) {
            return false;
        }
    }
    return a.track == b.track && a.width == b.width && a.height == b.height &&
           a.album_art == b.album_art && a.compilation == b.compilation && a.bitrate == b.bitrate &&
           a.audio_format == b.audio_format && a.size == b.size;
}

// A file read again because it changed: the item takes the new values but
// keeps its object id (players' saved links), its play count and time, and
// its references in playlists. Its places in the views follow the new values.
void update_in_place(const DbLock& lock, DbItem* item, DbItem& fresh)
{
    item->mtime = fresh.mtime;
    if (same_visible(*item, fresh)) {
        // Nobody is told, but the persistence file must learn the new time,
        // or the file would be read again after every restart.
        ++g_db.change_count;
        return;
    }
    const DbContainer* top = home_of(lock, item->upnp_class).top;
    for (DbNode* n = db_first_child(lock, top); n; n = db_next_sibling(lock, n)) {
        const DbContainer* c = db_as_container(n);
        if (c && c->view_number >= 101 && c->view_number <= 199) {
            db_remove_references(lock, c, item);
        }
    }
    db_unindex_keywords(lock, item);
    for (DbText DbItem::*t : kItemTexts) {
        item->*t = std::move(fresh.*t);
    }
    db_index_keywords(lock, item);
    db_copy_file_numbers(*item, fresh);
    db_retime_item(lock, item, fresh.duration_ms);
    // Every container still showing the item shows the new values.
    db_mark_changed(lock, db_container_at(item->parent));
    for (NodeId r = item->first_reference; r != kNoNode; r = db_reference_at(r)->next_reference) {
        db_mark_changed(lock, db_container_at(db_reference_at(r)->parent));
    }
    view_place_item(lock, item, home_of(lock, item->upnp_class).top);
}

// What an add does with an item already in the tree for the same path and
// class: a playlist name adds a reference to it, an item at least as new as
// the file stays, an older one is updated in place (stations, which have no
// views to follow their values, are freed and read anew).
enum class Existing {
    None,    // nothing there (any more): go on and add
    Present, // result DB_ALREADY_PRESENT
    Stale,   // the file changed: the item is to be updated in place
};

Existing settle_existing(const DbLock& lock, const DbItemFields& f, const char* cls,
                         DbItem** stale = nullptr)
{
    DbItem* existing = cls ? db_find_item_for_class(lock, f.path, cls) : nullptr;
    if (!existing) {
        return Existing::None;
    }
    if (f.library && existing->library != db_library_name(f.library)) {
        // A library now holds an item another reader (the persistence file
        // of an older version, the scanner, another library) added: the
        // library's next import takes it out when the library drops it. The
        // persistence file has to learn it, so the tree counts a change.
        existing->library = db_library_name(f.library);
        ++g_db.change_count;
    }
    if (has_text(f.playlist)) {
        // The item stays as it is: its track number is its own, the place
        // in the list is the reference's order.
        if (!existing->playlist) {
            existing->playlist = DbText(f.playlist);
        }
        if (DbContainer* list = db_playlist_container(lock, f.playlist, f.playlist_source)) {
            if (!db_find_item_by_path(lock, list, f.path)) {
                db_add_reference(lock, list, existing, reference_order(f));
            }
        }
        return Existing::Present;
    }
    const bool changed = existing->mtime != f.mtime || existing->size != f.size;
    if (changed && home_of(lock, cls).top) {
        if (stale) {
            *stale = existing;
        }
        return Existing::Stale;
    }
    if (f.track != 0 && existing->track != f.track) {
        existing->track = f.track;
        // The track number orders children: sorted orders kept for pages
        // must see the change.
        db_mark_changed(lock, db_container_at(existing->parent));
    }
    if (!changed) {
        return Existing::Present;
    }
    db_free_item(lock, existing);
    return Existing::None;
}

// The text fields of an add as the tree keeps them (see db_clean_text);
// fields points into store, so the record stays where it was made.
struct CleanFields {
    explicit CleanFields(const DbItemFields& raw) : fields(raw)
    {
        static constexpr const char* DbItemFields::*kTexts[] = {
            &DbItemFields::title,    &DbItemFields::artist,      &DbItemFields::album,
            &DbItemFields::genre,    &DbItemFields::playlist,    &DbItemFields::date,
            &DbItemFields::duration, &DbItemFields::description, &DbItemFields::keywords,
        };
        static_assert(std::size(kTexts) == std::tuple_size_v<decltype(store)>);
        for (size_t i = 0; i < std::size(kTexts); ++i) {
            if (const char* text = raw.*kTexts[i]) {
                store[i] = db_clean_text(text);
                fields.*kTexts[i] = store[i].c_str();
            }
        }
    }
    CleanFields(const CleanFields&) = delete;
    CleanFields& operator=(const CleanFields&) = delete;

    DbItemFields fields;
    std::array<std::string, 9> store;
};

} // namespace

int db_add_item(const DbItemFields& raw)
{
    if (!raw.path) {
        return DB_ADD_FAILED;
    }
    // Every reader (tags, file names, playlists, EXIF, station lists, the
    // persistence file) adds through here, so this is where values are made
    // fit for the tree. A path is refused rather than changed: a cleaned path
    // would name another file.
    if (!db_path_acceptable(raw.path)) {
        log_msg(LOG_PROBLEM, LOG_CAT_DB, "item path refused (control byte or too long): %s\n",
                db_clean_text(raw.path, kDbMaxPath).c_str());
        return DB_ADD_FAILED;
    }
    const CleanFields clean(raw);
    const DbItemFields& f = clean.fields;
    const char* cls = f.upnp_class ? db_class_from_text(f.upnp_class) : nullptr;
    {
        const DbLock lock = db_lock();
        if (settle_existing(lock, f, cls) == Existing::Present) {
            return DB_ALREADY_PRESENT;
        }
    }
    // The file is examined and the item built without the lock.
    if (!is_url(f.path)) {
        struct stat st {
        };
        if (stat(f.path, &st) != 0) {
            log_msg(LOG_PROBLEM, LOG_CAT_DB, "item could not be found on disk: %s\n", f.path);
            return DB_ADD_FAILED;
        }
    }
    if (!cls) {
        return DB_ADD_FAILED;
    }
    std::unique_ptr<DbItem> item = make_item(f, cls);
    const DbLock lock = db_lock();
    // Another writer may have added the same path while the lock was free;
    // the same rules then apply to its item, so one item per path remains.
    DbItem* stale = nullptr;
    switch (settle_existing(lock, f, cls, &stale)) {
    case Existing::Present:
        return DB_ALREADY_PRESENT;
    case Existing::Stale:
        update_in_place(lock, stale, *item);
        return DB_ADDED;
    case Existing::None:
        break;
    }
    if (!place(lock, item.get(), f)) {
        if (item->id == kNoNode && node_store_next_id() == INT32_MAX) {
            log_msg(LOG_ERROR, LOG_CAT_DB, "no object id left for %s\n", f.path);
        }
        return DB_ADD_FAILED;
    }
    item.release(); // the tree owns it now
    return DB_ADDED;
}

int db_add_item(const char* title, const char* upnp_class, const char* artist, const char* album,
                const char* genre, const char* playlist, const char* date, const char* path,
                const char* duration, const char* description, const char* keywords, int32_t track,
                int32_t width, int32_t height, int32_t album_art, int32_t compilation,
                int32_t bitrate, int64_t size, int64_t mtime, int64_t last_played,
                int32_t play_count)
{
    DbItemFields f;
    f.title = title;
    f.upnp_class = upnp_class;
    f.artist = artist;
    f.album = album;
    f.genre = genre;
    f.playlist = playlist;
    f.date = date;
    f.path = path;
    f.duration = duration;
    f.description = description;
    f.keywords = keywords;
    f.track = track;
    f.width = width;
    f.height = height;
    f.album_art = album_art;
    f.compilation = compilation;
    f.bitrate = bitrate;
    f.size = size;
    f.mtime = mtime;
    f.last_played = last_played;
    f.play_count = play_count;
    return db_add_item(f);
}
