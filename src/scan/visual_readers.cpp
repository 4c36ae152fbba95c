#include "scan/visual_readers.h"

#include "scan/file_types.h"
#include "scan/mkv_reader.h"
#include "scan/picture_reader.h"
#include "scan/video_reader.h"

void visual_readers_register()
{
    scan_register_reader("jpg", add_picture);
    scan_register_reader("jpeg", add_picture);
    scan_register_reader("png", add_picture);
    for (const char* extension : {"avi", "mpg", "wmv", "vob", "mpeg2", "mpeg", "ts", "m2ts"}) {
        scan_register_reader(extension, add_video);
    }
    for (const char* extension : {"mp4", "m4v", "mov"}) {
        scan_register_reader(extension, mp4_video_add);
    }
    for (const char* extension : {"mkv", "webm"}) {
        scan_register_reader(extension, mkv_add);
    }
}
