#include "scan/embedded_art.h"

#include "scan/flac_reader.h"
#include "scan/mp4_reader.h"
#include "scan/ogg_reader.h"
#include "scan/vorbis_comment.h"
#include "scan/wma_reader.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <string>
#include <strings.h>
#include <vector>

namespace
{

constexpr size_t kCarried = 5;
constexpr size_t kMp3Step = 1019;
// Pictures sit in the tag at the start of a file: the search for a frame
// ends after this many bytes, and the search for the JPEG inside a frame
// after this many, so that a request for a large file without art does not
// read all of it.
constexpr int64_t kFrameSearchLimit = 16 * 1024 * 1024;
constexpr int64_t kJpegSearchLimit = 1024 * 1024;
constexpr size_t kWmaSearch = 100000;
constexpr uint8_t kAsfHeaderStart[4] = {0x30, 0x26, 0xB2, 0x75};
constexpr uint8_t kJfifStart[4] = {0xFF, 0xD8, 0xFF, 0xE0};
// A big-endian number of `bytes` bytes at the file offset; nothing when the
// file does not hold them.
std::optional<int64_t> read_size(FILE* file, int64_t offset, int bytes)
{
    uint8_t raw[4];
    if (offset < 0 || fseeko(file, offset, SEEK_SET) != 0 ||
        fread(raw, 1, static_cast<size_t>(bytes), file) != static_cast<size_t>(bytes)) {
        return std::nullopt;
    }
    int64_t size = 0;
    for (int i = 0; i < bytes; ++i) {
        size = size << 8 | raw[i];
    }
    return size;
}

// The first APIC or PIC frame: the file offset of its data and its size.
std::optional<AlbumArtSpan> find_frame(FILE* file)
{
    uint8_t window[kCarried + kMp3Step] = {};
    int64_t consumed = 0;
    for (;;) {
        const size_t got = fread(window + kCarried, 1, kMp3Step, file);
        if (got == 0) {
            return std::nullopt;
        }
        for (size_t i = 0; i < got; ++i) {
            // The frame header starts 5 bytes before the window position's
            // file offset, as the window starts with the 5 carried bytes.
            const int64_t header =
                consumed + static_cast<int64_t>(i) - static_cast<int64_t>(kCarried);
            if (memcmp(window + i, "APIC", 4) == 0) {
                const std::optional<int64_t> size = read_size(file, header + 4, 4);
                return size ? std::optional(AlbumArtSpan{header + 10, *size, false, {}})
                            : std::nullopt;
            }
            if (memcmp(window + i, "PIC", 3) == 0) {
                const std::optional<int64_t> size = read_size(file, header + 3, 3);
                return size ? std::optional(AlbumArtSpan{header + 6, *size, false, {}})
                            : std::nullopt;
            }
        }
        memmove(window, window + got, kCarried);
        consumed += static_cast<int64_t>(got);
        if (consumed >= kFrameSearchLimit) {
            return std::nullopt;
        }
    }
}

// The end of a UTF-16 text that ends with a two-byte zero, or SIZE_MAX.
size_t utf16_end(const uint8_t* value, size_t at, size_t length)
{
    for (; at + 1 < length; at += 2) {
        if (value[at] == 0 && value[at + 1] == 0) {
            return at + 2;
        }
    }
    return SIZE_MAX;
}

// A WM/Picture value holds the picture type, the picture's length, its MIME
// type and description as UTF-16 texts, then the picture: the picture alone
// is what a player can show. A value of another shape is sent as stored.
AlbumArtSpan picture_of_value(const uint8_t* value, uint16_t length)
{
    const AlbumArtSpan whole{0, length, false, {}};
    if (length < 5) {
        return whole;
    }
    const uint32_t picture_length = static_cast<uint32_t>(value[1]) | value[2] << 8 |
                                    value[3] << 16 | static_cast<uint32_t>(value[4]) << 24;
    const size_t mime_end = utf16_end(value, 5, length);
    const size_t text_end = mime_end == SIZE_MAX ? SIZE_MAX : utf16_end(value, mime_end, length);
    if (text_end == SIZE_MAX || picture_length == 0 || text_end + picture_length > length) {
        return whole;
    }
    return AlbumArtSpan{static_cast<int64_t>(text_end), picture_length, false, {}};
}

} // namespace

std::optional<AlbumArtSpan> albumart_mp3_find(FILE* file, int64_t file_size)
{
    const std::optional<AlbumArtSpan> frame = find_frame(file);
    if (!frame || fseeko(file, frame->offset, SEEK_SET) != 0) {
        return std::nullopt;
    }
    // Byte by byte to the JFIF start: the frame's MIME type and description
    // come first.
    int64_t offset = frame->offset;
    int64_t left = frame->length;
    size_t matched = 0;
    while (matched < 4) {
        // A start beyond the frame (or far into it) is no picture of it.
        if (matched == 0 && (left <= 0 || offset - frame->offset >= kJpegSearchLimit)) {
            return std::nullopt;
        }
        const int c = getc(file);
        if (c == EOF) {
            return std::nullopt;
        }
        ++offset;
        --left;
        if (c == kJfifStart[matched]) {
            ++matched;
        } else {
            // A mismatching 0xFF may itself start the marker.
            matched = c == 0xFF ? 1 : 0;
        }
    }
    const int64_t start = offset - 4;
    // The frame size may claim more than the file holds: what is sent is
    // what the frame and the file both hold.
    const int64_t length = std::min(left + 4, file_size - start);
    if (length <= 0) {
        return std::nullopt;
    }
    return AlbumArtSpan{start, length, false, {}};
}

std::optional<AlbumArtSpan> albumart_wma_find(const uint8_t* data, size_t n)
{
    if (n < 50) {
        return std::nullopt;
    }
    // Its first letter below n - 20.
    const size_t sdk = wma_find_utf16(data, n - 10, 4, "WMFSDK");
    if (sdk == SIZE_MAX) {
        return std::nullopt;
    }
    std::optional<AlbumArtSpan> picture;
    size_t position = 0;
    wma_walk_descriptors(data, n, sdk - 4, position, [&](const WmaDescriptor& d) {
        if (strcmp(d.name, "WM/Picture") != 0) {
            return true;
        }
        picture = picture_of_value(d.value, d.length);
        picture->offset += d.value - data;
        return false;
    });
    return picture;
}

namespace
{

// Reads exactly n bytes at the offset; false when the file does not hold
// them.
bool read_at(FILE* file, int64_t offset, uint8_t* to, size_t n)
{
    return offset >= 0 && fseeko(file, offset, SEEK_SET) == 0 && fread(to, 1, n, file) == n;
}

// The readers of the scan take a path: the open file's own, so that they
// read the very file that was checked to lie in the content directories.
std::string path_of_open(FILE* file)
{
    const int fd = file ? fileno(file) : -1;
    return fd < 0 ? std::string() : "/proc/self/fd/" + std::to_string(fd);
}

std::optional<AlbumArtSpan> span_of(MusicPicture& picture)
{
    if (picture.data.empty()) {
        return std::nullopt;
    }
    AlbumArtSpan art;
    art.length = static_cast<int64_t>(picture.data.size());
    art.png = strcasecmp(picture.mime.c_str(), "image/png") == 0 ||
              (picture.data.size() > 4 && picture.data.compare(0, 4, "\x89PNG") == 0);
    art.bytes.assign(picture.data.begin(), picture.data.end());
    return art;
}

} // namespace

std::optional<AlbumArtSpan> albumart_flac_find(FILE* file, int64_t)
{
    MusicPicture picture;
    const std::string path = path_of_open(file);
    return !path.empty() && flac_read_picture(path.c_str(), picture) ? span_of(picture)
                                                                     : std::nullopt;
}

std::optional<AlbumArtSpan> albumart_ogg_find(FILE* file, int64_t)
{
    MusicPicture picture;
    const std::string path = path_of_open(file);
    return !path.empty() && ogg_read_picture(path.c_str(), picture) ? span_of(picture)
                                                                    : std::nullopt;
}

std::optional<AlbumArtSpan> albumart_mp4_find(FILE* file, int64_t file_size)
{
    const std::string path = path_of_open(file);
    const Mp4Info info = path.empty() ? Mp4Info{} : mp4_read(path.c_str());
    if (info.cover_length <= 0 || info.cover_offset + info.cover_length > file_size) {
        return std::nullopt;
    }
    uint8_t magic[4] = {};
    const bool png = read_at(file, info.cover_offset, magic, 4) && magic[0] == 0x89 &&
                     memcmp(magic + 1, "PNG", 3) == 0;
    return AlbumArtSpan{info.cover_offset, info.cover_length, png, {}};
}

namespace
{

// The WMA finder on a file: the search runs over the bytes after the ASF
// header's first 4.
std::optional<AlbumArtSpan> wma_find_in_file(FILE* file, int64_t)
{
    uint8_t start[4];
    if (!read_at(file, 0, start, 4) || memcmp(start, kAsfHeaderStart, 4) != 0) {
        return std::nullopt;
    }
    std::vector<uint8_t> data(kWmaSearch);
    data.resize(fread(data.data(), 1, data.size(), file));
    std::optional<AlbumArtSpan> art = albumart_wma_find(data.data(), data.size());
    if (art) {
        art->offset += 4;
    }
    return art;
}

std::optional<AlbumArtSpan> mp3_find_from_start(FILE* file, int64_t file_size)
{
    if (fseeko(file, 0, SEEK_SET) != 0) {
        return std::nullopt;
    }
    return albumart_mp3_find(file, file_size);
}

// One row per finder of the file-type table, in the order of ArtFinder.
// in_memory: the finder hands the picture over in memory (the scan's reader
// of the format returns it so) rather than as a span of the file.
constexpr ArtFinderRow kFinders[] = {
    {ArtFinder::None, nullptr, false},          {ArtFinder::Mp3, mp3_find_from_start, false},
    {ArtFinder::Wma, wma_find_in_file, false},  {ArtFinder::Flac, albumart_flac_find, true},
    {ArtFinder::Mp4, albumart_mp4_find, false}, {ArtFinder::Ogg, albumart_ogg_find, true},
};
static_assert(std::size(kFinders) == static_cast<size_t>(ArtFinder::Count));
static_assert([] {
    for (size_t i = 0; i < std::size(kFinders); ++i) {
        if (static_cast<size_t>(kFinders[i].finder) != i) {
            return false;
        }
    }
    return true;
}());

} // namespace

const ArtFinderRow& art_finder_row(ArtFinder finder)
{
    return kFinders[static_cast<size_t>(finder)];
}

bool albumart_read_span(FILE* file, AlbumArtSpan& art)
{
    if (!art.bytes.empty()) {
        return true;
    }
    art.bytes.resize(static_cast<size_t>(art.length));
    if (!read_at(file, art.offset, art.bytes.data(), art.bytes.size())) {
        art.bytes.clear();
        return false;
    }
    return true;
}
