// Ordering children for Browse, Search and playlists by UPnP SortCriteria
// ("+upnp:originalTrackNumber,+dc:title"). Children stay in insertion order in
// the tree and are put in order only when they are handed out.
#pragma once

#include "db/media_db.h"

#include <span>
#include <string>
#include <string_view>
#include <vector>

// The criteria for a container's children: the client's when it gave one,
// else the setting for the container's class ("ms" music, "ps" pictures,
// "ds" everything else).
std::string sort_criteria_for(const char* client_criteria, const char* container_class);

// A criteria text parsed once into its recognised properties.
struct SortKey {
    enum Property {
        Title,
        Artist,
        Album,
        Genre,
        Date,
        Track,
        Res,
    } property;
    int sign; // +1 ascending, -1 descending
};

struct SortCriteria {
    bool present = false;      // a missing criteria text leaves everything equal
    std::vector<SortKey> keys; // the recognised tokens, in order
    int last_sign = 1;         // sign of the last token read, recognised or not
};

SortCriteria sort_parse(const char* criteria);

// Negative, 0 or positive: containers first, then the properties in turn,
// missing values first, and at last the titles with the last token's sign.
int sort_compare(const DbLock& lock, const DbNode* a, const DbNode* b,
                 const SortCriteria& criteria);

// Sorts nodes in place by the criteria. The tree lock must be held.
void sort_nodes(const DbLock& lock, std::vector<DbNode*>& nodes, const SortCriteria& criteria);

// The comma-separated tokens of a criteria text, empty ones not counted.
int sort_token_count(std::string_view criteria);

// Puts into nodes[first, last) what sort_nodes would put there, in that
// order; before first stay only nodes that sort no later, after last only
// nodes that sort no earlier. One pass over the nodes and a sort of the
// window: a page of a long result needs no full sort. last is clamped to the
// size.
void sort_nodes_window(const DbLock& lock, std::span<DbNode*> nodes, const SortCriteria& criteria,
                       size_t first, size_t last);

// Entries taken into one selection step of a paused window sort.
inline constexpr size_t kSortSliceEntries = 32768;

// The same for a long read that lets the lock go between slices of the
// nodes (see DbPause); false, with nodes unchanged, when the tree changed
// meanwhile.
bool sort_nodes_window_paused(DbLock& lock, std::span<DbNode*> nodes, const SortCriteria& criteria,
                              size_t first, size_t last, DbPause* pause,
                              size_t slice_entries = kSortSliceEntries);
