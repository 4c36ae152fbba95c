// SearchCriteria of the ContentDirectory Search action: conditions on a
// node's properties, joined by "and" (binding tighter) and "or", grouped by
// parentheses. The text is compiled once per request and then evaluated
// for every node below the searched container.
#pragma once

#include "control/control_limits.h"
#include "db/media_db.h"
#include "http/http_connection.h"

#include <memory>
#include <string>
#include <vector>

struct SearchExpression;

// A compiled criteria text.
struct SearchCriteria {
    enum class Kind {
        Nothing,    // absent or empty: no node matches
        Everything, // "*": every node matches
        Invalid,    // a syntax error: fault 708 once a node is tested
        Expression,
    } kind = Kind::Nothing;
    std::shared_ptr<const SearchExpression> expression;
};

// A text longer than kSearchCriteriaMaxBytes, with more than
// kSearchMaxConditions conditions or nested deeper than kSearchMaxDepth is
// invalid.
SearchCriteria search_compile(const char* criteria);

// 1 match, 0 no match, -1 invalid criteria.
int search_evaluate(const DbLock& lock, const DbNode* node, const SearchCriteria& criteria);

// What search_collect gives when the connection was asked to stop.
inline constexpr int kSearchStopped = -3;
// What it gives when, with pause given, the tree changed while the lock was
// let go: the matches so far are void, and the search has to start again.
inline constexpr int kSearchTreeChanged = -4;

// Collects the nodes below container that match (each title once when
// unique_titles); 0, -1 for invalid criteria, or kSearchStopped when stop_on
// (may be null) was asked to stop meanwhile. With pause the lock is let go
// for a moment now and then (see DbPause).
//
// Each object is answered once: an item as itself however many views
// reference it, and of the album, artist and genre containers of the views
// those of one view each (view_container_searchable). References are
// answered only where they are the objects asked for: when the search starts
// inside a playlist, and when the criteria name nodes by id (a condition on
// @id, @parentID or @refID, such as `@refID exists true`), which are then
// tested node by node with the reference's own ids.
int search_collect(DbLock& lock, std::vector<DbNode*>& matches, const DbContainer* container,
                   const SearchCriteria& criteria, bool unique_titles,
                   const HttpConnection* stop_on = nullptr, DbPause* pause = nullptr);

// The same by a depth-first walk of every node of the subtree, in list
// order, answering every node that matches (references too).
int search_walk(DbLock& lock, std::vector<DbNode*>& matches, const DbContainer* container,
                const SearchCriteria& criteria, bool unique_titles,
                const HttpConnection* stop_on = nullptr, DbPause* pause = nullptr);

// One comparison of a property value (null: absent) with a literal.
int search_compare(const char* value, const std::string& op, const char* literal, bool numeric);
