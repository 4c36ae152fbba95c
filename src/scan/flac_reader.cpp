#include "scan/flac_reader.h"

#include "core/log.h"
#include "core/time_util.h"
#include "scan/reader_file.h"

#include <cstring>
#include <string>

namespace
{

enum FlacBlock : uint8_t { kStreamInfo = 0, kVorbisComment = 4, kPicture = 6 };

// The offset of the first metadata block, after "fLaC" (and an ID3v2 tag
// before it); -1 when the file has no mark.
int64_t flac_first_block(const ReaderFile& file)
{
    uint8_t head[10];
    int64_t at = 0;
    if (file.read_at(0, head, sizeof head) && memcmp(head, "ID3", 3) == 0) {
        at = 10 + (static_cast<int64_t>(head[6] & 0x7f) << 21 | (head[7] & 0x7f) << 14 |
                   (head[8] & 0x7f) << 7 | (head[9] & 0x7f));
        if (head[5] & 0x10) { // footer
            at += 10;
        }
    }
    uint8_t mark[4];
    if (!file.read_at(at, mark, 4) || memcmp(mark, "fLaC", 4) != 0) {
        return -1;
    }
    return at + 4;
}

// Calls visit(type, offset of the block's data, length) for each metadata
// block that lies within the file; visit returns false to stop.
template <typename Visit> bool flac_walk_blocks(const ReaderFile& file, Visit visit)
{
    int64_t at = flac_first_block(file);
    if (at < 0) {
        return false;
    }
    for (bool last = false; !last;) {
        uint8_t header[4];
        if (!file.read_at(at, header, 4)) {
            return false;
        }
        last = (header[0] & 0x80) != 0;
        const uint32_t length = static_cast<uint32_t>(header[1]) << 16 |
                                static_cast<uint32_t>(header[2]) << 8 | header[3];
        at += 4;
        if (length > file.size - at) {
            return false;
        }
        if (!visit(static_cast<uint8_t>(header[0] & 0x7f), at, length)) {
            return true;
        }
        at += length;
    }
    return true;
}

bool read_block(const ReaderFile& file, int64_t at, uint32_t length, std::string& out)
{
    out.resize(length);
    return file.read_at(at, out.data(), length);
}

void take_stream_info(const uint8_t* s, MusicTags& tags)
{
    // After the block and frame sizes (10 bytes): 20 bits of sample rate, 3
    // of channels, 5 of bits per sample, 36 of total samples.
    const uint32_t rate =
        static_cast<uint32_t>(s[10]) << 12 | static_cast<uint32_t>(s[11]) << 4 | s[12] >> 4;
    const uint64_t samples =
        static_cast<uint64_t>(s[13] & 0x0f) << 32 | static_cast<uint64_t>(s[14]) << 24 |
        static_cast<uint64_t>(s[15]) << 16 | static_cast<uint64_t>(s[16]) << 8 | s[17];
    if (rate > 0 && samples > 0) {
        tags.duration = format_duration(static_cast<long>((samples * 1000 + rate / 2) / rate));
    }
}

} // namespace

MusicTags flac_read_tags(const char* path)
{
    MusicTags tags;
    const ReaderFile file(path);
    if (!reader_file_tags_start(file, tags)) {
        return tags;
    }
    std::string block;
    bool comments_seen = false;
    const bool whole = flac_walk_blocks(file, [&](uint8_t type, int64_t at, uint32_t length) {
        if (type == kStreamInfo && length >= 34) {
            if (read_block(file, at, 34, block)) {
                take_stream_info(reinterpret_cast<const uint8_t*>(block.data()), tags);
            }
        } else if (type == kVorbisComment && !comments_seen) {
            comments_seen = true;
            if (read_block(file, at, length, block)) {
                vorbis_comment_parse(reinterpret_cast<const uint8_t*>(block.data()), block.size(),
                                     tags, nullptr);
            }
        } else if (type == kPicture) {
            tags.album_art = 1;
        }
        return true;
    });
    if (!whole && tags.problem.empty()) {
        tags.problem =
            tags.duration ? "metadata block past the end of the file" : "not a FLAC file";
    }
    return tags;
}

bool flac_read_picture(const char* path, MusicPicture& out)
{
    const ReaderFile file(path);
    if (!file.ok()) {
        return false;
    }
    bool found = false;
    std::string block;
    flac_walk_blocks(file, [&](uint8_t type, int64_t at, uint32_t length) {
        MusicPicture picture;
        if (type != kPicture || !read_block(file, at, length, block) ||
            !music_picture_parse(reinterpret_cast<const uint8_t*>(block.data()), block.size(),
                                 picture)) {
            return true;
        }
        if (!found || picture.type == kPictureFrontCover) {
            out = std::move(picture);
            found = true;
        }
        return out.type != kPictureFrontCover;
    });
    return found;
}

int flac_add(const char* path, int compilation)
{
    const MusicTags t = flac_read_tags(path);
    if (!t.problem.empty()) {
        log_msg(LOG_PROBLEM, LOG_CAT_DB, "broken tag in %s: %s\n", path, t.problem.c_str());
    }
    return music_add(t, path, compilation, "flac");
}
