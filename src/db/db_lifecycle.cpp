// The tree as a whole: its lock, its state, and building and freeing it.
#include "core/edition.h"
#include "core/log.h"
#include "core/settings.h"
#include "db/db_internal.h"
#include "db/views.h"

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <thread>

MediaDb g_db;

DbState& db_state(const DbLock&)
{
    static auto* state = new DbState;
    return *state;
}

namespace
{

// The tree lock itself. Only DbLock and the pause of a long read touch it:
// anything else that could unlock it would make a `const DbLock&` a claim
// rather than a proof.
std::mutex& tree_mutex()
{
    static auto* m = new std::mutex;
    return *m;
}

// How long a long read holds the lock at a stretch. Short enough that a
// Browse or a stream start beside it is not noticed, long enough that the
// pauses cost little of the read's own time.
constexpr auto kPauseSlice = std::chrono::milliseconds(4);

} // namespace

DbLock::DbLock()
{
    tree_mutex().lock();
}

DbLock::~DbLock()
{
    tree_mutex().unlock();
}

DbLock db_lock()
{
    return DbLock();
}

bool db_lock_is_free()
{
    if (!tree_mutex().try_lock()) {
        return false;
    }
    tree_mutex().unlock();
    return true;
}

DbPause db_pause_start(const DbLock& lock)
{
    DbPause pause;
    pause.changes = db_tree(lock).change_count;
    pause.since = std::chrono::steady_clock::now();
    return pause;
}

bool db_pause_if_due(DbLock& lock, DbPause* pause)
{
    if (!pause) {
        return true;
    }
    const auto now = std::chrono::steady_clock::now();
    if (now - pause->since < kPauseSlice) {
        return true;
    }
    // The caller's lock is let go and taken back under it: from the caller's
    // side it is held throughout, and the change count below tells whether
    // what it found before is still there.
    tree_mutex().unlock();
    // Long enough for a thread that waits on the lock to wake and take it:
    // the mutex is not fair, and a bare yield would often take it back.
    std::this_thread::sleep_for(std::chrono::microseconds(50));
    tree_mutex().lock();
    ++pause->pauses;
    pause->since = std::chrono::steady_clock::now();
    return db_tree(lock).change_count == pause->changes;
}

const MediaDb& db_tree(const DbLock&)
{
    return g_db;
}

namespace
{

DbContainer* add_top(const DbLock& lock, int title_key, DbContainer* parent, const char* upnp_class)
{
    return db_add_container(lock, setting_str(title_key), parent, upnp_class, true);
}

} // namespace

void db_create()
{
    srand(static_cast<unsigned>(time(nullptr)));
    log_msg(LOG_INFO, LOG_CAT_DB, "creating Database\n");

    const DbLock lock = db_lock();
    g_db.created_at = time(nullptr);
    auto* root = new DbContainer;
    root->kind = DB_CONTAINER;
    root->title = DbText("root");
    root->upnp_class = kClassContainer;
    root->permanent = true;
    node_store_put(0, root);
    g_db.root = root;

    // The music edition hangs its music containers directly below the root.
    g_db.music_root =
        edition_music_only() ? root : add_top(lock, KEY_ROOTMUSIC, root, kClassMusicFolder);
    if (DbContainer* music = g_db.music_root) {
        g_db.playlists = add_top(lock, KEY_PLAYLISTS, music, kClassPlaylist);
        if (g_db.playlists && setting_int(KEY_PLAYLISTNUMENTRIES) != 0) {
            g_db.most_played_list =
                add_top(lock, KEY_PLAYLISTMOSTPLAYED, g_db.playlists, kClassPlaylist);
            g_db.last_played_list =
                add_top(lock, KEY_PLAYLISTLASTPLAYED, g_db.playlists, kClassPlaylist);
        }
        std::string all_tracks = setting_str(KEY_ALLTRACKS);
        g_db.all_tracks =
            db_add_container(lock, all_tracks.empty() ? "All Tracks [is needed]" : all_tracks,
                             music, kClassContainer, true);
        g_db.radio = add_top(lock, KEY_INTERNETRADIO, music, kClassContainer);
        g_db.radio_favorites = add_top(lock, KEY_ALLOWNRADIOSTATIONS, g_db.radio, kClassContainer);
        for (int n = 1; n <= 10; ++n) {
            view_create_root(lock, KEY_MUSICNODE1 + n - 1, 100 + n, music, kClassContainer);
        }
    }
    if (edition_music_only()) {
        return;
    }
    g_db.picture_root = add_top(lock, KEY_ROOTPICTURE, root, kClassContainer);
    if (DbContainer* pictures = g_db.picture_root) {
        if (!setting_str(KEY_ADOBEDSN).empty()) {
            g_db.adobe_tags =
                db_add_container(lock, "- Adobe Tags -", pictures, kClassContainer, true);
        }
        g_db.all_pictures = add_top(lock, KEY_ALLPICTURES, pictures, kClassContainer);
        for (int n = 1; n <= 5; ++n) {
            view_create_root(lock, KEY_PICTURENODE1 + n - 1, 130 + n, pictures, kClassContainer);
        }
    }
    g_db.video_root = add_top(lock, KEY_ROOTVIDEO, root, kClassContainer);
    if (DbContainer* videos = g_db.video_root) {
        g_db.all_videos = add_top(lock, KEY_ALLVIDEOS, videos, kClassContainer);
        for (int n = 1; n <= 5; ++n) {
            view_create_root(lock, KEY_VIDEONODE1 + n - 1, 160 + n, videos, kClassContainer);
        }
    }
}

void db_destroy()
{
    const DbLock lock = db_lock();
    DbState& state = db_state(lock);
    if (g_db.root) {
        db_free_container(lock, g_db.root);
    }
    for (NodeId id : state.unlinked_items) {
        if (DbItem* item = db_as_item(node_store_get(id))) {
            db_free_item(lock, item);
        }
    }
    db_indexes_clear(lock);
    // The lists go with their memory: a rebuilt tree starts as small as the
    // first one did.
    state.unlinked_items = {};
    state.pending = {};
    state.prune_candidates = {};
    state.playlist_sources = {};
    node_store_release_references();
    node_store_restart_ids();
    const uint32_t update_id = g_db.system_update_id;
    const uint64_t changes = g_db.change_count;
    g_db = MediaDb{};
    // SystemUpdateID only grows, also across a restart of the services.
    g_db.system_update_id = update_id;
    g_db.change_count = changes;
}
