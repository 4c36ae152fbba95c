// The indexes of the media tree, each kept on every link and unlink, so that
// the lookups a request or a scan makes never walk the tree:
// (parent, title) -> containers, (item class, path) -> items and
// keywords -> items. Each set holds the newest node of a key; further nodes
// of the same key are chained through the nodes themselves. The indexes are
// part of the tree and guarded by its lock: each function here asks for it.
// The traits and the links of the chains take none: the sets and the chain
// walks call them, only ever from inside these functions.
#pragma once

#include "db/db_node.h"
#include "db/id_hash_set.h"

#include <string_view>

class DbLock;

struct TitleKey {
    NodeId parent;
    std::string_view title;
};

struct TitleTraits {
    static size_t hash(const TitleKey& k);
    static size_t hash(NodeId id);
    static bool equal(NodeId id, const TitleKey& k);
};

struct PathKey {
    const char* upnp_class;
    std::string_view path;
};

struct PathTraits {
    static size_t hash(const PathKey& k);
    static size_t hash(NodeId id);
    static bool equal(NodeId id, const PathKey& k);
};

struct KeywordsTraits {
    static size_t hash(std::string_view k);
    static size_t hash(NodeId id);
    static bool equal(NodeId id, std::string_view k);
};

struct DbIndexes {
    IdHashSet<TitleKey, TitleTraits> titles;
    IdHashSet<PathKey, PathTraits> paths;
    IdHashSet<std::string_view, KeywordsTraits> keywords;
};

// A container joins or leaves the title index of its parent.
void db_index_title(const DbLock& lock, DbContainer* container);
void db_unindex_title(const DbLock& lock, DbContainer* container);

// An item joins the path and keywords indexes, or leaves both.
void db_index_item(const DbLock& lock, DbItem* item);
void db_unindex_item(const DbLock& lock, DbItem* item);

// The keywords index alone, around a change of an item's keywords.
void db_index_keywords(const DbLock& lock, DbItem* item);
void db_unindex_keywords(const DbLock& lock, DbItem* item);

// Empties every index (the tree was freed).
void db_indexes_clear(const DbLock& lock);

// The item of that class and path whose place or one of whose references lies
// in the container's subtree, or null.
DbItem* db_find_path_of_class(const DbLock& lock, const DbContainer* container,
                              std::string_view path, const char* upnp_class);

// How many containers the title index holds, for the consistency check.
size_t db_title_index_count(const DbLock& lock);
