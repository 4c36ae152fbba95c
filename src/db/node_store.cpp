#include "db/node_store.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <sys/mman.h>
#include <vector>

namespace node_store_detail
{
DbNode*** g_chunk_table = nullptr;
size_t g_chunk_count = 0;
} // namespace node_store_detail

namespace
{

using namespace node_store_detail;

// Large tables are allocated in 2 MiB blocks that the kernel may back with
// huge pages: a big library then costs a few hundred page faults instead of
// tens of thousands, and far fewer TLB misses on every walk.
constexpr size_t kBlockBytes = size_t{2} << 20;

struct FreeBlock {
    void operator()(void* p) const
    {
        free(p);
    }
};
using Block = std::unique_ptr<void, FreeBlock>;

Block new_block()
{
    void* p = aligned_alloc(kBlockBytes, kBlockBytes);
    if (!p) {
        throw std::bad_alloc();
    }
    madvise(p, kBlockBytes, MADV_HUGEPAGE);
    return Block(p);
}

static_assert(kChunkSize * sizeof(DbNode*) == kBlockBytes, "one id chunk is one block");

// Never destroyed, like the tree's other shared state: a worker may still
// look a node up while the process exits.
auto& g_chunks = *new std::vector<Block>;
auto& g_chunk_pointers = *new std::vector<DbNode**>;
NodeId g_next_id = 1;

// References are carved from blocks and recycled through a free list.
constexpr size_t kReferencesPerBlock = kBlockBytes / sizeof(DbReference);
auto& g_reference_blocks = *new std::vector<Block>;
size_t g_block_used = kReferencesPerBlock; // of the newest block
auto& g_free_references = *new std::vector<DbReference*>;

DbNode*& slot(NodeId id)
{
    const size_t chunk = static_cast<size_t>(id) >> kChunkBits;
    while (g_chunks.size() <= chunk) {
        Block block = new_block();
        memset(block.get(), 0, kBlockBytes);
        g_chunk_pointers.push_back(static_cast<DbNode**>(block.get()));
        g_chunks.push_back(std::move(block));
        g_chunk_table = g_chunk_pointers.data();
        g_chunk_count = g_chunk_pointers.size();
    }
    return g_chunk_table[chunk][static_cast<size_t>(id) & (kChunkSize - 1)];
}

void* reference_memory()
{
    if (!g_free_references.empty()) {
        DbReference* r = g_free_references.back();
        g_free_references.pop_back();
        return r;
    }
    if (g_block_used == kReferencesPerBlock) {
        g_reference_blocks.push_back(new_block());
        g_block_used = 0;
    }
    return static_cast<DbReference*>(g_reference_blocks.back().get()) + g_block_used++;
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
    auto* r = new (reference_memory()) DbReference;
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
    g_reference_blocks.clear();
    g_block_used = kReferencesPerBlock;
}

NodeId node_store_next_id()
{
    return g_next_id;
}

size_t node_store_memory_bytes()
{
    return (g_chunks.size() + g_reference_blocks.size()) * kBlockBytes +
           g_free_references.capacity() * sizeof(DbReference*);
}
