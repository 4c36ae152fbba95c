// Counting the tree, and checking every index and total against a walk of
// it (the tests lean on this after every kind of change).
#include "db/db_internal.h"

DbStats db_stats()
{
    const DbLock lock = db_lock();
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
        for (DbNode* n = db_first_child(lock, c); n; n = db_next_sibling(lock, n)) {
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

namespace
{

std::string check_child(const DbLock& lock, DbContainer* c, DbNode* n,
                        std::vector<DbContainer*>& work)
{
    if (n->kind == DB_CONTAINER) {
        auto* child = static_cast<DbContainer*>(n);
        if (!db_find_child(lock, c, db_text_of(child->title))) {
            return "title index misses container " + std::to_string(n->id);
        }
        work.push_back(child);
        return {};
    }
    if (n->kind == DB_ITEM) {
        auto* item = static_cast<DbItem*>(n);
        if (!db_find_path_of_class(lock, c, db_text_of(item->path), item->upnp_class)) {
            return "path index misses item " + std::to_string(n->id);
        }
        return {};
    }
    auto* ref = static_cast<DbReference*>(n);
    DbItem* target = db_item_at(ref->target);
    if (!target) {
        return "reference " + std::to_string(n->id) + " without target";
    }
    for (NodeId r = target->first_reference; r != kNoNode; r = db_reference_at(r)->next_reference) {
        if (r == ref->id) {
            return {};
        }
    }
    return "reference " + std::to_string(n->id) + " missing from its target's list";
}

} // namespace

std::string db_check_consistency(const DbLock& lock)
{
    if (!g_db.root) {
        return {};
    }
    std::vector<DbContainer*> work = {g_db.root};
    size_t containers_with_parent = 0;
    while (!work.empty()) {
        DbContainer* c = work.back();
        work.pop_back();
        int count = 0;
        int64_t music = 0;
        NodeId prev = kNoNode;
        for (DbNode* n = db_first_child(lock, c); n; n = db_next_sibling(lock, n)) {
            ++count;
            if (n->parent != c->id || n->prev != prev) {
                return "bad links at node " + std::to_string(n->id);
            }
            if (db_find_by_id(lock, n->id) != n) {
                return "id table disagrees at " + std::to_string(n->id);
            }
            if (prev != kNoNode && n->id > prev) {
                return "siblings out of creation order at " + std::to_string(n->id);
            }
            prev = n->id;
            music += db_music_contribution(lock, n);
            containers_with_parent += n->kind == DB_CONTAINER ? 1 : 0;
            if (std::string problem = check_child(lock, c, n, work); !problem.empty()) {
                return problem;
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
    const size_t titled = db_title_index_count(lock);
    if (titled != containers_with_parent) {
        return "title index holds " + std::to_string(titled) + " containers, the tree " +
               std::to_string(containers_with_parent);
    }
    return {};
}
