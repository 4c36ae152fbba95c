// The MP3 reader: the ID3v2 tag at the start of a file (versions 2.2 to 2.4,
// one tag or two in a row), the first MPEG audio frame after it with its
// Xing, Info or VBRI header when there is one, and the ID3v1 tag at the end,
// merged into one music item. Every text comes out as UTF-8.
//
// The parsing never reads past what the file holds; a file is read in one
// large piece from its start, frames beyond it (behind a large cover) one by
// one, and its last 128 bytes.
#pragma once

#include "scan/music_tags.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

// What one file gives.
using Mp3Tags = MusicTags;

// The MPEG audio frame at the start of a window.
struct Mp3FrameInfo {
    bool valid = false;
    int32_t bitrate = 0;     // kbit/s from the frame header
    int64_t duration_ms = 0; // 0 when unknown
    int vbr = 0;             // 1 constant bitrate, 2 a Xing or VBRI header was found
    bool mpeg1_layer3 = false;
};

// The frame header at window[0] (255, then a byte above 223), with the
// playing time of audio_bytes of audio.
Mp3FrameInfo mp3_frame_info(std::span<const uint8_t> window, int64_t audio_bytes);

// The text of an ID3v2 text frame's data as UTF-8: encoding byte, then
// ISO-8859-1, UTF-16 with a byte order mark, UTF-16 big-endian, or UTF-8
// (invalid sequences become U+FFFD); the first of several NUL-separated
// values, trailing blanks removed. Nothing for an unknown encoding or a
// frame of 1025 bytes or more.
std::optional<std::string> id3_text_frame(std::span<const uint8_t> frame);

// The bytes of a file from its start, read in large pieces as the parser
// reaches them.
struct Mp3Source {
    int fd = -1; // -1: data holds everything there is
    int64_t file_size = 0;
    std::vector<uint8_t> data;
    // Makes data hold the file up to end, as far as the file and the read
    // bound allow; true when it does.
    bool ensure(size_t end);
    // n bytes at offset (fewer at the end of the file): from data when it
    // holds them, else read into scratch.
    std::span<const uint8_t> bytes_at(size_t offset, size_t n, std::vector<uint8_t>& scratch);
};

// Parses the tags of a file whose start is in source and whose last 128
// bytes (or fewer, for a short file) are tail. The scanner reaches it
// through mp3_read_tags.
Mp3Tags mp3_parse(Mp3Source& source, std::span<const uint8_t> tail);

// Reads the tags of the file at path; a file that cannot be read gives an
// empty record (the item then takes its title from the path).
Mp3Tags mp3_read_tags(const char* path);

// The scanner's reader: reads the file and adds it as a music item.
// Returns the db_add_item result.
int mp3_add(const char* path, int compilation);
