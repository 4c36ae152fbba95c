// Music files without tags that this server reads ("wav", "m4a", "pcm",
// "lpcm"): what the file name tells, split at underscores into
// [[[[genre_]artist_]album_]track_]title.
#pragma once

#include "scan/music_tags.h"

// The record from the name of the file at path (size and modification time
// from its status); an empty record when it cannot be examined.
MusicTags wav_read_name(const char* path);

// The scanner's reader. Returns the db_add_item result.
int wav_add(const char* path, int compilation);
