#include "scan/music_tags.h"

#include "core/log.h"
#include "scan/folder_art.h"

#include <cstdio>

namespace
{

const char* text_of(const std::optional<std::string>& s)
{
    return s ? s->c_str() : nullptr;
}

} // namespace

std::string music_date_from_year(std::string_view text)
{
    int year = 0;
    for (size_t i = 0; i < text.size() && text[i] >= '0' && text[i] <= '9' && year < 100000; ++i) {
        year = year * 10 + (text[i] - '0');
    }
    char date[32];
    snprintf(date, sizeof date, "%04d-01-01", year);
    return date;
}

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
    f.compilation = t.compilation ? 1 : compilation;
    f.bitrate = t.bitrate;
    f.audio_format = t.audio_format;
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
