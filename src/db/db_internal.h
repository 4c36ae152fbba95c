// Operations on the tree shared by the files of the database; all expect the
// tree lock to be held.
#pragma once

#include "db/media_db.h"

// Links child at the head of parent's list, with its count, change mark,
// indexes and duration totals.
void db_link_child(DbContainer* parent, DbNode* child);

// Takes a child out of its parent's list (the node stays allocated).
void db_unlink_child(DbNode* child);

// Frees an item: its references everywhere, its place and its index entries.
void db_free_item(DbItem* item);

// Indexes of an item that is about to be linked or has changed keywords.
void db_index_item(DbItem* item);
void db_unindex_keywords(DbItem* item);
void db_index_keywords(DbItem* item);

// Keeps an item that has no "all" container to live in (its top container's
// title setting was emptied), so that it is freed with the tree.
void db_keep_unlinked(DbItem* item);

// Points a reference at another item, keeping its place and id.
void db_repoint_reference(DbReference* ref, DbItem* item, int32_t order);

// The container owning items of a class, or null.
DbContainer* db_owner_for_class(const char* upnp_class);
