// FLAC files: STREAMINFO (duration from the total samples and the sample
// rate), the Vorbis comment block and the PICTURE blocks. Only the metadata
// blocks at the head of the file are read, each length checked against the
// file before it is used; an ID3v2 tag before the "fLaC" mark is passed over.
#pragma once

#include "scan/music_tags.h"
#include "scan/vorbis_comment.h"

// The record of the file at path (album_art 1 when it holds a picture);
// empty with a problem when it is not a FLAC file.
MusicTags flac_read_tags(const char* path);

// The picture of the file at path, the front cover before any other; false
// when it holds none.
bool flac_read_picture(const char* path, MusicPicture& out);

// The scanner's reader. Returns the db_add_item result.
int flac_add(const char* path, int compilation);
