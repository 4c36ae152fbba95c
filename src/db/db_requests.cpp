// What request threads ask of the tree: ObjectIDs, UpdateObject, and the
// location and description of an item for the delivery handlers.
#include "core/log.h"
#include "db/auto_playlists.h"
#include "db/db_internal.h"
#include "db/db_values.h"
#include "db/views.h"

#include <cstdint>
#include <cstring>

NodeId db_parse_id(const char* text)
{
    if (!text) {
        return 0;
    }
    long long v = 0;
    for (const char* p = text; *p >= '0' && *p <= '9'; ++p) {
        v = v * 10 + (*p - '0');
        if (v > 0x7fffffff) {
            return kNoNode;
        }
    }
    return static_cast<NodeId>(v);
}

NodeId db_parse_object_id(const char* text)
{
    if (!text || !*text) {
        return kNoNode;
    }
    long long v = 0;
    for (const char* p = text; *p; ++p) {
        if (*p < '0' || *p > '9') {
            return kNoNode;
        }
        v = v * 10 + (*p - '0');
        if (v > 0x7fffffff) {
            return kNoNode;
        }
    }
    return static_cast<NodeId>(v);
}

NodeId db_resolve_object_id(const char* object_id, bool music_client)
{
    const char* text = object_id ? object_id : "";
    NodeId music = kNoNode;
    NodeId photo = kNoNode;
    NodeId movie = kNoNode;
    {
        const DbLock lock = db_lock();
        music = g_db.music_root ? g_db.music_root->id : kNoNode;
        photo = g_db.picture_root ? g_db.picture_root->id : kNoNode;
        movie = g_db.video_root ? g_db.video_root->id : kNoNode;
    }
    // An alias whose container is absent names the root, as its leading "0"
    // always did.
    if (strcmp(text, "0\\Music\\") == 0) {
        return music != kNoNode ? music : 0;
    }
    if (strcmp(text, "0\\Photo\\") == 0) {
        return photo != kNoNode ? photo : 0;
    }
    if (strcmp(text, "0\\Movie\\") == 0) {
        return movie != kNoNode ? movie : 0;
    }
    if (strcmp(text, "0") == 0 && music != kNoNode && music_client) {
        return music;
    }
    const NodeId id = db_parse_object_id(text);
    if (id != kNoNode) {
        auto_playlists_fill_for(id);
    }
    return id;
}

int db_update_property(const char* object_id, const char* property, const char* current_value,
                       const char* new_value)
{
    if (!object_id) {
        return 501;
    }
    const DbLock lock = db_lock();
    DbNode* node = db_find_by_id(lock, db_parse_id(object_id));
    if (!node || node->kind == DB_CONTAINER) {
        return 501;
    }
    DbItem* item = db_target_item(lock, node);
    if (!item) {
        return 200;
    }
    if (!property || !*property) {
        return 501;
    }
    const std::string_view name(property);
    // Both values are taken as the tree keeps values (no bytes below 32), so
    // a control point that set a value with a tab names it the same way next
    // time. They are not cut here: see the length test below.
    const std::string current = db_clean_text(current_value ? current_value : "", SIZE_MAX);
    const std::string replacement = db_clean_text(new_value ? new_value : "", SIZE_MAX);
    struct Field {
        std::string_view name;
        DbText DbItem::*field;
    };
    static constexpr Field kFields[] = {
        {"title", &DbItem::title},
        {"artist", &DbItem::artist},
        {"album", &DbItem::album},
        {"genre", &DbItem::genre},
        {"date", &DbItem::date},
        {"dc:description", &DbItem::description},
        {"upnp:keywords", &DbItem::keywords},
    };
    for (const Field& f : kFields) {
        // Any leading part of a name selects it ("ti" is "title").
        if (f.name.substr(0, name.size()) != name) {
            continue;
        }
        // An overlong value is refused rather than cut: a control point that
        // stored a cut value would no longer know the present value, and its
        // next change (guarded by that value) would fail.
        if (replacement.size() > kDbMaxText) {
            log_msg(LOG_INFO, LOG_CAT_DB, "UpdateObject value of %zu bytes refused\n",
                    replacement.size());
            return 402;
        }
        DbText& value = item->*(f.field);
        if (db_text_of(value) != current) {
            return 403;
        }
        const bool keywords = f.field == &DbItem::keywords;
        if (keywords) {
            db_unindex_keywords(lock, item);
        }
        value = DbText(replacement);
        if (keywords) {
            db_index_keywords(lock, item);
        }
        db_mark_changed(lock, db_container_at(item->parent));
        if (keywords) {
            keyword_folders_rebuild(lock, item);
        }
        return 200;
    }
    return 402;
}

std::optional<DbLocation> db_item_location(const char* object_id)
{
    const DbLock lock = db_lock();
    DbItem* item = db_target_item(lock, db_find_by_id(lock, db_parse_id(object_id)));
    if (!item) {
        return std::nullopt;
    }
    DbLocation location;
    location.path = db_text_of(item->path);
    location.duration_ms = item->bitrate == 0 ? 0 : item->duration_ms;
    location.audio_format = item->audio_format;
    location.width = item->width;
    location.height = item->height;
    location.listed_station = item->upnp_class == kClassBroadcast && !item->playlist;
    return location;
}

namespace
{

const DbItem* first_art_below(const DbLock& lock, const DbContainer* container, int& budget)
{
    for (DbNode* n = db_first_child(lock, container); n && budget > 0;
         n = db_next_sibling(lock, n)) {
        --budget;
        if (const DbItem* item = db_target_item(lock, n)) {
            if (item->album_art != 0) {
                return item;
            }
        } else if (const DbContainer* child = db_as_container(n)) {
            if (const DbItem* item = first_art_below(lock, child, budget)) {
                return item;
            }
        }
    }
    return nullptr;
}

} // namespace

const DbItem* db_first_item_with_art(const DbLock& lock, const DbContainer* container)
{
    int budget = kArtSearchNodes;
    return container ? first_art_below(lock, container, budget) : nullptr;
}

std::optional<DbLocation> db_art_location(const char* object_id)
{
    const DbLock lock = db_lock();
    DbNode* node = db_find_by_id(lock, db_parse_id(object_id));
    const DbItem* item = db_target_item(lock, node);
    if (!item) {
        item = db_first_item_with_art(lock, db_as_container(node));
    }
    if (!item) {
        return std::nullopt;
    }
    DbLocation location;
    location.path = db_text_of(item->path);
    return location;
}

std::optional<DbPlayRow> db_play_row(NodeId id)
{
    const DbLock lock = db_lock();
    const DbItem* item = db_target_item(lock, db_find_by_id(lock, id));
    if (!item) {
        return std::nullopt;
    }
    DbPlayRow row;
    row.music = item->upnp_class == kClassMusicTrack;
    row.path = db_text_of(item->path);
    row.title = db_text_of(item->title);
    return row;
}

uint32_t db_system_update_id()
{
    const DbLock lock = db_lock();
    return g_db.system_update_id;
}

std::optional<std::string> db_item_description(const char* object_id)
{
    const DbLock lock = db_lock();
    DbItem* item = db_target_item(lock, db_find_by_id(lock, db_parse_id(object_id)));
    if (!item || !item->description) {
        return std::nullopt;
    }
    return std::string(item->description.get());
}
