// The picture stored inside a music or video file, found anew on each
// request by the finder that the file-type table names for its format: an
// MP3 file's ID3v2 APIC or PIC frame, a WMA file's WM/Picture descriptor,
// FLAC PICTURE blocks, an MP4 file's covr atom, the METADATA_BLOCK_PICTURE
// comment of an Ogg file. The readers of those formats set the tags'
// album_art to 1 when the file holds a picture.
#pragma once

#include "core/file_type_table.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <vector>

// Where a picture lies: its offset (in the file for MP3, in the searched
// bytes for WMA) and length.
struct AlbumArtSpan {
    int64_t offset = 0;
    int64_t length = 0;
    bool png = false;
    // The picture itself, for a format that stores it encoded (the Ogg
    // comment holds it in base64): sent instead of the span when not empty.
    std::vector<uint8_t> bytes;
};

// The picture of one format in an open file of file_size bytes; nothing when
// it holds none. A span never reaches past the end of the file.
using AlbumArtFind = std::optional<AlbumArtSpan> (*)(FILE* file, int64_t file_size);

struct ArtFinderRow {
    ArtFinder finder;
    AlbumArtFind find; // null: the format holds no pictures
    // The picture is read into memory to be found (picture work, which the
    // album-art service does only inside a picture slot).
    bool in_memory;
};

// The row of a finder of the file-type table.
const ArtFinderRow& art_finder_row(ArtFinder finder);

// Reads the span's bytes into art.bytes when it holds none yet; false when
// the file does not hold them.
bool albumart_read_span(FILE* file, AlbumArtSpan& art);

// The JFIF JPEG of the first APIC or PIC frame of an MP3 stream of
// file_size bytes, never reaching past the end of the file; nothing when
// there is none.
std::optional<AlbumArtSpan> albumart_mp3_find(FILE* file, int64_t file_size);

// The picture in the WM/Picture descriptor of the list that starts with the
// WMFSDK descriptor, in bytes read from a WMA file after its first 4: the
// picture bytes of its value, or the whole value when it is not laid out as
// a picture record.
std::optional<AlbumArtSpan> albumart_wma_find(const uint8_t* data, size_t n);

// The front cover (else the first picture) of a FLAC file's PICTURE blocks,
// after an ID3v2 tag when one leads the file.
std::optional<AlbumArtSpan> albumart_flac_find(FILE* file, int64_t file_size);

// The first picture of moov/udta/meta/ilst/covr of an MP4 file.
std::optional<AlbumArtSpan> albumart_mp4_find(FILE* file, int64_t file_size);

// The front cover (else the first picture) among the METADATA_BLOCK_PICTURE
// comments of an Ogg Vorbis or Opus file; the picture comes decoded, in
// bytes.
std::optional<AlbumArtSpan> albumart_ogg_find(FILE* file, int64_t file_size);
