// A compact hash set of node ids for the tree's indexes: four bytes a slot,
// open addressing with linear probing. The set stores no keys of its own; the
// key of an id is read from its node through the Traits, so an index costs
// little more than the ids it holds.
//
// Traits provide: size_t hash(NodeId) and size_t hash(const Key&), and
// bool equal(NodeId, const Key&).
#pragma once

#include "db/db_node.h"

#include <cstddef>
#include <vector>

template <typename Key, typename Traits> class IdHashSet
{
public:
    // The id whose key equals key, or kNoNode.
    NodeId find(const Key& key) const
    {
        if (slots_.empty()) {
            return kNoNode;
        }
        for (size_t i = Traits::hash(key) & mask(); slots_[i] != kNoNode; i = (i + 1) & mask()) {
            if (Traits::equal(slots_[i], key)) {
                return slots_[i];
            }
        }
        return kNoNode;
    }

    // Adds id, whose key must not be in the set yet.
    void insert(NodeId id)
    {
        if ((count_ + 1) * 4 > slots_.size() * 3) {
            grow();
        }
        place(id);
        ++count_;
    }

    // Replaces the id stored for key (same key) by another id.
    void replace(NodeId old_id, NodeId new_id)
    {
        for (size_t i = Traits::hash(old_id) & mask(); slots_[i] != kNoNode; i = (i + 1) & mask()) {
            if (slots_[i] == old_id) {
                slots_[i] = new_id;
                return;
            }
        }
    }

    void erase(NodeId id)
    {
        if (slots_.empty()) {
            return;
        }
        size_t i = Traits::hash(id) & mask();
        while (slots_[i] != id) {
            if (slots_[i] == kNoNode) {
                return;
            }
            i = (i + 1) & mask();
        }
        // Backward-shift deletion keeps every probe chain unbroken.
        size_t hole = i;
        for (size_t j = (hole + 1) & mask(); slots_[j] != kNoNode; j = (j + 1) & mask()) {
            size_t home = Traits::hash(slots_[j]) & mask();
            bool movable = hole <= j ? (home <= hole || home > j) : (home <= hole && home > j);
            if (movable) {
                slots_[hole] = slots_[j];
                hole = j;
            }
        }
        slots_[hole] = kNoNode;
        --count_;
    }

    void clear()
    {
        slots_.clear();
        slots_.shrink_to_fit();
        count_ = 0;
    }

    size_t size() const
    {
        return count_;
    }

    size_t memory_bytes() const
    {
        return slots_.capacity() * sizeof(NodeId);
    }

    // Visits ids while f returns true.
    template <typename F> void for_each_while(F f) const
    {
        for (NodeId id : slots_) {
            if (id != kNoNode && !f(id)) {
                return;
            }
        }
    }

    template <typename F> void for_each(F f) const
    {
        for (NodeId id : slots_) {
            if (id != kNoNode) {
                f(id);
            }
        }
    }

private:
    size_t mask() const
    {
        return slots_.size() - 1;
    }

    void place(NodeId id)
    {
        size_t i = Traits::hash(id) & mask();
        while (slots_[i] != kNoNode) {
            i = (i + 1) & mask();
        }
        slots_[i] = id;
    }

    void grow()
    {
        std::vector<NodeId> old;
        old.swap(slots_);
        slots_.assign(old.empty() ? 64 : old.size() * 2, kNoNode);
        for (NodeId id : old) {
            if (id != kNoNode) {
                place(id);
            }
        }
    }

    std::vector<NodeId> slots_;
    size_t count_ = 0;
};
