#include "scan/picture_reader.h"

#include "core/log.h"
#include "core/titles.h"
#include "core/utf8.h"
#include "db/media_db.h"

#include <cstring>
#include <sys/stat.h>
#include <vector>

namespace
{

bool is_frame_marker(int marker)
{
    switch (marker) {
    case 0xC0:
    case 0xC1:
    case 0xC2:
    case 0xC3:
    case 0xC5:
    case 0xC6:
    case 0xC7:
    case 0xC9:
    case 0xCA:
    case 0xCB:
    case 0xCD:
    case 0xCE:
    case 0xCF:
        return true;
    default:
        return false;
    }
}

int read_be16(FILE* f)
{
    const int hi = fgetc(f);
    const int lo = fgetc(f);
    return hi < 0 || lo < 0 ? -1 : (hi << 8) | lo;
}

std::string day_text(time_t t)
{
    tm utc = {};
    gmtime_r(&t, &utc);
    char text[32];
    snprintf(text, sizeof text, "%04d-%02d-%02d", utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday);
    return text;
}

// The whole TIFF data of the EXIF segment, from its byte-order mark on: a
// TIFF offset is a block position. Every read is checked against the block.
struct ExifBlock {
    std::vector<uint8_t> bytes;
    bool little_endian = true;

    int64_t size() const
    {
        return static_cast<int64_t>(bytes.size());
    }
    bool has(int64_t position, int64_t length) const
    {
        return position >= 0 && length >= 0 && position <= size() - length;
    }
    uint32_t u16(int64_t p) const
    {
        const uint8_t* b = bytes.data() + p;
        return little_endian ? b[0] | (b[1] << 8) : (b[0] << 8) | b[1];
    }
    uint32_t u32(int64_t p) const
    {
        const uint8_t* b = bytes.data() + p;
        return little_endian ? b[0] | (b[1] << 8) | (b[2] << 16) | (uint32_t(b[3]) << 24)
                             : (uint32_t(b[0]) << 24) | (b[1] << 16) | (b[2] << 8) | b[3];
    }
    // count bytes at TIFF offset value, or nothing when out of bounds. The
    // bound is the block's end, so that a text that ends the block counts.
    // EXIF names no encoding for its texts: UTF-8 when valid, else Latin-1.
    std::optional<std::string> string_at(uint32_t value, uint32_t count) const
    {
        if (count == 0 || count > kExifStringLimit || !has(value, count)) {
            return std::nullopt;
        }
        const char* start = reinterpret_cast<const char*>(bytes.data()) + value;
        std::string text = utf8_from_unknown(std::string_view(start, strnlen(start, count)));
        // Cameras fill the description with blanks.
        while (!text.empty() && text.back() == ' ') {
            text.pop_back();
        }
        return text;
    }
};

struct ExifTags {
    std::optional<std::string> date_time;
};

void handle_tag(const ExifBlock& block, uint32_t tag, uint32_t count, uint32_t value,
                PictureInfo& info, ExifTags& tags)
{
    switch (tag) {
    case 270:
        if (!info.description) {
            info.description = block.string_at(value, count);
            if (info.description && info.description->empty()) {
                info.description.reset();
            }
        }
        break;
    case 274:
        info.orientation = static_cast<uint8_t>(value & 255);
        break;
    case 282:
        info.x_resolution = value;
        break;
    case 283:
        info.y_resolution = value;
        break;
    case 306:
        if (!tags.date_time) {
            tags.date_time = block.string_at(value, count);
        }
        break;
    case 36867:
        if (!info.date_taken) {
            info.date_taken = block.string_at(value, count);
        }
        break;
    case 40962:
        if (info.width == 0) {
            info.width = value;
        }
        break;
    case 40963:
        if (info.height == 0) {
            info.height = value;
        }
        break;
    default:
        break;
    }
}

// Parses the entries of the IFD at block position p; returns the position
// after them, or -1 when the block ended among them. The Exif IFD pointer
// is handed back through exif_ifd when asked for.
int64_t parse_ifd(const ExifBlock& block, int64_t p, PictureInfo& info, ExifTags& tags,
                  int64_t* exif_ifd)
{
    if (!block.has(p, 2)) {
        return -1;
    }
    const uint32_t entries = block.u16(p);
    p += 2;
    for (uint32_t i = 0; i < entries; ++i) {
        if (!block.has(p, 12)) {
            return -1;
        }
        const uint32_t tag = block.u16(p);
        const uint32_t count = block.u32(p + 4);
        const uint32_t value = block.u32(p + 8);
        p += 12;
        if (tag == 34665 && exif_ifd) {
            *exif_ifd = value;
        } else {
            handle_tag(block, tag, count, value, info, tags);
        }
    }
    return p;
}

// "2005:07:14 10:22:01" as "2005-07-14"; nothing for a text too short or
// a year up to 1930 (a camera whose clock was never set).
std::optional<std::string> exif_day(const std::optional<std::string>& text)
{
    if (!text || text->size() < 10 || atoi(text->c_str()) <= 1930) {
        return std::nullopt;
    }
    std::string day = text->substr(0, 10);
    day[4] = '-';
    day[7] = '-';
    return day;
}

void parse_exif(ExifBlock& block, time_t ctime, PictureInfo& info)
{
    int64_t ifd0 = block.u32(4);
    if (ifd0 > block.size()) {
        block.little_endian = !block.little_endian;
        ifd0 = block.u32(4);
        if (ifd0 > block.size()) {
            return;
        }
    }
    ExifTags tags;
    int64_t exif_ifd = -1;
    const int64_t after = parse_ifd(block, ifd0, info, tags, &exif_ifd);
    if (after >= 0) {
        const int64_t ifd1 = block.has(after, 4) ? block.u32(after) : 0;
        if (exif_ifd >= 8 && exif_ifd <= block.size()) {
            parse_ifd(block, exif_ifd, info, tags, nullptr);
        }
        if (ifd1 != 0 && block.has(ifd1, 2) && block.u16(ifd1) < 51) {
            parse_ifd(block, ifd1, info, tags, nullptr);
        }
    }
    // When the picture was taken, else when it was last changed, else the
    // file's change time.
    std::optional<std::string> day = exif_day(info.date_taken);
    if (!day) {
        day = exif_day(tags.date_time);
    }
    info.date = day ? *day : day_text(ctime);
}

// The file offset and length of the EXIF segment (APP1 beginning
// "Exif\0\0"), walking the segments before it (JFIF, other application
// segments, comments); false when there is none before the image data.
bool find_exif_segment(FILE* f, int64_t size, long& segment, int& length)
{
    if (fseek(f, 0, SEEK_SET) != 0 || fgetc(f) != 0xFF || fgetc(f) != 0xD8) {
        return false;
    }
    long at = 2;
    for (int segments = 0; segments < 64 && at + 4 <= size; ++segments) {
        uint8_t head[10];
        if (fseek(f, at, SEEK_SET) != 0 || fread(head, 1, 4, f) != 4 || head[0] != 0xFF) {
            return false;
        }
        const int marker = head[1];
        const int segment_length = (head[2] << 8) | head[3];
        if (marker == 0xDA || marker == 0xD9 || segment_length < 2) {
            return false; // the image data, the end, or no segment at all
        }
        if (marker == 0xE1 && segment_length >= 8 && fread(head + 4, 1, 6, f) == 6 &&
            memcmp(head + 4, "Exif\0\0", 6) == 0) {
            segment = at;
            length = segment_length;
            return true;
        }
        at += 2 + segment_length;
    }
    return false;
}

} // namespace

bool png_frame_size(FILE* f, uint32_t& width, uint32_t& height)
{
    // The signature, then the IHDR chunk: its length and type, then the
    // width and height as big-endian numbers.
    static constexpr uint8_t kPngStart[16] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n',
                                              0,    0,   0,   13,  'I',  'H',  'D',  'R'};
    uint8_t head[24];
    if (fseek(f, 0, SEEK_SET) != 0 || fread(head, 1, sizeof head, f) != sizeof head ||
        memcmp(head, kPngStart, sizeof kPngStart) != 0) {
        fseek(f, 0, SEEK_SET);
        return false;
    }
    const auto be32 = [](const uint8_t* p) {
        return static_cast<uint32_t>(p[0]) << 24 | p[1] << 16 | p[2] << 8 | p[3];
    };
    width = be32(head + 16);
    height = be32(head + 20);
    return true;
}

bool jpeg_frame_size(FILE* f, int64_t size, uint32_t& width, uint32_t& height)
{
    if (fgetc(f) != 0xFF || fgetc(f) != 0xD8) {
        return false;
    }
    for (;;) {
        int c;
        while ((c = fgetc(f)) != EOF && c != 0xFF) {
        }
        const int marker = fgetc(f);
        if (c == EOF || marker <= 0) {
            return false;
        }
        const int length = read_be16(f);
        if (length < 0) {
            return false;
        }
        if (is_frame_marker(marker)) {
            fgetc(f); // sample precision
            const int h = read_be16(f);
            const int w = read_be16(f);
            if (h < 0 || w < 0) {
                return false;
            }
            height = static_cast<uint32_t>(h);
            width = static_cast<uint32_t>(w);
            return true;
        }
        const long position = ftell(f);
        if (position < 0 || position + length > size || length < 2 ||
            fseek(f, length - 2, SEEK_CUR) != 0) {
            return false;
        }
    }
}

void read_picture_stream(FILE* f, int64_t size, time_t ctime, PictureInfo& info)
{
    if (size <= 0) {
        return;
    }
    if (png_frame_size(f, info.width, info.height)) {
        return; // a PNG file holds no EXIF block
    }
    jpeg_frame_size(f, size, info.width, info.height);
    long segment = 0;
    int length = 0;
    if (!find_exif_segment(f, size, segment, length)) {
        return;
    }
    // The TIFF data: the segment after its length and "Exif\0\0".
    const int64_t block_size = length - 8;
    if (block_size > kExifBlockLimit || block_size < 16 || fseek(f, segment + 10, SEEK_SET) != 0) {
        return;
    }
    ExifBlock block;
    block.bytes.resize(static_cast<size_t>(block_size));
    block.bytes.resize(fread(block.bytes.data(), 1, block.bytes.size(), f));
    if (block.size() < 16) {
        return;
    }
    if (block.bytes[0] == 'I' && block.bytes[1] == 'I') {
        block.little_endian = true;
    } else if (block.bytes[0] == 'M' && block.bytes[1] == 'M') {
        block.little_endian = false;
    } else {
        return;
    }
    parse_exif(block, ctime, info);
}

void read_picture_info(const char* path, PictureInfo& info)
{
    info = PictureInfo{};
    struct stat st = {};
    if (stat(path, &st) != 0) {
        return;
    }
    info.size = st.st_size;
    info.mtime = st.st_mtime;
    FILE* f = fopen(path, "rb");
    if (!f) {
        return;
    }
    read_picture_stream(f, st.st_size, st.st_ctime, info);
    fclose(f);
}

PictureInfo get_picture_info(const char* path)
{
    PictureInfo info;
    read_picture_info(path, info);
    return info;
}

int add_picture(const char* path, int /*compilation*/)
{
    const PictureInfo info = get_picture_info(path);
    const std::string title = title_from_filename(path);
    DbItemFields f;
    f.title = title.c_str();
    f.upnp_class = "object.item.imageItem.photo";
    f.date = info.date ? info.date->c_str() : nullptr;
    f.path = path;
    f.description = info.description ? info.description->c_str() : nullptr;
    f.width = static_cast<int32_t>(info.width);
    f.height = static_cast<int32_t>(info.height);
    f.size = info.size;
    f.mtime = static_cast<int64_t>(info.mtime);
    const int result = db_add_item(f);
    if (result == DB_ADD_FAILED) {
        log_msg(LOG_PROBLEM, LOG_CAT_DB, "failed to add picture: %s\n", path);
    }
    return result;
}
