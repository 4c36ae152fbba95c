// Ogg Vorbis and Ogg Opus files: the comment header (the second packet of
// the first logical stream) and the duration from the granule position of
// that stream's last page, in samples at the Vorbis sample rate, or for
// Opus at 48 kHz less the pre-skip. Pages are read one at a time, every
// length checked against the file; a packet is cut off at kOggPacketLimit.
#pragma once

#include "scan/music_tags.h"
#include "scan/vorbis_comment.h"

#include <cstddef>

// Larger comment packets (pictures of many megabytes) are not read.
inline constexpr size_t kOggPacketLimit = 16 * 1024 * 1024;

// The record of the file at path (album_art 1 when it holds a picture);
// with a problem when it is neither Vorbis nor Opus in Ogg.
MusicTags ogg_read_tags(const char* path);

// The METADATA_BLOCK_PICTURE of the file at path, the front cover before
// any other; false when it holds none.
bool ogg_read_picture(const char* path, MusicPicture& out);

// The scanner's reader for "ogg", "oga" and "opus". Returns the db_add_item
// result.
int ogg_add(const char* path, int compilation);
