// The MP3 reader: the ID3v2 tag at the start of a file (versions 2.2 to 2.4,
// one tag or two in a row), the first MPEG audio frame after it with a Xing
// header when there is one, and the ID3v1 tag at the end, merged into one
// music item.
//
// The parsing works on bytes in memory and never reads past what it was
// given; a file is read in one or two large pieces from its start and one
// for its last 128 bytes.
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
    int vbr = 0;             // 1 constant bitrate, 2 a Xing header was found
};

// The frame header at window[0] (255, then a byte above 223), with the
// playing time of audio_bytes of audio.
Mp3FrameInfo mp3_frame_info(std::span<const uint8_t> window, int64_t audio_bytes);

// The text of an ID3v2 text frame's data: encoding byte, then ISO-8859-1 or
// UTF-8 bytes as they are, or UTF-16 (with or without byte order mark)
// narrowed to ASCII with '?' for the rest; trailing blanks removed. Nothing
// for an unknown encoding or a frame of 1025 bytes or more.
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
// bytes (or fewer, for a short file) are tail.
Mp3Tags mp3_parse(Mp3Source& source, std::span<const uint8_t> tail);

// Reads the tags of the file at path; a file that cannot be read gives an
// empty record (the item then takes its title from the path).
Mp3Tags mp3_read_tags(const char* path);

// The scanner's reader: reads the file and adds it as a music item.
// Returns the db_add_item result.
int mp3_add(const char* path, int compilation);
