#include "core/log.h"
#include "core/titles.h"
#include "db/media_db.h"
#include "scan/mp3_reader.h"
#include "scan/playlist_entries.h"
#include "scan/playlist_readers.h"

#include <memory>

void m3u_read_named(const char* path, const std::string& name_given)
{
    std::unique_ptr<FILE, decltype(&fclose)> file(fopen(path, "r"), fclose);
    if (!file) {
        return;
    }
    const std::string name = name_given.empty() ? title_from_filename(path) : name_given;
    db_clear_playlist(name.c_str());
    PlaylistCounter counter;
    PlaylistFailures failures;
    std::optional<std::string> display_title;
    std::string line;
    while (playlist_read_line(file.get(), line)) {
        playlist_trim(line);
        if (line.rfind('#', 0) == 0) {
            const size_t comma = line.find(',');
            if (line.rfind("#EXTINF:", 0) == 0 && comma != std::string::npos) {
                display_title = line.substr(comma + 1);
            }
            continue;
        }
        if (line.size() < 5) {
            continue;
        }
        const std::optional<PlaylistLocation> found = playlist_locate_entry(line, path);
        // A playlist that names itself would turn into a track of its own.
        if (!found || found->location == path) {
            failures.not_located(line);
            continue;
        }
        const char* location = found->location.c_str();
        const MusicTags tags = found->is_url ? MusicTags{} : mp3_read_tags(location);
        const std::string title = tags.title      ? *tags.title
                                  : display_title ? *display_title
                                                  : title_from_filename(found->location);
        DbItemFields f = music_item_fields(tags, location, 0);
        f.upnp_class = found->is_url ? kClassBroadcast : kClassMusicTrack;
        f.title = title.c_str();
        f.playlist = name.c_str();
        f.track = counter.next();
        if (db_add_item(f) == DB_ADD_FAILED) {
            log_msg(LOG_PROBLEM, LOG_CAT_DB, "failed to add plylist item: %s, %s\n", title.c_str(),
                    location);
        }
    }
    failures.finish(path);
}

int m3u_read(const char* path, int)
{
    m3u_read_named(path, "");
    return 0;
}
