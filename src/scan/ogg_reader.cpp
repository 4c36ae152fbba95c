#include "scan/ogg_reader.h"

#include "core/log.h"
#include "core/time_util.h"
#include "scan/reader_file.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace
{

constexpr size_t kPageHeader = 27;
// The largest page: its header, 255 lacing values and 255 * 255 bytes.
constexpr size_t kLargestPage = kPageHeader + 255 + 255 * 255;

uint32_t le32(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

uint64_t le64(const uint8_t* p)
{
    return static_cast<uint64_t>(le32(p)) | static_cast<uint64_t>(le32(p + 4)) << 32;
}

// The first packets of the first logical stream.
struct OggHeaders {
    std::vector<std::string> packets;
    uint32_t serial = 0;
    bool cut = false; // a packet was longer than kOggPacketLimit
};

// Reads pages from the start until `wanted` packets of the first stream are
// whole; pages of other streams are passed over.
OggHeaders ogg_read_packets(const ReaderFile& file, size_t wanted)
{
    OggHeaders h;
    std::string packet;
    int64_t at = 0;
    bool first = true;
    uint8_t header[kPageHeader];
    uint8_t lacing[255];
    while (h.packets.size() < wanted && file.read_at(at, header, kPageHeader)) {
        if (memcmp(header, "OggS", 4) != 0 || header[4] != 0) {
            break;
        }
        const uint32_t serial = le32(header + 14);
        const uint8_t segments = header[26];
        if (!file.read_at(at + kPageHeader, lacing, segments)) {
            break;
        }
        int64_t body = at + kPageHeader + segments;
        at = body;
        for (uint8_t i = 0; i < segments; ++i) {
            at += lacing[i];
        }
        if (first) {
            h.serial = serial;
            first = false;
        } else if (serial != h.serial) {
            continue;
        }
        for (uint8_t i = 0; i < segments && h.packets.size() < wanted; ++i) {
            const size_t length = lacing[i];
            if (packet.size() + length > kOggPacketLimit) {
                h.cut = true;
                return h;
            }
            const size_t old = packet.size();
            packet.resize(old + length);
            if (!file.read_at(body, packet.data() + old, length)) {
                return h;
            }
            body += length;
            if (length < 255) {
                h.packets.push_back(std::move(packet));
                packet.clear();
            }
        }
    }
    return h;
}

// The granule position of the last page of the stream within the file's
// last kLargestPage bytes; -1 when there is none.
int64_t ogg_last_granule(const ReaderFile& file, uint32_t serial)
{
    const int64_t start = std::max<int64_t>(0, file.size - static_cast<int64_t>(kLargestPage));
    std::vector<uint8_t> tail(static_cast<size_t>(file.size - start));
    if (!file.read_at(start, tail.data(), tail.size())) {
        return -1;
    }
    for (size_t i = tail.size() >= kPageHeader ? tail.size() - kPageHeader + 1 : 0; i-- > 0;) {
        const uint8_t* p = tail.data() + i;
        if (memcmp(p, "OggS", 4) != 0 || p[4] != 0 || le32(p + 14) != serial) {
            continue;
        }
        // A mark inside the audio data is told from a page by the page
        // fitting the bytes that follow it.
        const size_t segments = p[26];
        size_t end = i + kPageHeader + segments;
        for (size_t k = 0; k < segments && end <= tail.size(); ++k) {
            end += p[kPageHeader + k];
        }
        if (end > tail.size()) {
            continue;
        }
        const auto granule = static_cast<int64_t>(le64(p + 6));
        if (granule >= 0) {
            return granule;
        }
    }
    return -1;
}

enum class OggCodec { Unknown, Vorbis, Opus };

struct OggStream {
    OggCodec codec = OggCodec::Unknown;
    uint32_t rate = 0;     // Vorbis samples per second
    uint16_t pre_skip = 0; // Opus samples at 48 kHz
    // The comment list inside the second packet.
    const uint8_t* comments = nullptr;
    size_t comments_size = 0;
};

OggStream ogg_identify(const OggHeaders& h)
{
    OggStream s;
    if (h.packets.empty()) {
        return s;
    }
    const auto* id = reinterpret_cast<const uint8_t*>(h.packets[0].data());
    const size_t id_size = h.packets[0].size();
    const uint8_t* c = nullptr;
    size_t c_size = 0;
    if (h.packets.size() > 1) {
        c = reinterpret_cast<const uint8_t*>(h.packets[1].data());
        c_size = h.packets[1].size();
    }
    if (id_size >= 16 && memcmp(id, "\x01vorbis", 7) == 0) {
        s.codec = OggCodec::Vorbis;
        s.rate = le32(id + 12);
        if (c_size >= 7 && memcmp(c, "\x03vorbis", 7) == 0) {
            s.comments = c + 7;
            s.comments_size = c_size - 7;
        }
    } else if (id_size >= 19 && memcmp(id, "OpusHead", 8) == 0) {
        s.codec = OggCodec::Opus;
        s.pre_skip = static_cast<uint16_t>(id[10] | id[11] << 8);
        if (c_size >= 8 && memcmp(c, "OpusTags", 8) == 0) {
            s.comments = c + 8;
            s.comments_size = c_size - 8;
        }
    }
    return s;
}

std::optional<std::string> ogg_duration(const OggStream& s, int64_t granule)
{
    if (granule < 0) {
        return std::nullopt;
    }
    uint64_t samples = static_cast<uint64_t>(granule);
    uint64_t rate = s.rate;
    if (s.codec == OggCodec::Opus) {
        samples = samples > s.pre_skip ? samples - s.pre_skip : 0;
        rate = 48000;
    }
    if (rate == 0 || samples == 0 || samples > UINT64_MAX / 1000) {
        return std::nullopt;
    }
    return format_duration(static_cast<long>((samples * 1000 + rate / 2) / rate));
}

} // namespace

MusicTags ogg_read_tags(const char* path)
{
    MusicTags tags;
    const ReaderFile file(path);
    if (!reader_file_tags_start(file, tags)) {
        return tags;
    }
    const OggHeaders h = ogg_read_packets(file, 2);
    const OggStream s = ogg_identify(h);
    if (s.codec == OggCodec::Unknown) {
        tags.problem = "neither Vorbis nor Opus";
        return tags;
    }
    if (s.comments) {
        vorbis_comment_parse(s.comments, s.comments_size, tags, nullptr);
    } else if (tags.problem.empty()) {
        tags.problem = h.cut ? "comment header too large" : "no comment header";
    }
    tags.duration = ogg_duration(s, ogg_last_granule(file, h.serial));
    return tags;
}

bool ogg_read_picture(const char* path, MusicPicture& out)
{
    const ReaderFile file(path);
    if (!file.ok()) {
        return false;
    }
    const OggHeaders h = ogg_read_packets(file, 2);
    const OggStream s = ogg_identify(h);
    if (!s.comments) {
        return false;
    }
    MusicTags ignored;
    MusicPicture picture;
    vorbis_comment_parse(s.comments, s.comments_size, ignored, &picture);
    if (ignored.album_art == 0) {
        return false;
    }
    out = std::move(picture);
    return true;
}

int ogg_add(const char* path, int compilation)
{
    const MusicTags t = ogg_read_tags(path);
    if (!t.problem.empty()) {
        log_msg(LOG_PROBLEM, LOG_CAT_DB, "broken tag in %s: %s\n", path, t.problem.c_str());
    }
    return music_add(t, path, compilation, "ogg");
}
