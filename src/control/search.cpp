#include "control/search.h"

#include "core/utf8.h"
#include "db/media_db.h"
#include "db/node_store.h"
#include "db/views.h"

#include <unordered_set>

namespace
{

// Whether container lies in a playlist (or is one): there the entries are
// the references, in the playlist's order, and a track listed twice is two
// entries.
bool in_playlist(const DbLock& lock, const DbContainer* container)
{
    for (const DbContainer* c = container; c; c = db_parent(lock, c)) {
        if (c->upnp_class == kClassPlaylist) {
            return true;
        }
    }
    return false;
}

} // namespace

int search_collect(DbLock& lock, std::vector<DbNode*>& matches, const DbContainer* container,
                   const SearchCriteria& criteria, bool unique_titles,
                   const HttpConnection* stop_on, DbPause* pause)
{
    // Criteria that name nodes by their ids (@id, @parentID, @refID) ask for
    // the nodes themselves, references included: they are walked. All other
    // criteria read only the properties of items, so a reference matches
    // exactly when its item does, and the matches are found from the indexes
    // (every container, every item) instead of by visiting every node of the
    // subtree. Clients that want each title once keep the walk, whose order
    // decides which of equal titles is taken.
    const bool by_properties =
        criteria.kind == SearchCriteria::Kind::Everything ||
        (criteria.kind == SearchCriteria::Kind::Expression && criteria.item_only);
    if (unique_titles || !by_properties) {
        return search_walk(lock, matches, container, criteria, unique_titles, stop_on, pause);
    }
    // Each item is answered once, as itself, however many views show it;
    // only inside a playlist are its references the answer.
    const bool references = in_playlist(lock, container);
    // Every so many visits the walk looks whether it must stop, and lets
    // other requests have the lock for a moment.
    size_t visited = 0;
    int outcome = 0;
    auto go_on = [&] {
        if (outcome == 0 && ++visited % kStopCheckInterval == 0) {
            if (stop_on && http_stop_requested(stop_on)) {
                outcome = kSearchStopped;
            } else if (!db_pause_if_due(lock, pause)) {
                outcome = kSearchTreeChanged;
            }
        }
        return outcome == 0;
    };
    db_for_each_container_while(lock, [&](DbContainer* c) {
        if (!go_on()) {
            return false;
        }
        if (c != container && db_in_subtree(lock, c, container) &&
            search_evaluate(lock, c, criteria) == 1 &&
            view_container_searchable(lock, c, container)) {
            matches.push_back(c);
        }
        return true;
    });
    if (outcome != 0) {
        return outcome;
    }
    // Where the item and its references stand is looked at before the
    // criteria, up to the first place inside: a search of a small container
    // must not evaluate the whole library, and one of a large container must
    // not look at every reference of items that do not match.
    auto inside = [&](const DbNode* node) { return db_in_subtree(lock, node, container); };
    auto next_reference = [](NodeId r) {
        return static_cast<const DbReference*>(node_store_get(r))->next_reference;
    };
    db_for_each_item_while(lock, [&](DbItem* item) {
        if (!go_on()) {
            return false;
        }
        const bool item_inside = inside(item);
        DbNode* first_inside = item_inside ? item : nullptr;
        for (NodeId r = item->first_reference; r != kNoNode && !first_inside;
             r = next_reference(r)) {
            if (DbNode* ref = node_store_get(r); inside(ref)) {
                first_inside = ref;
            }
        }
        if (!first_inside || search_evaluate(lock, item, criteria) != 1) {
            return true;
        }
        if (!references) {
            // An item that is in no container is shown only by its
            // references: the first one inside stands for it.
            matches.push_back(item_inside || db_parent(lock, item) ? item : first_inside);
            return true;
        }
        if (item_inside) {
            matches.push_back(item);
        }
        for (NodeId r = item->first_reference; r != kNoNode; r = next_reference(r)) {
            if (DbNode* ref = node_store_get(r); inside(ref)) {
                matches.push_back(ref);
            }
        }
        return true;
    });
    return outcome;
}

int search_walk(DbLock& lock, std::vector<DbNode*>& matches, const DbContainer* container,
                const SearchCriteria& criteria, bool unique_titles, const HttpConnection* stop_on,
                DbPause* pause)
{
    // Titles taken so far, folded, for clients that want each title once; a
    // set, so that many matches cost no more than a few.
    std::unordered_set<std::string> titles;
    bool untitled_taken = false;
    // With criteria that only read item properties, each item is evaluated
    // once, however many references show it: by item id, -1 not yet known.
    const bool by_item = criteria.kind == SearchCriteria::Kind::Expression && criteria.item_only;
    std::vector<int8_t> item_results(by_item ? static_cast<size_t>(node_store_next_id()) : 0, -1);
    // The containers of views are answered once per key (see
    // view_container_searchable) unless the criteria name the place; the
    // clients that want each title once keep every container.
    const bool filter_views =
        !unique_titles &&
        !(criteria.kind == SearchCriteria::Kind::Expression && criteria.names_place);
    // Depth-first in child-list order: a container is tested before its
    // children are walked.
    std::vector<std::pair<const DbContainer*, DbNode*>> stack;
    stack.emplace_back(container, db_first_child(lock, container));
    size_t visited = 0;
    while (!stack.empty()) {
        if (++visited % kStopCheckInterval == 0) {
            if (stop_on && http_stop_requested(stop_on)) {
                return kSearchStopped;
            }
            // The stack's pointers stay good while the tree is unchanged.
            if (!db_pause_if_due(lock, pause)) {
                return kSearchTreeChanged;
            }
        }
        DbNode* node = stack.back().second;
        if (!node) {
            stack.pop_back();
            continue;
        }
        stack.back().second = db_next_sibling(lock, node);
        int result;
        const DbItem* target = by_item ? db_target_item(lock, node) : nullptr;
        if (target && static_cast<size_t>(target->id) < item_results.size()) {
            int8_t& known = item_results[static_cast<size_t>(target->id)];
            if (known < 0) {
                known = static_cast<int8_t>(search_evaluate(lock, target, criteria));
            }
            result = known;
        } else {
            result = search_evaluate(lock, node, criteria);
        }
        if (result < 0) {
            return result;
        }
        bool take = result == 1;
        if (take && unique_titles) {
            const DbItem* item = db_target_item(lock, node);
            const char* title = node->kind == DB_CONTAINER
                                    ? static_cast<const DbContainer*>(node)->title.get()
                                : item ? item->title.get()
                                       : nullptr;
            if (!title) {
                take = !untitled_taken;
                untitled_taken = true;
            } else {
                take = titles.insert(utf8_fold(title)).second;
            }
        }
        if (take && filter_views && node->kind == DB_CONTAINER) {
            take =
                view_container_searchable(lock, static_cast<const DbContainer*>(node), container);
        }
        if (take) {
            matches.push_back(node);
        }
        if (node->kind == DB_CONTAINER) {
            const auto* child = static_cast<const DbContainer*>(node);
            stack.emplace_back(child, db_first_child(lock, child));
        }
    }
    return 0;
}
