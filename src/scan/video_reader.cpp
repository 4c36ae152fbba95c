#include "scan/video_reader.h"

#include "core/log.h"
#include "core/time_util.h"
#include "core/titles.h"
#include "db/media_db.h"
#include "scan/mp4_reader.h"

#include <climits>
#include <cstdio>
#include <ctime>
#include <sys/stat.h>

int video_add(const char* path, int /*compilation*/, const VideoDetails& details)
{
    struct stat st = {};
    if (stat(path, &st) != 0) {
        return DB_ADD_FAILED;
    }
    // Dated by the file's modification time, which copies and backups keep,
    // not by the time its inode last changed.
    tm utc = {};
    gmtime_r(&st.st_mtime, &utc);
    char date[32]; // "YYYY-MM-DD"
    snprintf(date, sizeof date, "%04d-%02d-%02d", utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday);
    const std::string title =
        details.title && !details.title->empty() ? *details.title : title_from_filename(path);
    std::string duration;
    if (details.duration_ms > 0 && details.duration_ms < LONG_MAX) {
        duration = format_duration(static_cast<long>(details.duration_ms));
    }
    DbItemFields f;
    f.title = title.c_str();
    f.upnp_class = "object.item.videoItem.movie";
    f.date = date;
    f.path = path;
    f.duration = duration.empty() ? nullptr : duration.c_str();
    f.width = details.width;
    f.height = details.height;
    f.size = st.st_size;
    // A video re-encoded in place is read again; an unchanged one is not
    // even opened by the next scan.
    f.mtime = static_cast<int64_t>(st.st_mtime);
    const int result = db_add_item(f);
    if (result == DB_ADD_FAILED) {
        log_msg(LOG_PROBLEM, LOG_CAT_DB, "failed to add video: %s\n", path);
    }
    return result;
}

int add_video(const char* path, int compilation)
{
    return video_add(path, compilation, VideoDetails());
}

int mp4_video_add(const char* path, int compilation)
{
    const Mp4Info info = mp4_read(path);
    VideoDetails details;
    details.title = info.tags.title;
    details.duration_ms = info.duration_ms;
    details.width = info.width;
    details.height = info.height;
    return video_add(path, compilation, details);
}
