// Sorted orders of containers' children, kept between the pages of one
// listing: sorting 100 000 children for every page of 50 would hold the tree
// lock for most of the time.
#pragma once

#include "db/media_db.h"

#include <string>
#include <vector>

// The children of a container in the order of a criteria text (as
// sort_criteria_for gives it); valid while the lock is held. scratch holds
// an order that is not kept.
const std::vector<DbNode*>& db_sorted_children(const DbLock& lock, const DbContainer* container,
                                               const std::string& criteria,
                                               std::vector<DbNode*>& scratch);
