// The walks of the Search action: which nodes below a container match a
// compiled criteria text, each object answered once.
#pragma once

#include "control/search_criteria.h"
#include "db/media_db.h"
#include "http/http_connection.h"

#include <vector>

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
