#include "db/db_fixture.h"
#include "db/db_internal.h"
#include "scan/file_types.h"
#include "scan/mkv_reader.h"
#include "scan/picture_reader.h"
#include "scan/video_reader.h"
#include "scan/visual_readers.h"

#include <ctime>
#include <sys/stat.h>
#include <utime.h>

namespace
{

using VideoReader = DbTest;

TEST_F(VideoReader, MovieItemFromTheFileSystem)
{
    db_create();
    const std::string path = file("films/my holiday.avi");
    write_text_file(path, std::string(5000, 'v'));
    // Dated by its modification time (a copy kept it), not its change time.
    const utimbuf kept{0, 1000000000};
    utime(path.c_str(), &kept);
    EXPECT_EQ(add_video(path.c_str(), 0), DB_ADDED);
    struct stat st = {};
    stat(path.c_str(), &st);
    tm utc = {};
    gmtime_r(&st.st_mtime, &utc);
    char date[32];
    snprintf(date, sizeof date, "%04d-%02d-%02d", utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday);
    {
        const DbLock lock = db_lock();
        const DbItem* item = db_find_item_for_class(lock, path, kClassMovie);
        ASSERT_NE(item, nullptr);
        EXPECT_EQ(db_text_of(item->title), "My Holiday");
        EXPECT_EQ(db_text_of(item->date), date);
        EXPECT_EQ(item->size, 5000);
        EXPECT_EQ(date, std::string("2001-09-09"));
        EXPECT_EQ(item->mtime, 1000000000);
        EXPECT_EQ(item->duration_ms, 0);
    }
    // Unchanged, it is not read again; changed, it is.
    EXPECT_EQ(db_needs_update(path.c_str(), g_db.all_videos), 0);
    EXPECT_EQ(add_video(path.c_str(), 0), DB_ALREADY_PRESENT);
    write_text_file(path, std::string(6000, 'v'));
    EXPECT_EQ(db_needs_update(path.c_str(), g_db.all_videos), 1);
    EXPECT_EQ(add_video(path.c_str(), 0), DB_ADDED);
    EXPECT_EQ(add_video(dir.file("missing.avi").c_str(), 0), DB_ADD_FAILED);
}

TEST_F(VideoReader, PicturesAndVideosRegisteredByExtension)
{
    visual_readers_register();
    int rows = 0;
    for (const FileTypeRow& type : scan_file_types()) {
        if (type.kind == 'V') {
            const std::string_view e = type.extension;
            const ScanReader reader = e == "mp4" || e == "m4v" || e == "mov" ? mp4_video_add
                                      : e == "mkv" || e == "webm"            ? mkv_add
                                                                             : add_video;
            EXPECT_EQ(scan_reader(type.reader), reader) << type.extension;
            ++rows;
        } else if (type.kind == 'P') {
            EXPECT_EQ(scan_reader(type.reader), add_picture) << type.extension;
            ++rows;
        }
    }
    EXPECT_EQ(rows, 16);
}

} // namespace
