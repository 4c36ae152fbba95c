// Virtual views: folder hierarchies built from the items' metadata or paths,
// each described by one definition setting ("Artists/Albums,%ARTIST,%ALBUM"),
// filled with references as items are added. Views are part of the tree:
// the functions that build or read them ask for the tree lock.
#pragma once

#include "db/media_db.h"

#include <string>

// Creates the permanent root of the view a definition setting describes,
// when its element 0 (the title) exists.
void view_create_root(const DbLock& lock, int setting_key, int view_number, DbContainer* parent,
                      const char* upnp_class);

// Places an item into every view below the top container of its kind.
void view_place_item(const DbLock& lock, DbItem* item, DbContainer* top);

// Places an item at one level of a view (and, recursively, the levels below).
void view_place_level(const DbLock& lock, DbItem* item, DbContainer* container, int view_number,
                      int level);

// The letter-group title for a value, by its first character, and group size
// g ("ABC").
std::string view_group_name(std::string_view value, int group_size);

// Rebuilds the keyword folders of an item below "- Adobe Tags -".
void keyword_folders_rebuild(const DbLock& lock, DbItem* item);

// The settings key of a view number, or -1.
int view_setting_key(int view_number);

// Whether a search that starts at `within` answers container c. The album,
// artist and genre containers of one view repeat those of every other view
// that files by the same key, so a search across views answers them from one
// view each: for each key the first view (music views first, in their order)
// that files by it at its first level, else at any level, without letter
// groups. A search that starts inside a view answers all of that view's
// containers, and containers outside views are always answered.
bool view_container_searchable(const DbLock& lock, const DbContainer* c, const DbContainer* within);
