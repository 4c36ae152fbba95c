#include "db/sorted_orders.h"

#include "db/db_internal.h"
#include "db/sort.h"

namespace
{

// An order is used only while nothing in the tree has changed since it was
// made: the change counter grows with every link, unlink, repointed
// reference and property change, whichever container they mark, and no node
// is freed without an unlink, so the kept pointers stay valid until then.
struct SortedOrder {
    NodeId container = kNoNode;
    std::string criteria;
    uint64_t changes = 0;
    std::vector<DbNode*> order;
};

constexpr size_t kKeptOrders = 8;
// Small containers are sorted again cheaply; only larger ones are kept.
constexpr size_t kKeptMinimum = 256;

// Guarded by the tree lock. Never destroyed, like the tree.
std::vector<SortedOrder>& kept_orders(const DbLock&)
{
    static auto* orders = new std::vector<SortedOrder>;
    return *orders;
}

} // namespace

const std::vector<DbNode*>& db_sorted_children(const DbLock& lock, const DbContainer* c,
                                               const std::string& criteria,
                                               std::vector<DbNode*>& scratch)
{
    std::vector<SortedOrder>& orders = kept_orders(lock);
    for (const SortedOrder& kept : orders) {
        if (kept.container == c->id && kept.changes == g_db.change_count &&
            kept.criteria == criteria) {
            return kept.order;
        }
    }
    scratch.clear();
    scratch.reserve(static_cast<size_t>(c->child_count));
    for (DbNode* n = db_first_child(lock, c); n; n = db_next_sibling(lock, n)) {
        scratch.push_back(n);
    }
    sort_nodes(lock, scratch, sort_parse(criteria.c_str()));
    if (scratch.size() < kKeptMinimum) {
        return scratch;
    }
    if (orders.size() >= kKeptOrders) {
        orders.erase(orders.begin());
    }
    orders.push_back(SortedOrder{c->id, criteria, g_db.change_count, std::move(scratch)});
    return orders.back().order;
}
