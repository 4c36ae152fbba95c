#include "core/log.h"
#include "core/paths.h"
#include "core/titles.h"
#include "core/utf8.h"
#include "db/media_db.h"
#include "scan/mp3_reader.h"
#include "scan/playlist_entries.h"
#include "scan/playlist_readers.h"

#include <cstring>
#include <memory>
#include <strings.h>
#include <sys/stat.h>

namespace
{

bool is_m3u8(const char* path)
{
    const size_t n = strlen(path);
    return n >= 5 && strcasecmp(path + n - 5, ".m3u8") == 0;
}

// A station: an item in the favourites, referenced in this playlist.
void add_station(PlaylistBuild& build, const std::string& url,
                 const std::optional<std::string>& display_title)
{
    const std::string title = display_title ? *display_title : title_from_filename(url);
    const int32_t order = build.counter.next();
    DbItemFields f = music_item_fields(MusicTags{}, url.c_str(), 0);
    f.upnp_class = kClassBroadcast;
    f.title = title.c_str();
    f.playlist = build.name.c_str();
    f.playlist_source = build.source.c_str();
    f.playlist_order = order;
    if (db_add_item(f) == DB_ADD_FAILED) {
        log_msg(LOG_PROBLEM, LOG_CAT_DB, "failed to add plylist item: %s, %s\n", title.c_str(),
                url.c_str());
        return;
    }
    build.add_known(url, kClassBroadcast, order);
}

} // namespace

void m3u_read_named(const char* path, const std::string& name_given)
{
    std::unique_ptr<FILE, decltype(&fclose)> file(fopen(path, "r"), fclose);
    if (!file) {
        return;
    }
    // "m3u8" is UTF-8 by its name; a plain m3u is whatever its writer used,
    // UTF-8 when it reads as such, else Latin-1.
    const bool utf8 = is_m3u8(path);
    PlaylistBuild build(path, name_given.empty() ? title_from_filename(path) : name_given);
    PlaylistFailures failures;
    const std::string self = path_canonical(path).value_or(path);
    // The title of the next entry, from the #EXTINF line just before it.
    std::optional<std::string> display_title;
    std::string line;
    bool first = true;
    while (playlist_read_line(file.get(), line)) {
        if (first && line.rfind("\xEF\xBB\xBF", 0) == 0) {
            line.erase(0, 3); // a byte-order mark
        }
        first = false;
        playlist_trim(line);
        if (line.rfind('#', 0) == 0) {
            const size_t comma = line.find(',');
            if (line.rfind("#EXTINF:", 0) == 0 && comma != std::string::npos) {
                const std::string_view text = std::string_view(line).substr(comma + 1);
                display_title = utf8 ? utf8_repair(text) : utf8_from_unknown(text);
            }
            continue;
        }
        if (line.size() < 5) {
            continue;
        }
        std::optional<std::string> title;
        title.swap(display_title);
        const std::optional<PlaylistLocation> found = playlist_locate_entry(line, path);
        // A playlist that names itself would turn into a track of its own.
        if (!found || found->location == self) {
            failures.not_located(line);
            continue;
        }
        if (found->is_url && found->location.rfind("ftp://", 0) == 0) {
            // A file on an FTP server: a track that plays through the relay.
            playlist_add_remote(build, found->location, title);
        } else if (found->is_url) {
            add_station(build, found->location, title);
        } else if (build.add_file(found->location) != ScanEntry::Music) {
            // Only what a reader of this program has read is listed: a file
            // of an unknown type, a picture or a video is no music track.
            log_msg(LOG_INFO, LOG_CAT_DB, "playlist %s: %s is not music, left out\n", path,
                    found->location.c_str());
        }
    }
    failures.finish(path);
    build.finish();
}

int m3u_read(const char* path, int)
{
    m3u_read_named(path, "");
    return 0;
}
