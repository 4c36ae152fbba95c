#include "db/node_store.h"

#include "core/log.h"

#include <cstdint>
#include <cstring>
#include <limits>
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

// Large tables live in 2 MiB blocks that the kernel may back with huge pages:
// a big library then costs a few hundred page faults instead of tens of
// thousands, and far fewer TLB misses on every walk. The blocks are mapped
// directly, so that a block given back really leaves the process (the C
// library's allocator would keep it in its heap).
constexpr size_t kBlockBytes = size_t{2} << 20;

void* map_block()
{
    // Map twice the size and trim to an aligned block: huge pages need it.
    void* raw =
        mmap(nullptr, 2 * kBlockBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) {
        return nullptr;
    }
    const auto start = reinterpret_cast<uintptr_t>(raw);
    const uintptr_t aligned = (start + kBlockBytes - 1) & ~(kBlockBytes - 1);
    if (aligned > start) {
        munmap(raw, aligned - start);
    }
    const uintptr_t end = start + 2 * kBlockBytes;
    if (end > aligned + kBlockBytes) {
        munmap(reinterpret_cast<void*>(aligned + kBlockBytes), end - aligned - kBlockBytes);
    }
    void* block = reinterpret_cast<void*>(aligned);
    madvise(block, kBlockBytes, MADV_HUGEPAGE);
    return block; // anonymous memory comes zeroed
}

void unmap_block(void* block)
{
    if (block) {
        munmap(block, kBlockBytes);
    }
}

static_assert(kChunkSize * sizeof(DbNode*) == kBlockBytes, "one id chunk is one block");

// The store's state. Never destroyed, like the tree's other shared state: a
// worker may still look a node up while the process exits.
struct NodeStore {
    std::vector<DbNode**> chunks; // by chunk number; null when not mapped
    std::vector<uint32_t> live;   // nodes recorded per chunk
    size_t mapped_chunks = 0;
    NodeId next_id = 1;
    bool exhausted_logged = false;
    // References are carved from blocks and recycled through a free list.
    std::vector<void*> reference_blocks;
    size_t block_used = 0; // of the newest block
    std::vector<DbReference*> free_references;
};

NodeStore& store()
{
    static auto* s = new NodeStore;
    return *s;
}

constexpr size_t kReferencesPerBlock = kBlockBytes / sizeof(DbReference);

size_t chunk_of(NodeId id)
{
    return static_cast<size_t>(id) >> kChunkBits;
}

// The slot of an id, mapping its chunk when needed; null when out of memory.
DbNode** slot(NodeId id)
{
    NodeStore& s = store();
    const size_t chunk = chunk_of(id);
    if (s.chunks.size() <= chunk) {
        s.chunks.resize(chunk + 1, nullptr);
        s.live.resize(chunk + 1, 0);
        g_chunk_table = s.chunks.data();
        g_chunk_count = s.chunks.size();
    }
    if (!s.chunks[chunk]) {
        s.chunks[chunk] = static_cast<DbNode**>(map_block());
        if (!s.chunks[chunk]) {
            return nullptr;
        }
        ++s.mapped_chunks;
    }
    return &s.chunks[chunk][static_cast<size_t>(id) & (kChunkSize - 1)];
}

bool record(NodeId id, DbNode* node)
{
    DbNode** at = slot(id);
    if (!at) {
        return false;
    }
    if (!*at) {
        ++store().live[chunk_of(id)];
    }
    *at = node;
    node->id = id;
    return true;
}

// Clears an id's slot; a chunk left without nodes, none of whose ids can be
// issued again, is given back.
void forget(NodeId id)
{
    NodeStore& s = store();
    const size_t chunk = chunk_of(id);
    s.chunks[chunk][static_cast<size_t>(id) & (kChunkSize - 1)] = nullptr;
    if (--s.live[chunk] == 0 && chunk != chunk_of(s.next_id) && chunk != 0) {
        unmap_block(s.chunks[chunk]);
        s.chunks[chunk] = nullptr;
        --s.mapped_chunks;
    }
}

void* reference_memory()
{
    NodeStore& s = store();
    if (!s.free_references.empty()) {
        DbReference* r = s.free_references.back();
        s.free_references.pop_back();
        return r;
    }
    if (s.reference_blocks.empty() || s.block_used == kReferencesPerBlock) {
        void* block = map_block();
        if (!block) {
            return nullptr;
        }
        s.reference_blocks.push_back(block);
        s.block_used = 0;
    }
    return static_cast<DbReference*>(s.reference_blocks.back()) + s.block_used++;
}

} // namespace

NodeId node_store_assign(DbNode* node)
{
    NodeStore& s = store();
    if (s.next_id == std::numeric_limits<NodeId>::max()) {
        if (!s.exhausted_logged) {
            s.exhausted_logged = true;
            log_msg(LOG_ERROR, LOG_CAT_DB, "all object ids are used up, nothing more is added\n");
        }
        return kNoNode;
    }
    if (!record(s.next_id, node)) {
        return kNoNode;
    }
    return s.next_id++;
}

bool node_store_assign_at(DbNode* node, NodeId id)
{
    NodeStore& s = store();
    if (id <= 0 || id == std::numeric_limits<NodeId>::max() || node_store_get(id)) {
        return false;
    }
    if (!record(id, node)) {
        return false;
    }
    if (id >= s.next_id) {
        s.next_id = id + 1;
    }
    return true;
}

void node_store_put(NodeId id, DbNode* node)
{
    record(id, node);
}

DbReference* node_store_new_reference()
{
    void* memory = reference_memory();
    if (!memory) {
        return nullptr;
    }
    auto* r = new (memory) DbReference;
    r->kind = DB_REFERENCE;
    return r;
}

void node_store_free(DbNode* node)
{
    if (!node) {
        return;
    }
    if (node->id >= 0 && node_store_get(node->id) == node) {
        forget(node->id);
    }
    switch (node->kind) {
    case DB_CONTAINER:
        delete static_cast<DbContainer*>(node);
        break;
    case DB_ITEM:
        delete static_cast<DbItem*>(node);
        break;
    case DB_REFERENCE:
        store().free_references.push_back(static_cast<DbReference*>(node));
        break;
    }
}

void node_store_release_references()
{
    NodeStore& s = store();
    s.free_references.clear();
    s.free_references.shrink_to_fit();
    for (void* block : s.reference_blocks) {
        unmap_block(block);
    }
    s.reference_blocks.clear();
    s.block_used = 0;
}

NodeId node_store_next_id()
{
    return store().next_id;
}

bool node_store_restart_ids()
{
    NodeStore& s = store();
    for (const uint32_t n : s.live) {
        if (n != 0) {
            return false;
        }
    }
    s.next_id = 1;
    s.exhausted_logged = false;
    return true;
}

void node_store_set_next_id(NodeId id)
{
    NodeStore& s = store();
    if (id > s.next_id) {
        s.next_id = id;
        s.exhausted_logged = false;
    }
}

size_t node_store_memory_bytes()
{
    const NodeStore& s = store();
    return (s.mapped_chunks + s.reference_blocks.size()) * kBlockBytes +
           s.free_references.capacity() * sizeof(DbReference*) +
           s.chunks.capacity() * (sizeof(DbNode**) + sizeof(uint32_t));
}
