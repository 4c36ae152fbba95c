#include "db/db_subtitles.h"

#include "db/db_internal.h"
#include "db/media_db.h"

bool db_set_subtitle(const std::string& video_path, const std::string& subtitle_path)
{
    const DbLock lock = db_lock();
    DbItem* item = db_find_item_for_class(lock, video_path, kClassMovie);
    if (!item) {
        return false;
    }
    if (db_text_of(item->subtitle) == subtitle_path) {
        return true;
    }
    item->subtitle = subtitle_path.empty() ? DbText() : DbText(subtitle_path);
    // The item's listing changes (a resource more or less): players that
    // keep the container's listing learn it from the update id.
    db_mark_changed(lock, db_container_at(item->parent));
    return true;
}

std::optional<std::string> db_item_subtitle(const char* object_id)
{
    const DbLock lock = db_lock();
    const DbItem* item = db_target_item(lock, db_find_by_id(lock, db_parse_id(object_id)));
    if (!item || item->subtitle.empty()) {
        return std::nullopt;
    }
    return std::string(item->subtitle.get());
}
