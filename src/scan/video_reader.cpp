#include "scan/video_reader.h"

#include "core/log.h"
#include "core/titles.h"
#include "db/media_db.h"

#include <cstdio>
#include <ctime>
#include <sys/stat.h>

int add_video(const char* path, int /*compilation*/)
{
    struct stat st = {};
    if (stat(path, &st) != 0) {
        return DB_ADD_FAILED;
    }
    tm utc = {};
    gmtime_r(&st.st_ctime, &utc);
    char date[32]; // "YYYY-MM-DD"
    snprintf(date, sizeof date, "%04d-%02d-%02d", utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday);
    const std::string title = title_from_filename(path);
    DbItemFields f;
    f.title = title.c_str();
    f.upnp_class = "object.item.videoItem.movie";
    f.date = date;
    f.path = path;
    f.size = st.st_size;
    // No modification time: a video once in the tree counts as up to date
    // and is never read again.
    const int result = db_add_item(f);
    if (result == DB_ADD_FAILED) {
        log_msg(LOG_PROBLEM, LOG_CAT_DB, "failed to add video: %s\n", path);
    }
    return result;
}
