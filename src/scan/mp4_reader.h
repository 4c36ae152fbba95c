// MP4 files (music in "m4a", "m4b", "aac"; video in "mp4", "m4v", "mov"):
// the iTunes-style tags of moov/udta/meta/ilst, the play time of mvhd and
// the picture size of the first track that has one. Only the moov box is
// read into memory, and every box length is checked against the bytes
// around it before it is used.
#pragma once

#include "scan/music_tags.h"

#include <cstddef>
#include <cstdint>

// The moov box is read whole; larger ones are taken as broken.
inline constexpr int64_t kMp4MaxMoov = 64 * 1024 * 1024;

struct Mp4Info {
    // title, artist (the album artist when there is no track artist),
    // album, genre, date, track and duration; album_art is 1 when the file
    // carries a cover.
    MusicTags tags;
    bool compilation = false;
    int64_t duration_ms = 0;
    int32_t width = 0; // of the first track with a picture size
    // kAudioFormatAacLc(Hi) when the first audio track is plain AAC-LC.
    int32_t audio_format = kAudioFormatUnknown;
    int32_t height = 0;
    // Where the first cover's picture stands in the file; length 0: none.
    int64_t cover_offset = 0;
    int64_t cover_length = 0;
};

// The record from the payload of a moov box that begins at file offset base
// (used for the cover's position).
Mp4Info mp4_parse_moov(const uint8_t* data, size_t n, int64_t base);

// The record of the file at path, with its size and modification time; an
// empty record when it cannot be read or holds no moov box.
Mp4Info mp4_read(const char* path);

// The first cover picture of the file (JPEG or PNG bytes as stored); false
// when there is none.
bool mp4_read_cover(const char* path, std::string& picture);

// The scanner's reader of MP4 music. Returns the db_add_item result.
int mp4_add(const char* path, int compilation);
