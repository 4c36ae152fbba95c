#include "db/auto_playlists.h"

#include "core/settings.h"
#include "db/db_internal.h"
#include "db/sort.h"

#include <ctime>
#include <vector>

namespace
{

void update_list(const DbLock& lock, DbContainer* list, DbItem* item, int32_t value)
{
    const int limit = setting_int(KEY_PLAYLISTNUMENTRIES);
    if (!list || limit == 0) {
        return;
    }
    DbReference* smallest = nullptr;
    int entries = 0;
    for (DbNode* n = db_first_child(lock, list); n; n = db_next_sibling(lock, n)) {
        DbReference* ref = db_as_reference(n);
        if (!ref) {
            continue;
        }
        if (ref->target == item->id) {
            ref->order = value;
            return;
        }
        if (!smallest || ref->order < smallest->order) {
            smallest = ref;
        }
        ++entries;
    }
    if (entries >= limit) {
        if (smallest && smallest->order < value) {
            db_repoint_reference(lock, smallest, item, value);
        }
        return;
    }
    db_add_reference(lock, list, item, value);
}

// Fills one list, named by its place among the tree's tops: which list that
// is, is read under the lock too.
void fill(DbContainer* MediaDb::*which, void (*update)(const DbLock&, DbItem*))
{
    const DbLock lock = db_lock();
    DbContainer* list = g_db.*which;
    if (!list || setting_int(KEY_PLAYLISTNUMENTRIES) == 0 || list->child_count != 0 ||
        !g_db.all_tracks) {
        return;
    }
    for (DbNode* n = db_first_child(lock, g_db.all_tracks); n; n = db_next_sibling(lock, n)) {
        if (DbItem* item = db_as_item(n)) {
            update(lock, item);
        }
    }
}

// Appends the lines of one container and then of its child containers;
// false once the text passed the limit.
bool append_m3u_lines(const DbLock& lock, const DbContainer* container, const char* base_url,
                      StrBuf& out)
{
    std::vector<DbNode*> entries;
    std::vector<const DbContainer*> children;
    for (DbNode* n = db_first_child(lock, container); n; n = db_next_sibling(lock, n)) {
        if (n->kind == DB_CONTAINER) {
            children.push_back(static_cast<DbContainer*>(n));
        } else {
            entries.push_back(n);
        }
    }
    const std::string criteria = sort_criteria_for(nullptr, container->upnp_class);
    sort_nodes(lock, entries, sort_parse(criteria.c_str()));
    for (DbNode* n : entries) {
        const DbItem* item = db_target_item(lock, n);
        if (item && item->upnp_class == kClassMusicTrack) {
            // The item's own id, and always ".mp3": players pick the stream by it.
            strbuf_appendf(out, "%sdisk/%ld.mp3\r\n", base_url, static_cast<long>(item->id));
        }
        if (out.length > kM3uLimit) {
            return false;
        }
    }
    for (const DbContainer* child : children) {
        if (!append_m3u_lines(lock, child, base_url, out)) {
            return false;
        }
    }
    return true;
}

} // namespace

void most_played_update(const DbLock& lock, DbItem* item)
{
    update_list(lock, g_db.most_played_list, item, item->play_count);
}

void last_played_update(const DbLock& lock, DbItem* item)
{
    update_list(lock, g_db.last_played_list, item,
                static_cast<int32_t>(item->last_played - g_db.created_at));
}

void db_item_played(const char* object_id, std::optional<int64_t> when)
{
    const DbLock lock = db_lock();
    DbItem* item = db_target_item(lock, db_find_by_id(lock, db_parse_id(object_id)));
    if (!item) {
        return;
    }
    ++item->play_count;
    item->last_played = when.value_or(static_cast<int64_t>(time(nullptr)));
    if (item->upnp_class == kClassMusicTrack) {
        last_played_update(lock, item);
        most_played_update(lock, item);
    }
}

void most_played_fill()
{
    fill(&MediaDb::most_played_list, most_played_update);
}

void last_played_fill()
{
    fill(&MediaDb::last_played_list, last_played_update);
}

void auto_playlists_fill_for(NodeId id)
{
    bool last = false;
    bool most = false;
    {
        const DbLock lock = db_lock();
        const DbContainer* asked = db_as_container(db_find_by_id(lock, id));
        // A list that is empty now fills on its first showing; the lists
        // hang a few levels below the root, so this looks at a few nodes.
        auto shows = [&](const DbContainer* list) {
            return asked && list && list->child_count == 0 && db_in_subtree(lock, list, asked);
        };
        last = shows(g_db.last_played_list);
        most = shows(g_db.most_played_list);
    }
    if (last) {
        last_played_fill();
    }
    if (most) {
        most_played_fill();
    }
}

std::optional<StrBuf> m3u_for_container(const char* object_id, const char* base_url)
{
    const DbLock lock = db_lock();
    const DbContainer* container = db_as_container(db_find_by_id(lock, db_parse_id(object_id)));
    if (!container) {
        return std::nullopt;
    }
    StrBuf out = strbuf_new("#EXTM3U\r\n", 2048);
    append_m3u_lines(lock, container, base_url ? base_url : "", out);
    return out;
}

int64_t music_duration_total(const DbLock&, const DbContainer* container)
{
    return container ? container->music_ms : 0;
}
