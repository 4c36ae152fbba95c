#include "scan/music_tags.h"

#include "core/log.h"
#include "scan/folder_art.h"

namespace
{

const char* text_of(const std::optional<std::string>& s)
{
    return s ? s->c_str() : nullptr;
}

} // namespace

DbItemFields music_item_fields(const MusicTags& t, const char* path, int compilation)
{
    DbItemFields f;
    f.title = text_of(t.title);
    f.upnp_class = kClassMusicTrack;
    f.artist = text_of(t.artist);
    f.album = text_of(t.album);
    f.genre = text_of(t.genre);
    f.date = text_of(t.date);
    f.path = path;
    f.duration = text_of(t.duration);
    f.track = t.track;
    // A track without a picture of its own takes the folder's art.
    f.album_art = t.album_art != 0          ? t.album_art
                  : folder_art_beside(path) ? kAlbumArtFromFolder
                                            : 0;
    f.compilation = compilation;
    f.bitrate = t.bitrate;
    f.size = t.size;
    f.mtime = t.mtime;
    return f;
}

int music_add(const MusicTags& tags, const char* path, int compilation, const char* kind)
{
    const int result = db_add_item(music_item_fields(tags, path, compilation));
    if (result == DB_ADD_FAILED) {
        log_msg(LOG_PROBLEM, LOG_CAT_DB, "failed to add %s: %s\n", kind, path);
    }
    return result;
}
