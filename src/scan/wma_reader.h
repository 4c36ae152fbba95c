// WMA files: the few fields this server needs from the ASF header (title,
// author, album, genre, year, track, a picture flag, the playing time),
// found with a tolerant search of the file's first 60000 bytes rather than a
// full ASF parser. Every length in the file is checked against the bytes
// read before it is used. Texts are UTF-16LE in the file and UTF-8 here.
#pragma once

#include "scan/music_tags.h"

#include <cstddef>
#include <cstdint>

inline constexpr size_t kWmaHeaderRead = 60000;

// The record from the first bytes of a file of file_size bytes; size and
// mtime are left to the caller.
MusicTags wma_parse(const uint8_t* data, size_t n, int64_t file_size);

// The record of the file at path: empty when it cannot be read or has fewer
// than 50 bytes.
MusicTags wma_read_header(const char* path);

// The scanner's reader. Returns the db_add_item result.
int wma_add(const char* path, int compilation);

// The pieces that the album-art search shares.

// The first position from `from` where the ASCII text stands as UTF-16LE
// (its letters at every second byte), with room for the whole text before
// `end`; SIZE_MAX when there is none.
size_t wma_find_utf16(const uint8_t* data, size_t end, size_t from, const char* ascii);

struct WmaDescriptor {
    char name[101]; // the low bytes of the UTF-16LE name
    uint16_t type = 0;
    const uint8_t* value = nullptr;
    uint16_t length = 0;
};

enum class WmaWalkEnd {
    Complete, // every counted descriptor was walked
    Stopped,  // the visitor asked to stop
    Broken,   // a name longer than 100 bytes, or a descriptor past the data
};

// Walks the extended content descriptor list whose 16-bit count stands at
// start (0 counts as 100); visit returns false to stop. position ends where
// the walk ended.
template <typename Visit>
WmaWalkEnd wma_walk_descriptors(const uint8_t* data, size_t n, size_t start, size_t& position,
                                Visit visit);

// 16-bit little-endian at data[at]; the caller checks the bounds.
inline uint16_t wma_u16(const uint8_t* data, size_t at)
{
    return static_cast<uint16_t>(data[at] | data[at + 1] << 8);
}

template <typename Visit>
WmaWalkEnd wma_walk_descriptors(const uint8_t* data, size_t n, size_t start, size_t& position,
                                Visit visit)
{
    position = start;
    if (start + 2 > n) {
        return WmaWalkEnd::Broken;
    }
    int count = wma_u16(data, start);
    if (count == 0) {
        count = 100;
    }
    position += 2;
    for (int i = 0; i < count; ++i) {
        if (position + 2 > n) {
            return WmaWalkEnd::Broken;
        }
        const uint16_t name_length = wma_u16(data, position);
        if (name_length > 100 || position + 2 + name_length + 4 > n) {
            return WmaWalkEnd::Broken;
        }
        WmaDescriptor d;
        size_t k = 0;
        for (size_t j = 0; j < name_length && data[position + 2 + j] != 0; j += 2) {
            d.name[k++] = static_cast<char>(data[position + 2 + j]);
        }
        d.name[k] = '\0';
        size_t at = position + 2 + name_length;
        d.type = wma_u16(data, at);
        d.length = wma_u16(data, at + 2);
        at += 4;
        if (at + d.length > n) {
            return WmaWalkEnd::Broken;
        }
        d.value = data + at;
        position = at + d.length;
        if (!visit(d)) {
            return WmaWalkEnd::Stopped;
        }
    }
    return WmaWalkEnd::Complete;
}
