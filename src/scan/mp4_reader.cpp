#include "scan/mp4_reader.h"

#include "core/time_util.h"
#include "core/titles.h"
#include "core/utf8.h"
#include "scan/genres.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <iterator>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace
{

uint32_t be32(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
           static_cast<uint32_t>(p[2]) << 8 | p[3];
}

uint64_t be64(const uint8_t* p)
{
    return static_cast<uint64_t>(be32(p)) << 32 | be32(p + 4);
}

struct Box {
    char type[5] = {};
    size_t payload = 0; // offset of the payload in the buffer
    size_t end = 0;     // offset just past the box
};

// The box at offset `at` of a buffer whose contents end at `end`; false when
// its header or its length does not fit.
bool box_at(const uint8_t* data, size_t at, size_t end, Box& box)
{
    if (at > end || end - at < 8) {
        return false;
    }
    uint64_t size = be32(data + at);
    memcpy(box.type, data + at + 4, 4);
    size_t header = 8;
    if (size == 1) {
        if (end - at < 16) {
            return false;
        }
        size = be64(data + at + 8);
        header = 16;
    } else if (size == 0) {
        size = end - at;
    }
    if (size < header || size > end - at) {
        return false;
    }
    box.payload = at + header;
    box.end = at + static_cast<size_t>(size);
    return true;
}

template <typename Visit> void walk_boxes(const uint8_t* data, size_t from, size_t end, Visit visit)
{
    Box box;
    for (size_t at = from; box_at(data, at, end, box); at = box.end) {
        visit(box);
    }
}

bool is(const Box& box, const char* type)
{
    return memcmp(box.type, type, 4) == 0;
}

std::string text_of(const uint8_t* p, size_t n)
{
    std::string_view raw(reinterpret_cast<const char*>(p), n);
    while (!raw.empty() && raw.back() == '\0') {
        raw.remove_suffix(1);
    }
    return utf8_repair(raw);
}

void read_mvhd(const uint8_t* data, const Box& box, Mp4Info& info)
{
    const uint8_t* p = data + box.payload;
    const size_t n = box.end - box.payload;
    uint64_t scale = 0;
    uint64_t duration = 0;
    if (n >= 20 && p[0] == 0) {
        scale = be32(p + 12);
        duration = be32(p + 16);
    } else if (n >= 32 && p[0] == 1) {
        scale = be32(p + 20);
        duration = be64(p + 24);
    }
    // An unknown duration is all ones.
    if (scale != 0 && duration != UINT32_MAX && duration != UINT64_MAX &&
        duration < UINT64_MAX / 1000) {
        info.duration_ms = static_cast<int64_t>(duration * 1000 / scale);
    }
}

void read_tkhd(const uint8_t* data, const Box& box, Mp4Info& info)
{
    if (info.width != 0) {
        return;
    }
    const uint8_t* p = data + box.payload;
    const size_t n = box.end - box.payload;
    // The size follows the times, the layer, the volume and the matrix, in
    // 16.16 fixed point.
    const size_t at = n > 0 && p[0] == 1 ? 88 : 76;
    if (n < at + 8) {
        return;
    }
    const int32_t width = static_cast<int32_t>(be32(p + at) >> 16);
    const int32_t height = static_cast<int32_t>(be32(p + at + 4) >> 16);
    if (width > 0 && height > 0) {
        info.width = width;
        info.height = height;
    }
}

// One ilst item: its first data box.
void read_item(const uint8_t* data, const Box& item, int64_t base, Mp4Info& info,
               std::optional<std::string>& album_artist)
{
    Box d;
    if (!box_at(data, item.payload, item.end, d) || !is(d, "data") || d.end - d.payload < 8) {
        return;
    }
    const uint8_t* v = data + d.payload + 8;
    const size_t n = d.end - d.payload - 8;
    MusicTags& t = info.tags;
    const std::string_view type(item.type, 4);
    if (type == "\xa9nam") {
        t.title = text_of(v, n);
    } else if (type == "\xa9"
                       "ART") {
        t.artist = text_of(v, n);
    } else if (type == "aART") {
        album_artist = text_of(v, n);
    } else if (type == "\xa9"
                       "alb") {
        t.album = text_of(v, n);
    } else if (type == "\xa9gen") {
        t.genre = text_of(v, n);
    } else if (type == "gnre" && n >= 2 && !t.genre) {
        // The old form: the ID3v1 genre number plus one.
        t.genre = genre_name(((v[0] << 8) | v[1]) - 1);
    } else if (type == "\xa9"
                       "day") {
        int year = 0;
        size_t digits = 0;
        while (digits < n && digits < 4 && v[digits] >= '0' && v[digits] <= '9') {
            year = year * 10 + (v[digits++] - '0');
        }
        if (digits == 4 && year > 0) {
            char date[32];
            snprintf(date, sizeof date, "%04d-01-01", year);
            t.date = date;
        }
    } else if (type == "trkn" && n >= 4) {
        t.track = (v[2] << 8) | v[3];
    } else if (type == "cpil" && n >= 1) {
        info.compilation = v[n - 1] != 0;
    } else if (type == "covr" && n > 0 && info.cover_length == 0) {
        info.cover_offset = base + static_cast<int64_t>(d.payload + 8);
        info.cover_length = static_cast<int64_t>(n);
        t.album_art = 1;
    }
}

void read_meta(const uint8_t* data, const Box& meta, int64_t base, Mp4Info& info,
               std::optional<std::string>& album_artist)
{
    // A full box with version and flags, except in files that leave them
    // out: then a child box header stands straight away.
    size_t from = meta.payload + 4;
    if (meta.end - meta.payload >= 8 && memcmp(data + meta.payload + 4, "hdlr", 4) == 0) {
        from = meta.payload;
    }
    walk_boxes(data, from, meta.end, [&](const Box& box) {
        if (is(box, "ilst")) {
            walk_boxes(data, box.payload, box.end,
                       [&](const Box& item) { read_item(data, item, base, info, album_artist); });
        }
    });
}

struct Fd {
    int fd;
    ~Fd()
    {
        if (fd >= 0) {
            close(fd);
        }
    }
};

bool read_at(int fd, int64_t offset, uint8_t* out, size_t n)
{
    size_t done = 0;
    while (done < n) {
        const ssize_t got = pread(fd, out + done, n - done, offset + static_cast<int64_t>(done));
        if (got <= 0) {
            return false;
        }
        done += static_cast<size_t>(got);
    }
    return true;
}

// Finds the top-level moov box and reads its payload; false when there is
// none or it is too large.
bool read_moov(int fd, int64_t file_size, std::vector<uint8_t>& moov, int64_t& base)
{
    int64_t at = 0;
    while (file_size - at >= 8) {
        uint8_t header[16];
        if (!read_at(fd, at, header, 8)) {
            return false;
        }
        uint64_t size = be32(header);
        int64_t header_size = 8;
        if (size == 1) {
            if (file_size - at < 16 || !read_at(fd, at + 8, header + 8, 8)) {
                return false;
            }
            size = be64(header + 8);
            header_size = 16;
        } else if (size == 0) {
            size = static_cast<uint64_t>(file_size - at);
        }
        if (size < static_cast<uint64_t>(header_size) ||
            size > static_cast<uint64_t>(file_size - at)) {
            return false;
        }
        if (memcmp(header + 4, "moov", 4) == 0) {
            const int64_t length = static_cast<int64_t>(size) - header_size;
            if (length > kMp4MaxMoov) {
                return false;
            }
            moov.resize(static_cast<size_t>(length));
            base = at + header_size;
            return read_at(fd, base, moov.data(), moov.size());
        }
        at += static_cast<int64_t>(size);
    }
    return false;
}

// The length of an MPEG-4 descriptor (one to four bytes of seven bits) at
// `at`, which is moved past it; false when it runs past end.
bool descriptor_length(const uint8_t* data, size_t& at, size_t end, size_t& length)
{
    length = 0;
    for (int i = 0; i < 4; ++i) {
        if (at >= end) {
            return false;
        }
        const uint8_t b = data[at++];
        length = length << 7 | (b & 0x7f);
        if (!(b & 0x80)) {
            return length <= end - at;
        }
    }
    return false;
}

// The audio format an esds box describes: AAC-LC (object type 2 of MPEG-4
// audio, or MPEG-2 AAC-LC) with its bitrate class, or unknown. The larger of
// the maximum and average bitrates counts; a file that states neither is
// taken as within 320 kbit/s only when its sample entry allows no doubt, so
// it stays unknown.
int32_t esds_audio_format(const uint8_t* data, const Box& esds)
{
    size_t at = esds.payload + 4; // version and flags
    const size_t end = esds.end;
    size_t length = 0;
    if (at >= end || data[at++] != 0x03 || !descriptor_length(data, at, end, length) ||
        length < 3) {
        return kAudioFormatUnknown;
    }
    const size_t es_end = at + length;
    const uint8_t flags = data[at + 2];
    at += 3;
    if (flags & 0x80) {
        at += 2; // depends on another stream
    }
    if ((flags & 0x40) && at < es_end) {
        at += 1 + data[at]; // a URL
    }
    if (flags & 0x20) {
        at += 2; // OCR stream
    }
    if (at >= es_end || data[at++] != 0x04 || !descriptor_length(data, at, es_end, length) ||
        length < 13) {
        return kAudioFormatUnknown;
    }
    const size_t config_end = at + length;
    const uint8_t object_type = data[at];
    const uint32_t max_bitrate = be32(data + at + 5);
    const uint32_t avg_bitrate = be32(data + at + 9);
    at += 13;
    bool lc = object_type == 0x67; // MPEG-2 AAC-LC
    if (object_type == 0x40 && at < config_end && data[at++] == 0x05 &&
        descriptor_length(data, at, config_end, length) && length >= 2) {
        // The AudioSpecificConfig: object type (5 bits), sampling frequency
        // index (4), channel configuration (4). Its rate counts over the
        // sample entry's, which cannot hold more than 65535 Hz.
        const int audio_object = data[at] >> 3;
        const int frequency_index = (data[at] & 7) << 1 | data[at + 1] >> 7;
        const int channels = (data[at + 1] >> 3) & 15;
        // Index 3 is 48 kHz, 11 is 8 kHz.
        lc = audio_object == 2 && frequency_index >= 3 && frequency_index <= 11 && channels >= 1 &&
             channels <= 2;
    }
    const uint32_t bitrate = std::max(max_bitrate, avg_bitrate);
    if (!lc || bitrate == 0 || bitrate > 576000) {
        return kAudioFormatUnknown;
    }
    return bitrate <= 320000 ? kAudioFormatAacLc : kAudioFormatAacLcHi;
}

// The audio format of a track's sample description (stsd): an "mp4a" entry
// of one or two channels at 8 to 48 kHz whose esds box says AAC-LC.
int32_t stsd_audio_format(const uint8_t* data, const Box& stsd)
{
    constexpr size_t kAudioEntryHeader = 28; // fields of an audio sample entry
    int32_t format = kAudioFormatUnknown;
    walk_boxes(data, stsd.payload + 8, stsd.end, [&](const Box& entry) {
        if (format != kAudioFormatUnknown || !is(entry, "mp4a") ||
            entry.end - entry.payload < kAudioEntryHeader) {
            return;
        }
        const uint8_t* p = data + entry.payload;
        const int channels = p[16] << 8 | p[17];
        const uint32_t rate = be32(p + 24) >> 16;
        if (channels < 1 || channels > 2 || rate < 8000 || rate > 48000) {
            return;
        }
        walk_boxes(data, entry.payload + kAudioEntryHeader, entry.end, [&](const Box& box) {
            if (is(box, "esds")) {
                format = esds_audio_format(data, box);
            }
        });
    });
    return format;
}

// The audio format of a trak's mdia/minf/stbl/stsd.
int32_t track_audio_format(const uint8_t* data, const Box& trak)
{
    int32_t format = kAudioFormatUnknown;
    const char* const path[] = {"mdia", "minf", "stbl", "stsd"};
    auto descend = [&](auto& self, const Box& box, size_t depth) -> void {
        const size_t from = box.payload;
        walk_boxes(data, from, box.end, [&](const Box& child) {
            if (!is(child, path[depth])) {
                return;
            }
            if (depth + 1 == std::size(path)) {
                format = stsd_audio_format(data, child);
            } else {
                self(self, child, depth + 1);
            }
        });
    };
    descend(descend, trak, 0);
    return format;
}

} // namespace

Mp4Info mp4_parse_moov(const uint8_t* data, size_t n, int64_t base)
{
    Mp4Info info;
    std::optional<std::string> album_artist;
    walk_boxes(data, 0, n, [&](const Box& box) {
        if (is(box, "mvhd")) {
            read_mvhd(data, box, info);
        } else if (is(box, "trak")) {
            if (info.audio_format == kAudioFormatUnknown) {
                info.audio_format = track_audio_format(data, box);
            }
            walk_boxes(data, box.payload, box.end, [&](const Box& child) {
                if (is(child, "tkhd")) {
                    read_tkhd(data, child, info);
                }
            });
        } else if (is(box, "udta")) {
            walk_boxes(data, box.payload, box.end, [&](const Box& child) {
                if (is(child, "meta")) {
                    read_meta(data, child, base, info, album_artist);
                }
            });
        }
    });
    if (!info.tags.artist && album_artist) {
        info.tags.artist = album_artist;
    }
    if (info.duration_ms > 0 && info.duration_ms < LONG_MAX) {
        info.tags.duration = format_duration(static_cast<long>(info.duration_ms));
    }
    return info;
}

Mp4Info mp4_read(const char* path)
{
    Fd file{open(path, O_RDONLY | O_CLOEXEC)};
    struct stat st = {};
    if (file.fd < 0 || fstat(file.fd, &st) != 0) {
        return Mp4Info();
    }
    std::vector<uint8_t> moov;
    int64_t base = 0;
    Mp4Info info;
    if (read_moov(file.fd, st.st_size, moov, base)) {
        info = mp4_parse_moov(moov.data(), moov.size(), base);
    }
    info.tags.size = st.st_size;
    info.tags.mtime = static_cast<int64_t>(st.st_mtime);
    return info;
}

bool mp4_read_cover(const char* path, std::string& picture)
{
    const Mp4Info info = mp4_read(path);
    if (info.cover_length <= 0) {
        return false;
    }
    Fd file{open(path, O_RDONLY | O_CLOEXEC)};
    if (file.fd < 0) {
        return false;
    }
    picture.resize(static_cast<size_t>(info.cover_length));
    return read_at(file.fd, info.cover_offset, reinterpret_cast<uint8_t*>(picture.data()),
                   picture.size());
}

int mp4_add(const char* path, int compilation)
{
    Mp4Info info = mp4_read(path);
    if (!info.tags.title) {
        info.tags.title = title_from_filename(path);
    }
    info.tags.audio_format = info.audio_format;
    return music_add(info.tags, path, compilation || info.compilation ? 1 : 0, "mp4");
}
