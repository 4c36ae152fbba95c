// The two blocks that FLAC and Ogg files share: the Vorbis comment list
// (NAME=value texts) and the picture block (the FLAC PICTURE block, which Ogg
// files carry base64-encoded as a METADATA_BLOCK_PICTURE comment). Both
// parsers work on the bytes they are given and never read past them.
#pragma once

#include "scan/music_tags.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// An embedded picture: its MIME type as the file names it and its bytes.
struct MusicPicture {
    std::string mime;
    std::string data;
    uint32_t type = 0; // 3: front cover
};

// The picture types a cover search prefers: the front cover over any other.
inline constexpr uint32_t kPictureFrontCover = 3;

// Fills title, artist, album, genre, date, track and compilation from a
// comment list (vendor length, vendor, count, then length-prefixed entries,
// all lengths 32-bit little-endian). A METADATA_BLOCK_PICTURE entry sets
// album_art to 1 and, when picture is given, is decoded into it (a front
// cover wins over an earlier other picture). Returns false, with the reason
// in tags.problem, when the list runs past n; the fields read until then are
// kept.
bool vorbis_comment_parse(const uint8_t* data, size_t n, MusicTags& tags, MusicPicture* picture);

// Decodes a picture block (type, MIME, description, four numbers, then the
// data, lengths 32-bit big-endian). False when it runs past n.
bool music_picture_parse(const uint8_t* data, size_t n, MusicPicture& out);

// Standard base64 without line breaks; padding optional. False on any other
// character.
bool music_base64_decode(std::string_view text, std::string& out);
