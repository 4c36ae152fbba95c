// The album art of music files, "albumart-<extension>/{id}.jpg" (and with
// the thumbnail suffix, "{id}_tn.jpg", fitted into 160 x 160): the picture
// inside the file, searched anew on every request by the finder of its
// format (an MP3 file's ID3v2 APIC or PIC frame, a WMA file's WM/Picture
// descriptor; for FLAC PICTURE blocks, an MP4 file's covr atom and the
// METADATA_BLOCK_PICTURE comment of an Ogg file the scan's readers of those
// formats), or else the
// folder's cover file. Players expect JPEG art: a PNG picture is re-encoded
// as a JPEG where the edition holds the picture codec, and else sent as
// "image/png".
//
// A reader of another format plugs in with a finder of the AlbumArtFind
// shape and a row in the table of albumart_handler.cpp; its reader sets the
// tags' album_art to 1 when the file holds a picture.
#pragma once

#include "http/http_connection.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string_view>
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

// The finder for a file extension (case ignored); null for a format without
// embedded pictures, whose items can still have folder art.
AlbumArtFind albumart_finder(std::string_view extension);

// Re-encodes a JPEG or PNG picture as a JPEG, fitted into max_side when
// that is not 0; false when it cannot. Called with a picture slot held.
using AlbumArtReencode = bool (*)(const uint8_t* picture, size_t size, int max_side,
                                  std::vector<uint8_t>& jpeg);

// Set once at start by the edition that holds the picture codec; without it
// pictures go out as they are stored, thumbnails included.
void albumart_set_reencoder(AlbumArtReencode convert);

// Every "/albumart-" URL.
int albumart_handler(HttpConnection* connection);

int albumart_mp3_handler(HttpConnection* connection);
int albumart_wma_handler(HttpConnection* connection);
