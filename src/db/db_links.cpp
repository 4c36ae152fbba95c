// The links of the tree: node access, linking and unlinking children with
// their counts, marks, indexes and duration totals, and every way nodes
// leave the tree (freeing, purging vanished files, pruning empty containers,
// clearing the radio).
#include "core/titles.h"
#include "db/db_internal.h"
#include "db/db_values.h"

#include <sys/stat.h>
#include <utility>

namespace
{

void add_music(const DbLock&, DbContainer* from, int64_t ms)
{
    if (ms == 0) {
        return;
    }
    for (DbContainer* c = from; c; c = db_container_at(c->parent)) {
        c->music_ms += ms;
    }
}

void mark_prune_candidate(const DbLock& lock, DbContainer* c)
{
    if (!c->prune_candidate) {
        c->prune_candidate = true;
        db_state(lock).prune_candidates.push_back(c->id);
    }
}

// Takes a reference out of its target's list of references.
void unchain_reference(const DbLock&, DbReference* ref)
{
    DbItem* target = db_item_at(ref->target);
    if (!target) {
        return;
    }
    NodeId* link = &target->first_reference;
    while (*link != kNoNode && *link != ref->id) {
        link = &db_reference_at(*link)->next_reference;
    }
    if (*link == ref->id) {
        *link = ref->next_reference;
    }
}

void free_reference(const DbLock& lock, DbReference* ref)
{
    if (ref->parent != kNoNode) {
        db_unlink_child(lock, ref);
    }
    unchain_reference(lock, ref);
    node_store_free(ref);
}

bool is_url(std::string_view path)
{
    return path.starts_with("http://") || path.starts_with("ftp://");
}

bool path_is_lexically_clean(std::string_view path)
{
    return path.find("//") == std::string_view::npos &&
           path.find("/./") == std::string_view::npos &&
           path.find("/../") == std::string_view::npos && !path.ends_with("/.") &&
           !path.ends_with("/..");
}

} // namespace

// --- node access ------------------------------------------------------------------

DbNode* db_find_by_id(const DbLock&, NodeId id)
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

DbItem* db_target_item(const DbLock&, DbNode* node)
{
    if (DbItem* item = db_as_item(node)) {
        return item;
    }
    if (DbReference* ref = db_as_reference(node)) {
        return db_item_at(ref->target);
    }
    return nullptr;
}

DbNode* db_first_child(const DbLock&, const DbContainer* container)
{
    return container ? node_store_get(container->first_child) : nullptr;
}

DbNode* db_next_sibling(const DbLock&, const DbNode* node)
{
    return node ? node_store_get(node->next) : nullptr;
}

DbContainer* db_parent(const DbLock&, const DbNode* node)
{
    return node ? db_container_at(node->parent) : nullptr;
}

bool db_in_subtree(const DbLock&, const DbNode* node, const DbContainer* container)
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

DbContainer* db_owner_for_class(const DbLock&, const char* upnp_class)
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

int64_t db_music_contribution(const DbLock&, const DbNode* node)
{
    switch (node->kind) {
    case DB_ITEM: {
        const auto* item = static_cast<const DbItem*>(node);
        return item->upnp_class == kClassMusicTrack ? item->duration_ms : 0;
    }
    case DB_REFERENCE: {
        const DbItem* target = db_item_at(static_cast<const DbReference*>(node)->target);
        return target && target->upnp_class == kClassMusicTrack ? target->duration_ms : 0;
    }
    default:
        return static_cast<const DbContainer*>(node)->music_ms;
    }
}

// --- linking ------------------------------------------------------------------------

void db_link_child(const DbLock& lock, DbContainer* parent, DbNode* child)
{
    child->parent = parent->id;
    child->prev = kNoNode;
    child->next = parent->first_child;
    if (DbNode* old_first = node_store_get(parent->first_child)) {
        old_first->prev = child->id;
    }
    parent->first_child = child->id;
    ++parent->child_count;
    db_mark_changed(lock, parent);
    add_music(lock, parent, db_music_contribution(lock, child));
    if (child->kind == DB_CONTAINER) {
        db_index_title(lock, static_cast<DbContainer*>(child));
    }
}

void db_unlink_child(const DbLock& lock, DbNode* child)
{
    DbContainer* parent = db_container_at(child->parent);
    if (!parent) {
        return;
    }
    if (child->kind == DB_CONTAINER) {
        db_unindex_title(lock, static_cast<DbContainer*>(child));
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
    db_mark_changed(lock, parent);
    add_music(lock, parent, -db_music_contribution(lock, child));
    mark_prune_candidate(lock, parent);
    child->parent = kNoNode;
    child->next = kNoNode;
    child->prev = kNoNode;
}

DbContainer* db_add_container(const DbLock& lock, std::string_view title, DbContainer* parent,
                              const char* upnp_class, bool permanent)
{
    // Titles from the settings, views and playlists keep to the rules of
    // item values (db_add_item cleans those it derives titles from).
    const std::string clean = db_clean_text(title);
    if (clean.empty() || !parent) {
        return nullptr;
    }
    auto* c = new DbContainer;
    c->kind = DB_CONTAINER;
    c->title = DbText(clean);
    c->upnp_class = upnp_class;
    c->permanent = permanent;
    if (node_store_assign(c) == kNoNode) {
        delete c;
        return nullptr;
    }
    db_link_child(lock, parent, c);
    // A container that never receives a child is pruned like one that lost
    // its last.
    mark_prune_candidate(lock, c);
    return c;
}

DbReference* db_add_reference(const DbLock& lock, DbContainer* container, DbItem* item,
                              int32_t order)
{
    if (!container || !item) {
        return nullptr;
    }
    DbReference* r = node_store_new_reference();
    if (!r) {
        return nullptr;
    }
    if (node_store_assign(r) == kNoNode) {
        node_store_free(r);
        return nullptr;
    }
    r->target = item->id;
    r->order = order;
    r->next_reference = item->first_reference;
    item->first_reference = r->id;
    db_link_child(lock, container, r);
    return r;
}

void db_repoint_reference(const DbLock& lock, DbReference* ref, DbItem* item, int32_t order)
{
    DbContainer* parent = db_container_at(ref->parent);
    const int64_t before = db_music_contribution(lock, ref);
    unchain_reference(lock, ref);
    ref->target = item->id;
    ref->order = order;
    ref->next_reference = item->first_reference;
    item->first_reference = ref->id;
    add_music(lock, parent, db_music_contribution(lock, ref) - before);
    db_mark_changed(lock, parent);
}

void db_retime_item(const DbLock& lock, DbItem* item, int32_t duration_ms)
{
    const int64_t before = db_music_contribution(lock, item);
    item->duration_ms = duration_ms;
    const int64_t change = db_music_contribution(lock, item) - before;
    if (change == 0) {
        return;
    }
    add_music(lock, db_container_at(item->parent), change);
    for (NodeId r = item->first_reference; r != kNoNode; r = db_reference_at(r)->next_reference) {
        add_music(lock, db_container_at(db_reference_at(r)->parent), change);
    }
}

void db_keep_unlinked(const DbLock& lock, DbItem* item)
{
    db_state(lock).unlinked_items.push_back(item->id);
}

// --- freeing ----------------------------------------------------------------------------

void db_free_item(const DbLock& lock, DbItem* item)
{
    while (item->first_reference != kNoNode) {
        free_reference(lock, db_reference_at(item->first_reference));
    }
    if (item->parent != kNoNode) {
        db_unlink_child(lock, item);
    }
    if (item->id != kNoNode) {
        db_unindex_item(lock, item);
    }
    node_store_free(item);
}

void db_free_container(const DbLock& lock, DbContainer* c)
{
    while (c->first_child != kNoNode) {
        db_free_node(lock, node_store_get(c->first_child));
    }
    if (c->parent != kNoNode) {
        db_unlink_child(lock, c);
    }
    node_store_free(c);
}

void db_free_node(const DbLock& lock, DbNode* node)
{
    switch (node->kind) {
    case DB_CONTAINER:
        db_free_container(lock, static_cast<DbContainer*>(node));
        break;
    case DB_ITEM:
        db_free_item(lock, static_cast<DbItem*>(node));
        break;
    default:
        free_reference(lock, static_cast<DbReference*>(node));
        break;
    }
}

void db_remove_references(const DbLock& lock, const DbContainer* container, DbItem* item)
{
    if (!item) {
        return;
    }
    std::vector<DbReference*> doomed;
    for (NodeId r = item->first_reference; r != kNoNode; r = db_reference_at(r)->next_reference) {
        if (db_in_subtree(lock, db_reference_at(r), container)) {
            doomed.push_back(db_reference_at(r));
        }
    }
    for (DbReference* ref : doomed) {
        free_reference(lock, ref);
    }
}

void db_unlink_item(const DbLock& lock, DbItem* item)
{
    if (item) {
        db_free_item(lock, item);
    }
}

void db_purge_vanished()
{
    db_purge_playlists();
    // The files are examined without the lock, so requests are not held up
    // by a slow disk; an item that changed meanwhile is left alone.
    std::vector<std::pair<NodeId, std::string>> candidates;
    {
        const DbLock lock = db_lock();
        std::vector<const DbContainer*> work;
        for (const DbContainer* c : {g_db.all_tracks, g_db.all_pictures, g_db.all_videos}) {
            if (c) {
                work.push_back(c);
            }
        }
        while (!work.empty()) {
            const DbContainer* c = work.back();
            work.pop_back();
            for (DbNode* n = db_first_child(lock, c); n; n = db_next_sibling(lock, n)) {
                if (n->kind == DB_CONTAINER) {
                    work.push_back(static_cast<DbContainer*>(n));
                } else if (n->kind == DB_ITEM) {
                    std::string_view path = db_text_of(static_cast<DbItem*>(n)->path);
                    if (!is_url(path)) {
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
        // The scanner names files by their canonical paths; an item under
        // another spelling ("//", "/./", "/../", kept in a library file of
        // an earlier version) is a second item of a file the pass has read.
        if (stat(path.c_str(), &st) != 0 || !path_is_lexically_clean(path)) {
            vanished.emplace_back(id, std::move(path));
        }
    }
    const DbLock lock = db_lock();
    for (const auto& [id, path] : vanished) {
        DbItem* item = db_as_item(db_find_by_id(lock, id));
        if (item && db_text_of(item->path) == path) {
            db_free_item(lock, item);
        }
    }
}

void db_prune_empty()
{
    const DbLock lock = db_lock();
    // Only containers that were created empty or lost a child since the last
    // prune can be empty; removing one makes its parent a candidate in turn.
    std::vector<NodeId>& candidates = db_state(lock).prune_candidates;
    while (!candidates.empty()) {
        const NodeId id = candidates.back();
        candidates.pop_back();
        DbContainer* c = db_as_container(db_find_by_id(lock, id));
        if (!c) {
            continue;
        }
        c->prune_candidate = false;
        if (c->child_count == 0 && !c->permanent && c->parent != kNoNode && c->parent != 0) {
            db_free_container(lock, c);
        }
    }
}

void db_clear_radio()
{
    const DbLock lock = db_lock();
    DbContainer* radio = g_db.radio;
    if (!radio) {
        return;
    }
    std::vector<DbNode*> doomed;
    for (DbNode* n = db_first_child(lock, radio); n; n = db_next_sibling(lock, n)) {
        if (n != g_db.radio_favorites) {
            doomed.push_back(n);
        }
    }
    for (DbNode* n : doomed) {
        db_free_node(lock, n);
    }
    db_mark_changed(lock, radio);
}

bool db_radio_has_genre(const char* genre)
{
    const DbLock lock = db_lock();
    // Named as db_add_item names the genre container, case adaptation
    // included.
    return g_db.radio && genre && db_find_child(lock, g_db.radio, db_clean_text(adapt_case(genre)));
}

void db_clear_playlist(const char* name)
{
    const DbLock lock = db_lock();
    // Named as db_add_item names the playlist container.
    DbContainer* list =
        g_db.playlists && name ? db_find_child(lock, g_db.playlists, db_clean_text(name)) : nullptr;
    if (!list) {
        return;
    }
    std::vector<DbNode*> doomed;
    for (DbNode* n = db_first_child(lock, list); n; n = db_next_sibling(lock, n)) {
        doomed.push_back(n);
    }
    for (DbNode* n : doomed) {
        db_free_node(lock, n);
    }
    db_mark_changed(lock, list);
}
