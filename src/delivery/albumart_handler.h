// The album art of music files: the picture inside an MP3 file's ID3v2 tag
// ("albumart-mp3/{id}.jpg", frames APIC and PIC) or a WMA file's ASF header
// ("albumart-wma/{id}.jpg", the WM/Picture descriptor), searched anew on
// every request and sent as "image/jpeg".
#pragma once

#include "http/http_connection.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>

// Where a picture lies: its offset (in the file for MP3, in the searched
// bytes for WMA) and length.
struct AlbumArtSpan {
    int64_t offset = 0;
    int64_t length = 0;
};

// The JFIF JPEG of the first APIC or PIC frame of an MP3 stream of
// file_size bytes, never reaching past the end of the file; nothing when
// there is none.
std::optional<AlbumArtSpan> albumart_mp3_find(FILE* file, int64_t file_size);

// The picture in the WM/Picture descriptor of the list that starts with the
// WMFSDK descriptor, in bytes read from a WMA file after its first 4: the
// picture bytes of its value, or the whole value when it is not laid out as
// a picture record.
std::optional<AlbumArtSpan> albumart_wma_find(const uint8_t* data, size_t n);

int albumart_mp3_handler(HttpConnection* connection);
int albumart_wma_handler(HttpConnection* connection);
