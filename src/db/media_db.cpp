#include "db/media_db.h"

#include "control/clients.h"
#include "core/edition.h"
#include "core/log.h"
#include "core/settings.h"
#include "core/time_util.h"
#include "db/auto_playlists.h"
#include "db/db_internal.h"
#include "db/id_hash_set.h"
#include "db/node_store.h"
#include "db/views.h"

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <sys/stat.h>
#include <vector>

MediaDb g_db;

namespace
{

void (*g_event_sink)(uint32_t, const std::string&) = nullptr;

// Containers marked changed since the last flush, and containers that may
// have become empty since the last prune.
std::vector<NodeId> g_pending;
std::vector<NodeId> g_prune_candidates;

// Items that live only in views (see db_keep_unlinked).
std::vector<NodeId> g_unlinked_items;

size_t mix(size_t h, size_t v)
{
    return (h ^ v) * 0x100000001b3ULL;
}

size_t hash_text(std::string_view text)
{
    return std::hash<std::string_view>{}(text);
}

DbContainer* container_at(NodeId id)
{
    return static_cast<DbContainer*>(node_store_get(id));
}

DbItem* item_at(NodeId id)
{
    return static_cast<DbItem*>(node_store_get(id));
}

DbReference* reference_at(NodeId id)
{
    return static_cast<DbReference*>(node_store_get(id));
}

std::string_view text_of(const DbText& t)
{
    return t ? std::string_view(t.get()) : std::string_view();
}

// --- title index: (parent, title) -> newest container -----------------------

struct TitleKey {
    NodeId parent;
    std::string_view title;
};

struct TitleTraits {
    static size_t hash(const TitleKey& k)
    {
        return mix(hash_text(k.title), static_cast<size_t>(k.parent));
    }
    static size_t hash(NodeId id)
    {
        const DbContainer* c = container_at(id);
        return hash(TitleKey{c->parent, text_of(c->title)});
    }
    static bool equal(NodeId id, const TitleKey& k)
    {
        const DbContainer* c = container_at(id);
        return c->parent == k.parent && text_of(c->title) == k.title;
    }
};

IdHashSet<TitleKey, TitleTraits> g_titles;

// --- path index: (item class, path) -> items ----------------------------------

struct PathKey {
    const char* upnp_class;
    std::string_view path;
};

struct PathTraits {
    static size_t hash(const PathKey& k)
    {
        return mix(hash_text(k.path), reinterpret_cast<size_t>(k.upnp_class));
    }
    static size_t hash(NodeId id)
    {
        const DbItem* i = item_at(id);
        return hash(PathKey{i->upnp_class, text_of(i->path)});
    }
    static bool equal(NodeId id, const PathKey& k)
    {
        const DbItem* i = item_at(id);
        return i->upnp_class == k.upnp_class && text_of(i->path) == k.path;
    }
};

IdHashSet<PathKey, PathTraits> g_paths;

// --- keywords index: keywords -> items ------------------------------------------

struct KeywordsTraits {
    static size_t hash(std::string_view k)
    {
        return hash_text(k);
    }
    static size_t hash(NodeId id)
    {
        return hash_text(text_of(item_at(id)->keywords));
    }
    static bool equal(NodeId id, std::string_view k)
    {
        return text_of(item_at(id)->keywords) == k;
    }
};

IdHashSet<std::string_view, KeywordsTraits> g_keywords;

// Chains of equal keys: the set holds the head, each node links the next.
template <typename Set, typename Key, typename Next>
void chain_insert(Set& set, const Key& key, NodeId id, Next next_of)
{
    NodeId head = set.find(key);
    if (head == kNoNode) {
        next_of(id) = kNoNode;
        set.insert(id);
        return;
    }
    next_of(id) = head;
    set.replace(head, id);
}

template <typename Set, typename Key, typename Next>
void chain_remove(Set& set, const Key& key, NodeId id, Next next_of)
{
    NodeId head = set.find(key);
    if (head == id) {
        NodeId next = next_of(id);
        if (next == kNoNode) {
            set.erase(id);
        } else {
            set.replace(id, next);
        }
        return;
    }
    for (NodeId at = head; at != kNoNode; at = next_of(at)) {
        if (next_of(at) == id) {
            next_of(at) = next_of(id);
            return;
        }
    }
}

auto& next_same_title(NodeId id)
{
    return container_at(id)->next_same_title;
}

auto& next_same_path(NodeId id)
{
    return item_at(id)->next_same_path;
}

auto& next_same_keywords(NodeId id)
{
    return item_at(id)->next_same_keywords;
}

// --- music totals -----------------------------------------------------------

int64_t music_contribution(const DbNode* node)
{
    switch (node->kind) {
    case DB_ITEM: {
        const auto* item = static_cast<const DbItem*>(node);
        return item->upnp_class == kClassMusicTrack ? item->duration_ms : 0;
    }
    case DB_REFERENCE: {
        const DbItem* target = item_at(static_cast<const DbReference*>(node)->target);
        return target && target->upnp_class == kClassMusicTrack ? target->duration_ms : 0;
    }
    default:
        return static_cast<const DbContainer*>(node)->music_ms;
    }
}

void add_music(DbContainer* from, int64_t ms)
{
    if (ms == 0) {
        return;
    }
    for (DbContainer* c = from; c; c = container_at(c->parent)) {
        c->music_ms += ms;
    }
}

void mark_prune_candidate(DbContainer* c)
{
    if (!c->prune_candidate) {
        c->prune_candidate = true;
        g_prune_candidates.push_back(c->id);
    }
}

// Takes a reference out of its target's list of references.
void unchain_reference(DbReference* ref)
{
    DbItem* target = item_at(ref->target);
    if (!target) {
        return;
    }
    NodeId* link = &target->first_reference;
    while (*link != kNoNode && *link != ref->id) {
        link = &reference_at(*link)->next_reference;
    }
    if (*link == ref->id) {
        *link = ref->next_reference;
    }
}

void free_reference(DbReference* ref)
{
    if (ref->parent != kNoNode) {
        db_unlink_child(ref);
    }
    unchain_reference(ref);
    node_store_free(ref);
}

void free_container(DbContainer* c)
{
    while (c->first_child != kNoNode) {
        DbNode* child = node_store_get(c->first_child);
        switch (child->kind) {
        case DB_CONTAINER:
            free_container(static_cast<DbContainer*>(child));
            break;
        case DB_ITEM:
            db_free_item(static_cast<DbItem*>(child));
            break;
        default:
            free_reference(static_cast<DbReference*>(child));
            break;
        }
    }
    if (c->parent != kNoNode) {
        db_unlink_child(c);
    }
    node_store_free(c);
}

DbContainer* add_top(int title_key, DbContainer* parent, const char* upnp_class)
{
    return db_add_container(setting_str(title_key), parent, upnp_class, true);
}

// Whether a's subtree position comes before b's in a depth-first walk. Siblings
// run from the newest (highest id) to the oldest.
std::vector<NodeId> chain_from_root(NodeId id)
{
    std::vector<NodeId> chain;
    for (const DbNode* n = node_store_get(id); n; n = node_store_get(n->parent)) {
        chain.push_back(n->id);
    }
    std::reverse(chain.begin(), chain.end());
    return chain;
}

bool tree_order_before(const std::vector<NodeId>& a, const std::vector<NodeId>& b)
{
    const size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i) {
        if (a[i] != b[i]) {
            return a[i] > b[i];
        }
    }
    return a.size() < b.size();
}

} // namespace

// --- lock ----------------------------------------------------------------------

std::mutex& db_mutex()
{
    static auto* m = new std::mutex;
    return *m;
}

void db_lock()
{
    db_mutex().lock();
}

void db_unlock()
{
    db_mutex().unlock();
}

// --- node access ------------------------------------------------------------------

DbNode* db_find_by_id(NodeId id)
{
    DbNode* node = node_store_get(id);
    // Only nodes in the tree are found: the root, and nodes with a parent.
    if (!node || (node->parent == kNoNode && node != g_db.root)) {
        return nullptr;
    }
    return node;
}

DbContainer* db_as_container(DbNode* node)
{
    return node && node->kind == DB_CONTAINER ? static_cast<DbContainer*>(node) : nullptr;
}

DbItem* db_as_item(DbNode* node)
{
    return node && node->kind == DB_ITEM ? static_cast<DbItem*>(node) : nullptr;
}

DbReference* db_as_reference(DbNode* node)
{
    return node && node->kind == DB_REFERENCE ? static_cast<DbReference*>(node) : nullptr;
}

DbItem* db_target_item(DbNode* node)
{
    if (DbItem* item = db_as_item(node)) {
        return item;
    }
    if (DbReference* ref = db_as_reference(node)) {
        return item_at(ref->target);
    }
    return nullptr;
}

DbNode* db_first_child(const DbContainer* container)
{
    return container ? node_store_get(container->first_child) : nullptr;
}

DbNode* db_next_sibling(const DbNode* node)
{
    return node ? node_store_get(node->next) : nullptr;
}

DbContainer* db_parent(const DbNode* node)
{
    return node ? container_at(node->parent) : nullptr;
}

bool db_in_subtree(const DbNode* node, const DbContainer* container)
{
    if (!container) {
        return false;
    }
    for (; node; node = node_store_get(node->parent)) {
        if (node == container) {
            return true;
        }
    }
    return false;
}

// --- linking ------------------------------------------------------------------------

void db_link_child(DbContainer* parent, DbNode* child)
{
    child->parent = parent->id;
    child->prev = kNoNode;
    child->next = parent->first_child;
    if (DbNode* old_first = node_store_get(parent->first_child)) {
        old_first->prev = child->id;
    }
    parent->first_child = child->id;
    ++parent->child_count;
    db_mark_changed(parent);
    add_music(parent, music_contribution(child));
    if (child->kind == DB_CONTAINER) {
        auto* c = static_cast<DbContainer*>(child);
        chain_insert(g_titles, TitleKey{c->parent, text_of(c->title)}, c->id, next_same_title);
    }
}

void db_unlink_child(DbNode* child)
{
    DbContainer* parent = container_at(child->parent);
    if (!parent) {
        return;
    }
    if (child->kind == DB_CONTAINER) {
        auto* c = static_cast<DbContainer*>(child);
        chain_remove(g_titles, TitleKey{c->parent, text_of(c->title)}, c->id, next_same_title);
    }
    if (DbNode* prev = node_store_get(child->prev)) {
        prev->next = child->next;
    } else {
        parent->first_child = child->next;
    }
    if (DbNode* next = node_store_get(child->next)) {
        next->prev = child->prev;
    }
    --parent->child_count;
    db_mark_changed(parent);
    add_music(parent, -music_contribution(child));
    mark_prune_candidate(parent);
    child->parent = kNoNode;
    child->next = kNoNode;
    child->prev = kNoNode;
}

void db_index_item(DbItem* item)
{
    chain_insert(g_paths, PathKey{item->upnp_class, text_of(item->path)}, item->id, next_same_path);
    db_index_keywords(item);
}

void db_index_keywords(DbItem* item)
{
    if (item->keywords) {
        chain_insert(g_keywords, text_of(item->keywords), item->id, next_same_keywords);
    }
}

void db_unindex_keywords(DbItem* item)
{
    if (item->keywords) {
        chain_remove(g_keywords, text_of(item->keywords), item->id, next_same_keywords);
    }
}

void db_free_item(DbItem* item)
{
    while (item->first_reference != kNoNode) {
        free_reference(reference_at(item->first_reference));
    }
    if (item->parent != kNoNode) {
        db_unlink_child(item);
    }
    if (item->id != kNoNode) {
        chain_remove(g_paths, PathKey{item->upnp_class, text_of(item->path)}, item->id,
                     next_same_path);
        db_unindex_keywords(item);
    }
    node_store_free(item);
}

void db_repoint_reference(DbReference* ref, DbItem* item, int32_t order)
{
    DbContainer* parent = container_at(ref->parent);
    const int64_t before = music_contribution(ref);
    unchain_reference(ref);
    ref->target = item->id;
    ref->order = order;
    ref->next_reference = item->first_reference;
    item->first_reference = ref->id;
    add_music(parent, music_contribution(ref) - before);
    db_mark_changed(parent);
}

void db_keep_unlinked(DbItem* item)
{
    g_unlinked_items.push_back(item->id);
}

DbContainer* db_owner_for_class(const char* upnp_class)
{
    if (upnp_class == kClassMusicTrack) {
        return g_db.all_tracks;
    }
    if (upnp_class == kClassBroadcast) {
        return g_db.radio_favorites;
    }
    if (upnp_class == kClassPhoto) {
        return g_db.picture_root;
    }
    if (upnp_class == kClassMovie) {
        return g_db.all_videos;
    }
    return nullptr;
}

// --- building and freeing -------------------------------------------------------------

DbContainer* db_add_container(std::string_view title, DbContainer* parent, const char* upnp_class,
                              bool permanent)
{
    if (title.empty() || !parent) {
        return nullptr;
    }
    auto* c = new DbContainer;
    c->kind = DB_CONTAINER;
    c->title = DbText(title);
    c->upnp_class = upnp_class;
    c->permanent = permanent;
    node_store_assign(c);
    db_link_child(parent, c);
    // A container that never receives a child is pruned like one that lost
    // its last.
    mark_prune_candidate(c);
    return c;
}

DbReference* db_add_reference(DbContainer* container, DbItem* item, int32_t order)
{
    if (!container || !item) {
        return nullptr;
    }
    DbReference* r = node_store_new_reference();
    r->target = item->id;
    r->order = order;
    node_store_assign(r);
    r->next_reference = item->first_reference;
    item->first_reference = r->id;
    db_link_child(container, r);
    return r;
}

void db_create()
{
    srand(static_cast<unsigned>(time(nullptr)));
    g_db.created_at = time(nullptr);
    log_msg(LOG_INFO, LOG_CAT_DB, "creating Database\n");

    std::lock_guard guard(db_mutex());
    auto* root = new DbContainer;
    root->kind = DB_CONTAINER;
    root->title = DbText("root");
    root->upnp_class = kClassContainer;
    root->permanent = true;
    node_store_put(0, root);
    g_db.root = root;

    // The music edition hangs its music containers directly below the root.
    g_db.music_root = edition_music_only() ? root : add_top(KEY_ROOTMUSIC, root, kClassMusicFolder);
    if (DbContainer* music = g_db.music_root) {
        g_db.playlists = add_top(KEY_PLAYLISTS, music, kClassPlaylist);
        if (g_db.playlists && setting_int(KEY_PLAYLISTNUMENTRIES) != 0) {
            g_db.most_played_list = add_top(KEY_PLAYLISTMOSTPLAYED, g_db.playlists, kClassPlaylist);
            g_db.last_played_list = add_top(KEY_PLAYLISTLASTPLAYED, g_db.playlists, kClassPlaylist);
        }
        std::string all_tracks = setting_str(KEY_ALLTRACKS);
        g_db.all_tracks =
            db_add_container(all_tracks.empty() ? "All Tracks [is needed]" : all_tracks, music,
                             kClassContainer, true);
        g_db.radio = add_top(KEY_INTERNETRADIO, music, kClassContainer);
        g_db.radio_favorites = add_top(KEY_ALLOWNRADIOSTATIONS, g_db.radio, kClassContainer);
        for (int n = 1; n <= 10; ++n) {
            view_create_root(KEY_MUSICNODE1 + n - 1, 100 + n, music, kClassContainer);
        }
    }
    if (edition_music_only()) {
        return;
    }
    g_db.picture_root = add_top(KEY_ROOTPICTURE, root, kClassContainer);
    if (DbContainer* pictures = g_db.picture_root) {
        if (!setting_str(KEY_ADOBEDSN).empty()) {
            g_db.adobe_tags = db_add_container("- Adobe Tags -", pictures, kClassContainer, true);
        }
        g_db.all_pictures = add_top(KEY_ALLPICTURES, pictures, kClassContainer);
        for (int n = 1; n <= 5; ++n) {
            view_create_root(KEY_PICTURENODE1 + n - 1, 130 + n, pictures, kClassContainer);
        }
    }
    g_db.video_root = add_top(KEY_ROOTVIDEO, root, kClassContainer);
    if (DbContainer* videos = g_db.video_root) {
        g_db.all_videos = add_top(KEY_ALLVIDEOS, videos, kClassContainer);
        for (int n = 1; n <= 5; ++n) {
            view_create_root(KEY_VIDEONODE1 + n - 1, 160 + n, videos, kClassContainer);
        }
    }
}

void db_destroy()
{
    std::lock_guard guard(db_mutex());
    if (g_db.root) {
        free_container(g_db.root);
    }
    for (NodeId id : g_unlinked_items) {
        if (DbItem* item = db_as_item(node_store_get(id))) {
            db_free_item(item);
        }
    }
    g_unlinked_items.clear();
    g_titles.clear();
    g_paths.clear();
    g_keywords.clear();
    g_pending.clear();
    g_prune_candidates.clear();
    node_store_release_references();
    const uint32_t update_id = g_db.system_update_id;
    g_db = MediaDb{};
    // SystemUpdateID only grows, also across a restart of the services.
    g_db.system_update_id = update_id;
}

// --- lookups --------------------------------------------------------------------------

DbContainer* db_find_child(const DbContainer* parent, std::string_view title)
{
    if (!parent) {
        return nullptr;
    }
    return container_at(g_titles.find(TitleKey{parent->id, title}));
}

namespace
{

// The item itself or one of its references lies in the container's subtree.
bool appears_in(DbItem* item, const DbContainer* container)
{
    if (db_in_subtree(item, container)) {
        return true;
    }
    for (NodeId r = item->first_reference; r != kNoNode; r = reference_at(r)->next_reference) {
        if (db_in_subtree(reference_at(r), container)) {
            return true;
        }
    }
    return false;
}

DbItem* find_path_of_class(const DbContainer* container, std::string_view path,
                           const char* upnp_class)
{
    for (NodeId id = g_paths.find(PathKey{upnp_class, path}); id != kNoNode;
         id = item_at(id)->next_same_path) {
        if (appears_in(item_at(id), container)) {
            return item_at(id);
        }
    }
    return nullptr;
}

} // namespace

DbItem* db_find_item_by_path(const DbContainer* container, std::string_view path)
{
    if (!container) {
        return nullptr;
    }
    for (const char* cls : {kClassMusicTrack, kClassBroadcast, kClassPhoto, kClassMovie}) {
        if (DbItem* item = find_path_of_class(container, path, cls)) {
            return item;
        }
    }
    return nullptr;
}

DbItem* db_find_item_for_class(std::string_view path, const char* upnp_class)
{
    const DbContainer* owner = db_owner_for_class(upnp_class);
    if (!owner || path.data() == nullptr) {
        return nullptr;
    }
    return find_path_of_class(owner, path, upnp_class);
}

DbItem* db_find_item_by_keywords(const DbContainer* container, std::string_view text)
{
    for (NodeId id = g_keywords.find(text); id != kNoNode; id = item_at(id)->next_same_keywords) {
        if (db_in_subtree(item_at(id), container)) {
            return item_at(id);
        }
    }
    return nullptr;
}

int db_needs_update(const char* path, const DbContainer* container)
{
    struct stat st {
    };
    if (!path || stat(path, &st) != 0) {
        return 0;
    }
    std::lock_guard guard(db_mutex());
    DbItem* item = db_find_item_by_path(container, path);
    return item && st.st_mtime > item->mtime ? 1 : 0;
}

// --- removal ---------------------------------------------------------------------------

void db_remove_references(const DbContainer* container, DbItem* item)
{
    if (!item) {
        return;
    }
    std::vector<DbReference*> doomed;
    for (NodeId r = item->first_reference; r != kNoNode; r = reference_at(r)->next_reference) {
        if (db_in_subtree(reference_at(r), container)) {
            doomed.push_back(reference_at(r));
        }
    }
    for (DbReference* ref : doomed) {
        free_reference(ref);
    }
}

void db_unlink_item(DbItem* item)
{
    if (item) {
        db_free_item(item);
    }
}

void db_purge_vanished()
{
    // The files are examined without the lock, so requests are not held up
    // by a slow disk; an item that changed meanwhile is left alone.
    std::vector<std::pair<NodeId, std::string>> candidates;
    {
        std::lock_guard guard(db_mutex());
        std::vector<const DbContainer*> work;
        for (const DbContainer* c : {g_db.all_tracks, g_db.all_pictures, g_db.all_videos}) {
            if (c) {
                work.push_back(c);
            }
        }
        while (!work.empty()) {
            const DbContainer* c = work.back();
            work.pop_back();
            for (DbNode* n = db_first_child(c); n; n = db_next_sibling(n)) {
                if (n->kind == DB_CONTAINER) {
                    work.push_back(static_cast<DbContainer*>(n));
                } else if (n->kind == DB_ITEM) {
                    std::string_view path = text_of(static_cast<DbItem*>(n)->path);
                    if (path.rfind("http://", 0) != 0 && path.rfind("ftp://", 0) != 0) {
                        candidates.emplace_back(n->id, std::string(path));
                    }
                }
            }
        }
    }
    std::vector<std::pair<NodeId, std::string>> vanished;
    for (auto& [id, path] : candidates) {
        struct stat st {
        };
        if (stat(path.c_str(), &st) != 0) {
            vanished.emplace_back(id, std::move(path));
        }
    }
    std::lock_guard guard(db_mutex());
    for (const auto& [id, path] : vanished) {
        DbItem* item = db_as_item(db_find_by_id(id));
        if (item && text_of(item->path) == path) {
            db_free_item(item);
        }
    }
}

void db_prune_empty()
{
    std::lock_guard guard(db_mutex());
    // Only containers that were created empty or lost a child since the last
    // prune can be empty; removing one makes its parent a candidate in turn.
    while (!g_prune_candidates.empty()) {
        const NodeId id = g_prune_candidates.back();
        g_prune_candidates.pop_back();
        DbContainer* c = db_as_container(db_find_by_id(id));
        if (!c) {
            continue;
        }
        c->prune_candidate = false;
        if (c->child_count == 0 && !c->permanent && c->parent != kNoNode && c->parent != 0) {
            free_container(c);
        }
    }
}

// --- change tracking -------------------------------------------------------------------

void db_mark_changed(DbContainer* container)
{
    if (!container) {
        return;
    }
    if (!container->update_pending) {
        container->update_pending = true;
        ++container->update_id;
        g_pending.push_back(container->id);
    }
    g_db.changes_pending = true;
}

void db_set_event_sink(void (*sink)(uint32_t, const std::string&))
{
    g_event_sink = sink;
}

std::optional<DbFlush> db_flush_events()
{
    DbFlush flush;
    {
        std::lock_guard guard(db_mutex());
        if (!g_db.changes_pending) {
            return std::nullopt;
        }
        std::vector<std::pair<std::vector<NodeId>, DbContainer*>> changed;
        for (NodeId id : g_pending) {
            DbContainer* c = db_as_container(db_find_by_id(id));
            if (c && c->update_pending) {
                changed.emplace_back(chain_from_root(id), c);
                c->update_pending = false;
            }
        }
        g_pending.clear();
        std::sort(changed.begin(), changed.end(),
                  [](const auto& a, const auto& b) { return tree_order_before(a.first, b.first); });
        for (const auto& entry : changed) {
            if (!flush.container_update_ids.empty()) {
                flush.container_update_ids += ',';
            }
            flush.container_update_ids +=
                std::to_string(entry.second->id) + "," + std::to_string(entry.second->update_id);
        }
        ++g_db.system_update_id;
        g_db.changes_pending = false;
        flush.system_update_id = g_db.system_update_id;
    }
    if (g_event_sink) {
        g_event_sink(flush.system_update_id, flush.container_update_ids);
    }
    return flush;
}

// --- requests ------------------------------------------------------------------------------

NodeId db_parse_id(const char* text)
{
    if (!text) {
        return 0;
    }
    long long v = 0;
    for (const char* p = text; *p >= '0' && *p <= '9'; ++p) {
        v = v * 10 + (*p - '0');
        if (v > 0x7fffffff) {
            return kNoNode;
        }
    }
    return static_cast<NodeId>(v);
}

NodeId db_resolve_object_id(const char* object_id, const char* client_address)
{
    const std::string text = object_id ? object_id : "";
    const char* address = client_address ? client_address : "";
    NodeId music = kNoNode;
    NodeId photo = kNoNode;
    NodeId movie = kNoNode;
    NodeId last_played = kNoNode;
    NodeId most_played = kNoNode;
    bool last_empty = false;
    bool most_empty = false;
    {
        std::lock_guard guard(db_mutex());
        music = g_db.music_root ? g_db.music_root->id : kNoNode;
        photo = g_db.picture_root ? g_db.picture_root->id : kNoNode;
        movie = g_db.video_root ? g_db.video_root->id : kNoNode;
        if (g_db.last_played_list) {
            last_played = g_db.last_played_list->id;
            last_empty = g_db.last_played_list->child_count == 0;
        }
        if (g_db.most_played_list) {
            most_played = g_db.most_played_list->id;
            most_empty = g_db.most_played_list->child_count == 0;
        }
    }
    if (text == "0\\Music\\") {
        client_register(2, address);
        if (music != kNoNode) {
            return music;
        }
    } else if (text == "0\\Photo\\" && photo != kNoNode) {
        return photo;
    } else if (text == "0\\Movie\\" && movie != kNoNode) {
        return movie;
    } else if (text == "0" && music != kNoNode && client_is_music_client(address)) {
        return music;
    }
    const NodeId id = db_parse_id(text.c_str());
    if (id == last_played && last_empty) {
        last_played_fill();
    } else if (id == most_played && most_empty) {
        most_played_fill();
    }
    return id;
}

int db_update_property(const char* object_id, const char* property, const char* current_value,
                       const char* new_value)
{
    if (!object_id) {
        return 501;
    }
    std::lock_guard guard(db_mutex());
    DbNode* node = db_find_by_id(db_parse_id(object_id));
    if (!node || node->kind == DB_CONTAINER) {
        return 501;
    }
    DbItem* item = db_target_item(node);
    if (!item) {
        return 200;
    }
    if (!property || !*property) {
        return 501;
    }
    const std::string_view name(property);
    const std::string_view current(current_value ? current_value : "");
    const std::string_view replacement(new_value ? new_value : "");
    struct Field {
        std::string_view name;
        DbText DbItem::*field;
    };
    static const Field kFields[] = {
        {"title", &DbItem::title},
        {"artist", &DbItem::artist},
        {"album", &DbItem::album},
        {"genre", &DbItem::genre},
        {"date", &DbItem::date},
        {"dc:description", &DbItem::description},
        {"upnp:keywords", &DbItem::keywords},
    };
    for (const Field& f : kFields) {
        // Any leading part of a name selects it ("ti" is "title").
        if (f.name.substr(0, name.size()) != name) {
            continue;
        }
        DbText& value = item->*(f.field);
        if (text_of(value) != current) {
            return 403;
        }
        const bool keywords = f.field == &DbItem::keywords;
        if (keywords) {
            db_unindex_keywords(item);
        }
        value = DbText(replacement);
        if (keywords) {
            db_index_keywords(item);
        }
        db_mark_changed(container_at(item->parent));
        if (keywords) {
            keyword_folders_rebuild(item);
        }
        return 200;
    }
    return 402;
}

std::optional<DbLocation> db_item_location(const char* object_id)
{
    std::lock_guard guard(db_mutex());
    DbItem* item = db_target_item(db_find_by_id(db_parse_id(object_id)));
    if (!item) {
        return std::nullopt;
    }
    DbLocation location;
    location.path = text_of(item->path);
    location.duration_ms = item->bitrate == 0 ? 0 : item->duration_ms;
    return location;
}

std::optional<std::string> db_item_description(const char* object_id)
{
    std::lock_guard guard(db_mutex());
    DbItem* item = db_target_item(db_find_by_id(db_parse_id(object_id)));
    if (!item || !item->description) {
        return std::nullopt;
    }
    return std::string(item->description.get());
}

void db_clear_radio()
{
    std::lock_guard guard(db_mutex());
    DbContainer* radio = g_db.radio;
    if (!radio) {
        return;
    }
    std::vector<DbNode*> doomed;
    for (DbNode* n = db_first_child(radio); n; n = db_next_sibling(n)) {
        if (n != g_db.radio_favorites) {
            doomed.push_back(n);
        }
    }
    for (DbNode* n : doomed) {
        if (n->kind == DB_CONTAINER) {
            free_container(static_cast<DbContainer*>(n));
        } else if (n->kind == DB_ITEM) {
            db_free_item(static_cast<DbItem*>(n));
        } else {
            free_reference(static_cast<DbReference*>(n));
        }
    }
    db_mark_changed(radio);
}

// --- statistics and checks ---------------------------------------------------------------

DbStats db_stats()
{
    std::lock_guard guard(db_mutex());
    DbStats stats;
    stats.next_object_id = node_store_next_id();
    if (!g_db.root) {
        return stats;
    }
    std::vector<const DbContainer*> work = {g_db.root};
    while (!work.empty()) {
        const DbContainer* c = work.back();
        work.pop_back();
        ++stats.nodes;
        ++stats.containers;
        for (DbNode* n = db_first_child(c); n; n = db_next_sibling(n)) {
            if (n->kind == DB_CONTAINER) {
                work.push_back(static_cast<DbContainer*>(n));
            } else {
                ++stats.nodes;
                ++(n->kind == DB_ITEM ? stats.items : stats.references);
            }
        }
    }
    return stats;
}

std::string db_check_consistency()
{
    if (!g_db.root) {
        return {};
    }
    std::vector<DbContainer*> work = {g_db.root};
    size_t containers_with_parent = 0;
    size_t items = 0;
    size_t references_linked = 0;
    while (!work.empty()) {
        DbContainer* c = work.back();
        work.pop_back();
        int count = 0;
        int64_t music = 0;
        NodeId prev = kNoNode;
        for (DbNode* n = db_first_child(c); n; n = db_next_sibling(n)) {
            ++count;
            if (n->parent != c->id || n->prev != prev) {
                return "bad links at node " + std::to_string(n->id);
            }
            if (db_find_by_id(n->id) != n) {
                return "id table disagrees at " + std::to_string(n->id);
            }
            if (prev != kNoNode && n->id > prev) {
                return "siblings out of creation order at " + std::to_string(n->id);
            }
            prev = n->id;
            music += music_contribution(n);
            if (n->kind == DB_CONTAINER) {
                auto* child = static_cast<DbContainer*>(n);
                ++containers_with_parent;
                if (!db_find_child(c, text_of(child->title))) {
                    return "title index misses container " + std::to_string(n->id);
                }
                work.push_back(child);
            } else if (n->kind == DB_ITEM) {
                auto* item = static_cast<DbItem*>(n);
                ++items;
                if (!find_path_of_class(c, text_of(item->path), item->upnp_class)) {
                    return "path index misses item " + std::to_string(n->id);
                }
            } else {
                auto* ref = static_cast<DbReference*>(n);
                ++references_linked;
                DbItem* target = item_at(ref->target);
                if (!target) {
                    return "reference " + std::to_string(n->id) + " without target";
                }
                bool chained = false;
                for (NodeId r = target->first_reference; r != kNoNode;
                     r = reference_at(r)->next_reference) {
                    chained = chained || r == ref->id;
                }
                if (!chained) {
                    return "reference " + std::to_string(n->id) + " missing from its target's list";
                }
            }
        }
        if (count != c->child_count) {
            return "child count of " + std::to_string(c->id) + " is " +
                   std::to_string(c->child_count) + ", list holds " + std::to_string(count);
        }
        if (music != c->music_ms) {
            return "music total of " + std::to_string(c->id) + " is off";
        }
    }
    size_t titled = 0;
    g_titles.for_each([&](NodeId id) {
        for (NodeId at = id; at != kNoNode; at = container_at(at)->next_same_title) {
            ++titled;
        }
    });
    if (titled != containers_with_parent) {
        return "title index holds " + std::to_string(titled) + " containers, the tree " +
               std::to_string(containers_with_parent);
    }
    return {};
}
