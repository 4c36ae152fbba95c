#include "scan/visual_readers.h"

#include "scan/file_types.h"
#include "scan/picture_reader.h"
#include "scan/video_reader.h"

void visual_readers_register()
{
    scan_register_reader("jpg", add_picture);
    scan_register_reader("jpeg", add_picture);
    for (const char* extension : {"avi", "mpg", "mp4", "wmv", "vob", "mpeg2", "mpeg"}) {
        scan_register_reader(extension, add_video);
    }
}
