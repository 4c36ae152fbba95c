#include "delivery/albumart_handler.h"

#include "core/paths.h"
#include "db/media_db.h"
#include "delivery/media_url.h"
#include "http/http_response.h"
#include "scan/wma_reader.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <sys/stat.h>
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

using FileHandle = std::unique_ptr<FILE, decltype(&fclose)>;

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
                return size ? std::optional(AlbumArtSpan{header + 10, *size}) : std::nullopt;
            }
            if (memcmp(window + i, "PIC", 3) == 0) {
                const std::optional<int64_t> size = read_size(file, header + 3, 3);
                return size ? std::optional(AlbumArtSpan{header + 6, *size}) : std::nullopt;
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
    const AlbumArtSpan whole{0, length};
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
    return AlbumArtSpan{static_cast<int64_t>(text_end), picture_length};
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
    return AlbumArtSpan{start, length};
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

// The file of the item whose id follows the keyword; null (and the not-found
// answer sent) when there is none, or null without an answer when the URL
// lacks the keyword.
FileHandle open_item_file(HttpConnection* c, const char* keyword)
{
    const char* id_text = media_url_id(c->url.data(), keyword);
    if (!id_text) {
        return FileHandle(nullptr, fclose);
    }
    const std::optional<DbLocation> location = db_item_location(id_text);
    FileHandle file(location && !location->path.empty() ? fopen(location->path.c_str(), "rb")
                                                        : nullptr,
                    fclose);
    // The file actually opened must lie inside the content directories, so
    // that a link swapped in after the scan reads nothing else.
    if (file && !path_in_content_dir(location->path, fileno(file.get()))) {
        file.reset();
    }
    if (!file) {
        http_send_404(c);
    }
    return file;
}

} // namespace

int albumart_mp3_handler(HttpConnection* c)
{
    FileHandle file = open_item_file(c, "albumart-mp3/");
    struct stat st = {};
    if (!file) {
        return HTTP_CLOSE;
    }
    if (fstat(fileno(file.get()), &st) != 0) {
        http_send_404(c);
        return HTTP_CLOSE;
    }
    const std::optional<AlbumArtSpan> art = albumart_mp3_find(file.get(), st.st_size);
    if (!art) {
        http_send_404(c);
        return HTTP_CLOSE;
    }
    c->content_length = art->length;
    c->content_type = "image/jpeg";
    const bool body = c->method != HTTP_HEAD;
    if (http_send_header(c, 200, body) == 0 && body) {
        http_send_file(c, fileno(file.get()), art->offset, art->length);
    }
    return HTTP_CLOSE;
}

int albumart_wma_handler(HttpConnection* c)
{
    FileHandle file = open_item_file(c, "albumart-wma/");
    if (!file) {
        return HTTP_CLOSE;
    }
    uint8_t start[4];
    if (fread(start, 1, 4, file.get()) != 4 || memcmp(start, kAsfHeaderStart, 4) != 0) {
        return HTTP_CLOSE;
    }
    std::vector<uint8_t> data(kWmaSearch);
    data.resize(fread(data.data(), 1, data.size(), file.get()));
    file.reset();
    const std::optional<AlbumArtSpan> art = albumart_wma_find(data.data(), data.size());
    if (!art) {
        return HTTP_CLOSE;
    }
    c->content_length = art->length;
    c->content_type = "image/jpeg";
    http_send_response(c, reinterpret_cast<const char*>(data.data() + art->offset));
    return HTTP_CLOSE;
}
