#include "db/db_index.h"

#include "db/db_internal.h"

#include <functional>
#include <sys/stat.h>

namespace
{

size_t mix(size_t h, size_t v)
{
    return (h ^ v) * 0x100000001b3ULL;
}

size_t hash_text(std::string_view text)
{
    return std::hash<std::string_view>{}(text);
}

DbIndexes& indexes(const DbLock& lock)
{
    return db_state(lock).indexes;
}

// Chains of equal keys: the set holds the head, each node links the next.
template <typename Set, typename Key, typename Next>
void chain_insert(Set& set, const Key& key, NodeId id, Next next_of)
{
    NodeId head = set.find(key);
    if (head == kNoNode) {
        next_of(id) = kNoNode;
        set.insert(id);
        return;
    }
    next_of(id) = head;
    set.replace(head, id);
}

template <typename Set, typename Key, typename Next>
void chain_remove(Set& set, const Key& key, NodeId id, Next next_of)
{
    NodeId head = set.find(key);
    if (head == id) {
        NodeId next = next_of(id);
        if (next == kNoNode) {
            set.erase(id);
        } else {
            set.replace(id, next);
        }
        return;
    }
    for (NodeId at = head; at != kNoNode; at = next_of(at)) {
        if (next_of(at) == id) {
            next_of(at) = next_of(id);
            return;
        }
    }
}

auto& next_same_title(NodeId id)
{
    return db_container_at(id)->next_same_title;
}

auto& next_same_path(NodeId id)
{
    return db_item_at(id)->next_same_path;
}

auto& next_same_keywords(NodeId id)
{
    return db_item_at(id)->next_same_keywords;
}

TitleKey title_key(const DbContainer* c)
{
    return TitleKey{c->parent, db_text_of(c->title)};
}

PathKey path_key(const DbItem* i)
{
    return PathKey{i->upnp_class, db_text_of(i->path)};
}

// The item itself or one of its references lies in the container's subtree.
bool appears_in(const DbLock& lock, DbItem* item, const DbContainer* container)
{
    if (db_in_subtree(lock, item, container)) {
        return true;
    }
    for (NodeId r = item->first_reference; r != kNoNode; r = db_reference_at(r)->next_reference) {
        if (db_in_subtree(lock, db_reference_at(r), container)) {
            return true;
        }
    }
    return false;
}

} // namespace

size_t TitleTraits::hash(const TitleKey& k)
{
    return mix(hash_text(k.title), static_cast<size_t>(k.parent));
}

size_t TitleTraits::hash(NodeId id)
{
    return hash(title_key(db_container_at(id)));
}

bool TitleTraits::equal(NodeId id, const TitleKey& k)
{
    const DbContainer* c = db_container_at(id);
    return c->parent == k.parent && db_text_of(c->title) == k.title;
}

size_t PathTraits::hash(const PathKey& k)
{
    return mix(hash_text(k.path), reinterpret_cast<size_t>(k.upnp_class));
}

size_t PathTraits::hash(NodeId id)
{
    return hash(path_key(db_item_at(id)));
}

bool PathTraits::equal(NodeId id, const PathKey& k)
{
    const DbItem* i = db_item_at(id);
    return i->upnp_class == k.upnp_class && db_text_of(i->path) == k.path;
}

size_t KeywordsTraits::hash(std::string_view k)
{
    return hash_text(k);
}

size_t KeywordsTraits::hash(NodeId id)
{
    return hash_text(db_text_of(db_item_at(id)->keywords));
}

bool KeywordsTraits::equal(NodeId id, std::string_view k)
{
    return db_text_of(db_item_at(id)->keywords) == k;
}

void db_index_title(const DbLock& lock, DbContainer* container)
{
    chain_insert(indexes(lock).titles, title_key(container), container->id, next_same_title);
}

void db_unindex_title(const DbLock& lock, DbContainer* container)
{
    chain_remove(indexes(lock).titles, title_key(container), container->id, next_same_title);
}

void db_index_item(const DbLock& lock, DbItem* item)
{
    chain_insert(indexes(lock).paths, path_key(item), item->id, next_same_path);
    db_index_keywords(lock, item);
}

void db_unindex_item(const DbLock& lock, DbItem* item)
{
    chain_remove(indexes(lock).paths, path_key(item), item->id, next_same_path);
    db_unindex_keywords(lock, item);
}

void db_index_keywords(const DbLock& lock, DbItem* item)
{
    if (item->keywords) {
        chain_insert(indexes(lock).keywords, db_text_of(item->keywords), item->id,
                     next_same_keywords);
    }
}

void db_unindex_keywords(const DbLock& lock, DbItem* item)
{
    if (item->keywords) {
        chain_remove(indexes(lock).keywords, db_text_of(item->keywords), item->id,
                     next_same_keywords);
    }
}

void db_indexes_clear(const DbLock& lock)
{
    indexes(lock).titles.clear();
    indexes(lock).paths.clear();
    indexes(lock).keywords.clear();
}

size_t db_title_index_count(const DbLock& lock)
{
    size_t count = 0;
    indexes(lock).titles.for_each([&](NodeId id) {
        for (NodeId at = id; at != kNoNode; at = db_container_at(at)->next_same_title) {
            ++count;
        }
    });
    return count;
}

DbItem* db_find_path_of_class(const DbLock& lock, const DbContainer* container,
                              std::string_view path, const char* upnp_class)
{
    for (NodeId id = indexes(lock).paths.find(PathKey{upnp_class, path}); id != kNoNode;
         id = db_item_at(id)->next_same_path) {
        if (appears_in(lock, db_item_at(id), container)) {
            return db_item_at(id);
        }
    }
    return nullptr;
}

DbContainer* db_find_child(const DbLock& lock, const DbContainer* parent, std::string_view title)
{
    if (!parent) {
        return nullptr;
    }
    return db_container_at(indexes(lock).titles.find(TitleKey{parent->id, title}));
}

DbItem* db_find_item_by_path(const DbLock& lock, const DbContainer* container,
                             std::string_view path)
{
    if (!container) {
        return nullptr;
    }
    for (const char* cls : {kClassMusicTrack, kClassBroadcast, kClassPhoto, kClassMovie}) {
        if (DbItem* item = db_find_path_of_class(lock, container, path, cls)) {
            return item;
        }
    }
    return nullptr;
}

DbItem* db_find_item_for_class(const DbLock& lock, std::string_view path, const char* upnp_class)
{
    const DbContainer* owner = db_owner_for_class(lock, upnp_class);
    if (!owner || path.data() == nullptr) {
        return nullptr;
    }
    return db_find_path_of_class(lock, owner, path, upnp_class);
}

DbItem* db_find_item_by_keywords(const DbLock& lock, const DbContainer* container,
                                 std::string_view text)
{
    for (NodeId id = indexes(lock).keywords.find(text); id != kNoNode;
         id = db_item_at(id)->next_same_keywords) {
        if (db_in_subtree(lock, db_item_at(id), container)) {
            return db_item_at(id);
        }
    }
    return nullptr;
}

int db_needs_update(const char* path, const DbContainer* container)
{
    struct stat st {
    };
    if (!path || stat(path, &st) != 0) {
        return 0;
    }
    return db_needs_update_since(path, static_cast<int64_t>(st.st_mtime),
                                 static_cast<int64_t>(st.st_size), container);
}

int db_needs_update_since(const char* path, int64_t mtime, int64_t size,
                          const DbContainer* container)
{
    if (!path) {
        return 0;
    }
    const DbLock lock = db_lock();
    // A file not in the tree yet is always read, whatever its date (1970
    // itself, or one before it).
    const DbItem* item = db_find_item_by_path(lock, container, path);
    return !item || mtime != item->mtime || (size >= 0 && size != item->size) ? 1 : 0;
}

void db_for_each_container(const DbLock& lock, const std::function<void(DbContainer*)>& visit)
{
    indexes(lock).titles.for_each([&](NodeId head) {
        for (NodeId at = head; at != kNoNode; at = db_container_at(at)->next_same_title) {
            visit(db_container_at(at));
        }
    });
}

void db_for_each_item(const DbLock& lock, const std::function<void(DbItem*)>& visit)
{
    indexes(lock).paths.for_each([&](NodeId head) {
        for (NodeId at = head; at != kNoNode; at = db_item_at(at)->next_same_path) {
            visit(db_item_at(at));
        }
    });
}

void db_for_each_container_while(const DbLock& lock, const std::function<bool(DbContainer*)>& visit)
{
    indexes(lock).titles.for_each_while([&](NodeId head) {
        for (NodeId at = head; at != kNoNode; at = db_container_at(at)->next_same_title) {
            if (!visit(db_container_at(at))) {
                return false;
            }
        }
        return true;
    });
}

void db_for_each_item_while(const DbLock& lock, const std::function<bool(DbItem*)>& visit)
{
    indexes(lock).paths.for_each_while([&](NodeId head) {
        for (NodeId at = head; at != kNoNode; at = db_item_at(at)->next_same_path) {
            if (!visit(db_item_at(at))) {
                return false;
            }
        }
        return true;
    });
}
