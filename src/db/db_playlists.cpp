// Playlist containers made from playlist files: one container per file,
// brought up to date from a fresh read of the file without disturbing what
// did not change, and removed when the file is gone; and what the tree
// holds of each music library file.
#include "db/db_internal.h"
#include "db/db_values.h"

#include <algorithm>
#include <mutex>
#include <set>
#include <sys/stat.h>
#include <unordered_set>

namespace
{

// The container a playlist file made, when it is still in the tree as that
// file's playlist.
DbContainer* source_container(const DbLock& lock, std::string_view source)
{
    const auto& sources = db_state(lock).playlist_sources;
    const auto at = sources.find(source);
    if (at == sources.end()) {
        return nullptr;
    }
    DbContainer* c = db_as_container(db_find_by_id(lock, at->second));
    if (!c || !g_db.playlists || c->parent != g_db.playlists->id ||
        c->upnp_class != kClassPlaylist) {
        return nullptr;
    }
    return c;
}

struct Wanted {
    DbItem* item;
    int32_t order;
};

struct Held {
    DbReference* ref;
    DbItem* item;
};

// Whether the container already holds the wanted references: the same items
// in the same order, with the same orders unless they are random.
bool same_list(const std::vector<Held>& held, const std::vector<Wanted>& wanted, bool shuffled)
{
    if (held.size() != wanted.size()) {
        return false;
    }
    if (shuffled) {
        std::vector<NodeId> a;
        std::vector<NodeId> b;
        for (const Held& h : held) {
            a.push_back(h.item ? h.item->id : kNoNode);
        }
        for (const Wanted& w : wanted) {
            b.push_back(w.item->id);
        }
        std::sort(a.begin(), a.end());
        std::sort(b.begin(), b.end());
        return a == b;
    }
    for (size_t i = 0; i < held.size(); ++i) {
        if (held[i].item != wanted[i].item || held[i].ref->order != wanted[i].order) {
            return false;
        }
    }
    return true;
}

} // namespace

DbContainer* db_playlist_container(const DbLock& lock, const char* name, const char* source)
{
    if (!g_db.playlists || !name) {
        return nullptr;
    }
    if (source && *source) {
        if (DbContainer* c = source_container(lock, source)) {
            return c;
        }
        DbContainer* c = db_add_container(lock, name, g_db.playlists, kClassPlaylist, false);
        if (c) {
            // A file whose container was pruned may still name its id: the
            // id is this container's now.
            std::erase_if(db_state(lock).playlist_sources,
                          [&](const auto& entry) { return entry.second == c->id; });
            db_state(lock).playlist_sources[source] = c->id;
        }
        return c;
    }
    if (DbContainer* c = db_find_child(lock, g_db.playlists, name)) {
        return c;
    }
    return db_add_container(lock, name, g_db.playlists, kClassPlaylist, false);
}

size_t db_set_playlist(const char* source, const char* name,
                       const std::vector<DbPlaylistEntry>& entries, bool shuffled)
{
    if (!source || !*source || !name) {
        return 0;
    }
    const DbLock lock = db_lock();
    std::vector<Wanted> wanted;
    std::unordered_set<NodeId> seen;
    for (const DbPlaylistEntry& e : entries) {
        DbItem* item = e.upnp_class ? db_find_item_for_class(lock, e.path, e.upnp_class) : nullptr;
        if (item && seen.insert(item->id).second) {
            wanted.push_back({item, e.order});
        }
    }
    DbContainer* list = source_container(lock, source);
    // A new title (a wpl's title element edited) makes a new container: the
    // title index knows containers by the title they were made with.
    if (list && db_text_of(list->title) != db_clean_text(name)) {
        db_free_container(lock, list);
        list = nullptr;
    }
    if (!list) {
        db_state(lock).playlist_sources.erase(std::string(source));
        if (wanted.empty()) {
            return 0;
        }
        list = db_playlist_container(lock, name, source);
        if (!list) {
            return 0;
        }
    }
    std::vector<Held> held;
    for (DbNode* n = db_first_child(lock, list); n; n = db_next_sibling(lock, n)) {
        if (DbReference* ref = db_as_reference(n)) {
            held.push_back({ref, db_item_at(ref->target)});
        }
    }
    std::sort(held.begin(), held.end(), [](const Held& a, const Held& b) {
        return a.ref->order != b.ref->order ? a.ref->order < b.ref->order : a.ref->id < b.ref->id;
    });
    if (same_list(held, wanted, shuffled)) {
        return held.size();
    }
    // References keep their ids where they can: a player that saved the
    // third entry of a list still finds the list's third entry.
    const size_t common = std::min(held.size(), wanted.size());
    for (size_t i = 0; i < common; ++i) {
        if (held[i].item != wanted[i].item || held[i].ref->order != wanted[i].order) {
            db_repoint_reference(lock, held[i].ref, wanted[i].item, wanted[i].order);
        }
    }
    for (size_t i = common; i < held.size(); ++i) {
        db_free_node(lock, held[i].ref);
    }
    for (size_t i = common; i < wanted.size(); ++i) {
        db_add_reference(lock, list, wanted[i].item, wanted[i].order);
    }
    for (const Wanted& w : wanted) {
        if (!w.item->playlist) {
            w.item->playlist = DbText(db_text_of(list->title));
        }
    }
    return wanted.size();
}

void db_remove_playlist(const char* source)
{
    if (!source) {
        return;
    }
    const DbLock lock = db_lock();
    if (DbContainer* c = source_container(lock, source)) {
        db_free_container(lock, c);
    }
    db_state(lock).playlist_sources.erase(std::string(source));
}

void db_purge_playlists()
{
    // The files are examined without the lock, as in db_purge_vanished.
    std::vector<std::pair<std::string, NodeId>> sources;
    {
        const DbLock lock = db_lock();
        const auto& known = db_state(lock).playlist_sources;
        sources.assign(known.begin(), known.end());
    }
    std::vector<std::pair<std::string, NodeId>> gone;
    for (auto& [path, id] : sources) {
        const std::string file = path.substr(0, path.find(kDbSourcePartSeparator));
        struct stat st {
        };
        if (stat(file.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
            gone.emplace_back(std::move(path), id);
        }
    }
    if (gone.empty()) {
        return;
    }
    const DbLock lock = db_lock();
    auto& known = db_state(lock).playlist_sources;
    for (const auto& [path, id] : gone) {
        const auto at = known.find(path);
        // Read again meanwhile: another container now, or the same one.
        if (at == known.end() || at->second != id) {
            continue;
        }
        if (DbContainer* c = source_container(lock, path)) {
            db_free_container(lock, c);
        }
        known.erase(at);
    }
}

const char* db_library_name(std::string_view file)
{
    static std::mutex mutex;
    static auto* names = new std::set<std::string, std::less<>>; // items point here until exit
    const std::lock_guard<std::mutex> hold(mutex);
    auto at = names->find(file);
    if (at == names->end()) {
        at = names->emplace(file).first;
    }
    return at->c_str();
}

void db_release_from_library(const DbLock&, DbItem* item)
{
    item->library = nullptr;
    ++g_db.change_count;
}

DbLibraryHoldings db_library_holdings(const std::string& file)
{
    DbLibraryHoldings out;
    const char* library = db_library_name(file);
    const std::string prefix = file + kDbSourcePartSeparator;
    const DbLock lock = db_lock();
    db_for_each_item(lock, [&](DbItem* item) {
        if (item->library == library) {
            out.items.emplace_back(db_text_of(item->path), item->upnp_class);
        }
    });
    const auto& sources = db_state(lock).playlist_sources;
    for (auto at = sources.lower_bound(prefix);
         at != sources.end() && at->first.starts_with(prefix); ++at) {
        out.playlists.push_back(at->first);
    }
    return out;
}
