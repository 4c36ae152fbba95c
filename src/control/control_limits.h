// The limits on the arguments of the listing actions (Browse,
// X_BrowseByLetter, Search). Every request works under the one tree lock, and
// what it costs there grows with its arguments as well as with the library:
// a SearchCriteria is evaluated for every node of the searched subtree, each
// sort key is compared for every pair the sort looks at, and the Filter is
// searched once per property of every rendered object. Control points send
// a few dozen bytes of each; the bounds below leave them ample room and keep
// a hostile or broken request from holding the lock for minutes.
#pragma once

#include <cstddef>

// SearchCriteria: bytes, conditions in all groups together, and nesting of
// parentheses. Beyond them: fault 708.
inline constexpr size_t kSearchCriteriaMaxBytes = 4096;
inline constexpr int kSearchMaxConditions = 64;
inline constexpr int kSearchMaxDepth = 32;

// SortCriteria: bytes and comma-separated keys (recognised or not; the sort
// capabilities name eight properties). Beyond them: fault 709.
inline constexpr size_t kSortCriteriaMaxBytes = 1024;
inline constexpr int kSortMaxKeys = 16;

// Filter: bytes (the full list of properties this server renders is about
// 200). Beyond it: fault 402.
inline constexpr size_t kFilterMaxBytes = 4096;

// ObjectID, ContainerID, BrowseFlag and StartingLetter: bytes. Beyond it:
// fault 402.
inline constexpr size_t kShortArgMaxBytes = 1024;

// How many nodes a walk, and how many objects a page, handles between two
// looks at the connection's stop flag.
inline constexpr size_t kStopCheckInterval = 1024;
