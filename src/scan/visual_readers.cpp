#include "scan/visual_readers.h"

#include "scan/file_types.h"
#include "scan/mkv_reader.h"
#include "scan/picture_reader.h"
#include "scan/video_reader.h"

void visual_readers_register()
{
    scan_register_reader(FileReader::Picture, add_picture);
    scan_register_reader(FileReader::Video, add_video);
    scan_register_reader(FileReader::Mp4Video, mp4_video_add);
    scan_register_reader(FileReader::Mkv, mkv_add);
}
