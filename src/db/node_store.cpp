#include "db/node_store.h"

#include <memory>
#include <vector>

namespace node_store_detail
{
DbNode*** g_chunk_table = nullptr;
size_t g_chunk_count = 0;
} // namespace node_store_detail

namespace
{

using namespace node_store_detail;

// Never destroyed, like the tree's other shared state: a worker may still
// look a node up while the process exits.
auto& g_chunks = *new std::vector<std::unique_ptr<DbNode*[]>>;
auto& g_chunk_pointers = *new std::vector<DbNode**>;
NodeId g_next_id = 1;

// References are allocated from slabs and recycled through a free list.
constexpr size_t kSlabSize = 4096;
auto& g_slabs = *new std::vector<std::unique_ptr<DbReference[]>>;
auto& g_free_references = *new std::vector<DbReference*>;

DbNode*& slot(NodeId id)
{
    const size_t chunk = static_cast<size_t>(id) >> kChunkBits;
    while (g_chunks.size() <= chunk) {
        g_chunks.emplace_back(new DbNode*[kChunkSize]());
        g_chunk_pointers.push_back(g_chunks.back().get());
        g_chunk_table = g_chunk_pointers.data();
        g_chunk_count = g_chunk_pointers.size();
    }
    return g_chunks[chunk][static_cast<size_t>(id) & (kChunkSize - 1)];
}

} // namespace

NodeId node_store_assign(DbNode* node)
{
    const NodeId id = g_next_id++;
    node->id = id;
    slot(id) = node;
    return id;
}

void node_store_put(NodeId id, DbNode* node)
{
    node->id = id;
    slot(id) = node;
}

DbReference* node_store_new_reference()
{
    if (g_free_references.empty()) {
        g_slabs.emplace_back(new DbReference[kSlabSize]);
        DbReference* slab = g_slabs.back().get();
        g_free_references.reserve(g_free_references.size() + kSlabSize);
        for (size_t i = kSlabSize; i > 0; --i) {
            g_free_references.push_back(&slab[i - 1]);
        }
    }
    DbReference* r = g_free_references.back();
    g_free_references.pop_back();
    *r = DbReference{};
    r->kind = DB_REFERENCE;
    return r;
}

void node_store_free(DbNode* node)
{
    if (!node) {
        return;
    }
    if (node->id >= 0 && node_store_get(node->id) == node) {
        slot(node->id) = nullptr;
    }
    switch (node->kind) {
    case DB_CONTAINER:
        delete static_cast<DbContainer*>(node);
        break;
    case DB_ITEM:
        delete static_cast<DbItem*>(node);
        break;
    case DB_REFERENCE:
        g_free_references.push_back(static_cast<DbReference*>(node));
        break;
    }
}

void node_store_release_references()
{
    g_free_references.clear();
    g_free_references.shrink_to_fit();
    g_slabs.clear();
}

NodeId node_store_next_id()
{
    return g_next_id;
}

size_t node_store_memory_bytes()
{
    return g_chunks.size() * kChunkSize * sizeof(DbNode*) +
           g_slabs.size() * kSlabSize * sizeof(DbReference) +
           g_free_references.capacity() * sizeof(DbReference*);
}
