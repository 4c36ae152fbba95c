// Writes MP3 files for tests and benchmarks: ID3v2 tags (versions 2.2 to
// 2.4, with any frames), ID3v1 tags, and MPEG-1 Layer III frames at a
// constant bitrate, optionally led by a Xing header.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

// One ID3v2 frame: its identifier (3 characters for version 2.2, else 4) and
// its data as it is stored.
struct Id3Frame {
    std::string id;
    Bytes data;
};

// A text frame's data: encoding byte 0 (ISO-8859-1) and the bytes of text.
Bytes id3_latin1(const std::string& text);
// Encoding 1 with a byte order mark, little- or big-endian.
Bytes id3_utf16(const std::u16string& text, bool little_endian);

struct Id3v2Options {
    int major = 3;                // 2, 3 or 4
    bool extended_header = false; // a 6-byte extended header (10 for 2.4)
    uint32_t padding = 0;         // zero bytes after the frames
    int64_t declared_size = -1;   // the size field; -1 for the true size
};

// The whole tag: header, frames, padding.
Bytes id3v2_tag(const std::vector<Id3Frame>& frames, const Id3v2Options& options = {});

// The 128-byte ID3v1 tag.
Bytes id3v1_tag(const std::string& title, const std::string& artist, const std::string& album,
                const std::string& year, int track, int genre);

// count MPEG-1 Layer III frames of 128 kbit/s at 44100 Hz (417 bytes each);
// with xing_frames > 0 the first frame carries a Xing header with that frame
// count.
Bytes mpeg_frames(int count, uint32_t xing_frames = 0);

// The four header bytes of such a frame.
inline constexpr uint8_t kMpegHeader[4] = {0xff, 0xfb, 0x90, 0x64};
inline constexpr int kMpegFrameBytes = 417;

Bytes concat(std::initializer_list<Bytes> parts);

// Writes bytes to path; false on failure.
bool write_bytes(const std::string& path, const Bytes& bytes);
