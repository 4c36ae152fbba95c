// Change marks and their flush into the SystemUpdateID and the
// ContainerUpdateIDs text of the next event.
#include "db/db_internal.h"

#include <algorithm>

namespace
{

// The ids from the root down to a node.
std::vector<NodeId> chain_from_root(const DbLock&, NodeId id)
{
    std::vector<NodeId> chain;
    for (const DbNode* n = node_store_get(id); n; n = node_store_get(n->parent)) {
        chain.push_back(n->id);
    }
    std::reverse(chain.begin(), chain.end());
    return chain;
}

// Whether a's position comes before b's in a depth-first walk. Siblings run
// from the newest (highest id) to the oldest.
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

void db_mark_changed(const DbLock& lock, DbContainer* container)
{
    if (!container) {
        return;
    }
    if (!container->update_pending) {
        container->update_pending = true;
        ++container->update_id;
        db_state(lock).pending.push_back(container->id);
    }
    g_db.changes_pending = true;
    ++g_db.change_count;
}

std::optional<DbFlush> db_flush_events()
{
    DbFlush flush;
    const DbLock lock = db_lock();
    if (!g_db.changes_pending) {
        return std::nullopt;
    }
    // Only the containers marked since the last flush are visited, put into
    // the order of a walk of the tree.
    std::vector<std::pair<std::vector<NodeId>, DbContainer*>> changed;
    std::vector<NodeId>& pending = db_state(lock).pending;
    for (NodeId id : pending) {
        DbContainer* c = db_as_container(db_find_by_id(lock, id));
        if (c && c->update_pending) {
            changed.emplace_back(chain_from_root(lock, id), c);
            c->update_pending = false;
        }
    }
    pending.clear();
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
    return flush;
}
