// Where the nodes of the media tree live: the object id table (chunked, so
// that growing it never copies millions of pointers or leaves half of a huge
// block unused) and a block allocator for references, the most numerous nodes.
//
// Ids only grow for the life of a tree, but the table's memory follows
// the live nodes: a chunk whose ids are all issued and whose nodes are all
// freed is given back, so rebuilding the tree again and again costs nothing
// more than the first build.
#pragma once

#include "db/db_node.h"

#include <cstddef>

namespace node_store_detail
{
inline constexpr size_t kChunkBits = 18;
inline constexpr size_t kChunkSize = size_t{1} << kChunkBits;
// Chunk pointers of the id table (null for a chunk given back); read on
// every link walk, so inline.
extern DbNode*** g_chunk_table;
extern size_t g_chunk_count;
} // namespace node_store_detail

// The node with that id, linked or not; null for free or unknown ids.
inline DbNode* node_store_get(NodeId id)
{
    using namespace node_store_detail;
    const size_t chunk = static_cast<size_t>(id) >> kChunkBits;
    if (id < 0 || chunk >= g_chunk_count || !g_chunk_table[chunk]) {
        return nullptr;
    }
    return g_chunk_table[chunk][static_cast<size_t>(id) & (kChunkSize - 1)];
}

// Takes the next object id (they only grow, for the life of the tree)
// and records the node under it. kNoNode, with the node's id left unset,
// when the ids are exhausted or the table cannot grow.
[[nodiscard]] NodeId node_store_assign(DbNode* node);

// Records the node under an id it had before (an item read back from the
// persistence file, so that links players saved still name it). False, with
// the node's id left unset, when the id is taken or out of range; the ids
// issued later continue above it.
[[nodiscard]] bool node_store_assign_at(DbNode* node, NodeId id);

// Records node under an id it already has (the root, id 0).
void node_store_put(NodeId id, DbNode* node);

// Forgets the id and frees the node with its strings.
void node_store_free(DbNode* node);

// A fresh reference, or null when memory is exhausted.
DbReference* node_store_new_reference();

// Gives the reference slabs back once every reference has been freed (after
// the whole tree was destroyed).
void node_store_release_references();

// Starts the ids again from 1 when no node is left (the whole tree was
// destroyed), so that a tree rebuilt by a restart of the services numbers
// its fixed containers as the first one did, as a new process would: the
// ids players saved still name the same containers, and the items get
// theirs back from the persistence file. False, with nothing changed, while
// any node lives.
bool node_store_restart_ids();

// The id the next node will get.
NodeId node_store_next_id();

// Lets a test start the ids near their end.
void node_store_set_next_id(NodeId id);

// Bytes held by the id table and the reference slabs.
size_t node_store_memory_bytes();
