#include "scan/library_sync.h"

#include "core/log.h"
#include "db/media_db.h"

#include <vector>

std::string library_playlist_source(const std::string& file, const std::string& key)
{
    return file + kDbSourcePartSeparator + key;
}

void library_replace(LibraryContents& before, LibraryContents&& now)
{
    for (const std::string& source : before.playlists) {
        if (!now.playlists.contains(source)) {
            db_remove_playlist(source.c_str());
        }
    }
    std::vector<const std::pair<std::string, const char*>*> gone;
    for (const auto& item : before.items) {
        if (!now.items.contains(item)) {
            gone.push_back(&item);
        }
    }
    if (!gone.empty()) {
        const DbLock lock = db_lock();
        for (const auto* item : gone) {
            DbItem* found = db_find_item_for_class(lock, item->first, item->second);
            if (found) {
                db_unlink_item(lock, found);
            }
        }
        log_msg(LOG_INFO, LOG_CAT_DB, "%zu tracks left the library and the tree\n", gone.size());
    }
    before = std::move(now);
}
