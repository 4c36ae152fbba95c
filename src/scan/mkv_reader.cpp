#include "scan/mkv_reader.h"

#include "core/utf8.h"
#include "scan/video_reader.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace
{

constexpr uint32_t kSegment = 0x18538067;
constexpr uint32_t kInfo = 0x1549A966;
constexpr uint32_t kTracks = 0x1654AE6B;
constexpr uint32_t kTags = 0x1254C367;
constexpr uint32_t kCluster = 0x1F43B675;
constexpr uint32_t kTimestampScale = 0x2AD7B1;
constexpr uint32_t kDuration = 0x4489;
constexpr uint32_t kTitle = 0x7BA9;
constexpr uint32_t kTrackEntry = 0xAE;
constexpr uint32_t kTrackType = 0x83;
constexpr uint32_t kVideo = 0xE0;
constexpr uint32_t kPixelWidth = 0xB0;
constexpr uint32_t kPixelHeight = 0xBA;
constexpr uint32_t kTag = 0x7373;
constexpr uint32_t kTargets = 0x63C0;
constexpr uint32_t kTagTrackUid = 0x63C5;
constexpr uint32_t kSimpleTag = 0x67C8;
constexpr uint32_t kTagName = 0x45A3;
constexpr uint32_t kTagString = 0x4487;
constexpr uint64_t kUnknownSize = UINT64_MAX;

struct Element {
    uint32_t id = 0;
    size_t payload = 0;
    size_t end = 0; // clamped to the data; see `whole`
    bool whole = true;
};

// A variable-length number at data[at]: its length from the leading zero
// bits of the first byte; the marker bit kept for ids, dropped for sizes.
bool read_vint(const uint8_t* data, size_t n, size_t& at, bool keep_marker, uint64_t& value)
{
    if (at >= n || data[at] == 0) {
        return false;
    }
    size_t length = 1;
    while (!(data[at] & (0x80 >> (length - 1)))) {
        ++length;
    }
    if (length > (keep_marker ? 4u : 8u) || n - at < length) {
        return false;
    }
    value = keep_marker ? data[at] : data[at] & (0xFF >> length);
    bool all_ones = value == (0xFFu >> length);
    for (size_t i = 1; i < length; ++i) {
        value = value << 8 | data[at + i];
        all_ones = all_ones && data[at + i] == 0xFF;
    }
    at += length;
    if (!keep_marker && all_ones) {
        value = kUnknownSize;
    }
    return true;
}

// The id and size of the element at data[0]; header is the length of both.
bool element_header(const uint8_t* data, size_t n, uint32_t& id, uint64_t& size, size_t& header)
{
    size_t at = 0;
    uint64_t raw_id = 0;
    if (!read_vint(data, n, at, true, raw_id) || !read_vint(data, n, at, false, size)) {
        return false;
    }
    id = static_cast<uint32_t>(raw_id);
    header = at;
    return true;
}

// The element at `at` within [at, end); an element longer than what is
// there is cut to it (whole false), as is one of unknown size.
bool element_at(const uint8_t* data, size_t at, size_t end, Element& e)
{
    uint64_t size = 0;
    size_t header = 0;
    if (at >= end || !element_header(data + at, end - at, e.id, size, header)) {
        return false;
    }
    at += header;
    e.payload = at;
    e.whole = size != kUnknownSize && size <= end - at;
    e.end = e.whole ? at + static_cast<size_t>(size) : end;
    return true;
}

template <typename Visit> void walk(const uint8_t* data, size_t from, size_t end, Visit visit)
{
    Element e;
    for (size_t at = from; at < end && element_at(data, at, end, e); at = e.end) {
        if (!visit(e) || !e.whole) {
            return;
        }
    }
}

uint64_t uint_of(const uint8_t* data, const Element& e)
{
    uint64_t value = 0;
    for (size_t i = e.payload; i < e.end && i < e.payload + 8; ++i) {
        value = value << 8 | data[i];
    }
    return value;
}

double float_of(const uint8_t* data, const Element& e)
{
    const uint64_t bits = uint_of(data, e);
    if (e.end - e.payload == 4) {
        float f;
        const uint32_t b = static_cast<uint32_t>(bits);
        memcpy(&f, &b, sizeof f);
        return f;
    }
    if (e.end - e.payload == 8) {
        double d;
        memcpy(&d, &bits, sizeof d);
        return d;
    }
    return 0;
}

std::string text_of(const uint8_t* data, const Element& e)
{
    std::string_view raw(reinterpret_cast<const char*>(data + e.payload), e.end - e.payload);
    while (!raw.empty() && raw.back() == '\0') {
        raw.remove_suffix(1);
    }
    return utf8_repair(raw);
}

void read_info(const uint8_t* data, const Element& info, MkvInfo& out)
{
    uint64_t scale = 1000000; // nanoseconds per tick when not given
    double ticks = 0;
    walk(data, info.payload, info.end, [&](const Element& e) {
        if (e.id == kTimestampScale) {
            scale = uint_of(data, e);
        } else if (e.id == kDuration) {
            ticks = float_of(data, e);
        } else if (e.id == kTitle) {
            out.title = text_of(data, e);
        }
        return true;
    });
    const double ms = ticks * static_cast<double>(scale) / 1e6;
    if (std::isfinite(ms) && ms > 0 && ms < 1e15) {
        out.duration_ms = std::llround(ms);
    }
}

void read_tracks(const uint8_t* data, const Element& tracks, MkvInfo& out)
{
    walk(data, tracks.payload, tracks.end, [&](const Element& entry) {
        if (entry.id != kTrackEntry) {
            return true;
        }
        uint64_t type = 0;
        uint64_t width = 0;
        uint64_t height = 0;
        walk(data, entry.payload, entry.end, [&](const Element& e) {
            if (e.id == kTrackType) {
                type = uint_of(data, e);
            } else if (e.id == kVideo) {
                walk(data, e.payload, e.end, [&](const Element& v) {
                    if (v.id == kPixelWidth) {
                        width = uint_of(data, v);
                    } else if (v.id == kPixelHeight) {
                        height = uint_of(data, v);
                    }
                    return true;
                });
            }
            return true;
        });
        if (type == 1 && width > 0 && height > 0 && width <= INT32_MAX && height <= INT32_MAX) {
            out.width = static_cast<int32_t>(width);
            out.height = static_cast<int32_t>(height);
            return false; // the first video track only
        }
        return true;
    });
}

// The TITLE of a tag that targets the whole file (no track), when the Info
// gave none.
void read_tags(const uint8_t* data, const Element& tags, MkvInfo& out)
{
    walk(data, tags.payload, tags.end, [&](const Element& tag) {
        if (tag.id != kTag) {
            return true;
        }
        bool of_track = false;
        std::optional<std::string> title;
        walk(data, tag.payload, tag.end, [&](const Element& e) {
            if (e.id == kTargets) {
                walk(data, e.payload, e.end, [&](const Element& t) {
                    of_track = of_track || t.id == kTagTrackUid;
                    return true;
                });
            } else if (e.id == kSimpleTag) {
                std::string name;
                std::optional<std::string> value;
                walk(data, e.payload, e.end, [&](const Element& s) {
                    if (s.id == kTagName) {
                        name = text_of(data, s);
                    } else if (s.id == kTagString) {
                        value = text_of(data, s);
                    }
                    return true;
                });
                if (name == "TITLE" && value && !value->empty()) {
                    title = value;
                }
            }
            return true;
        });
        if (!of_track && title && !out.title) {
            out.title = title;
        }
        return true;
    });
}

} // namespace

MkvInfo mkv_parse(const uint8_t* data, size_t n)
{
    MkvInfo out;
    walk(data, 0, n, [&](const Element& top) {
        if (top.id != kSegment) {
            return true;
        }
        walk(data, top.payload, top.end, [&](const Element& e) {
            if (e.id == kInfo) {
                read_info(data, e, out);
            } else if (e.id == kTracks) {
                read_tracks(data, e, out);
            } else if (e.id == kTags) {
                read_tags(data, e, out);
            }
            return e.id != kCluster;
        });
        return false;
    });
    if (out.title && out.title->empty()) {
        out.title.reset();
    }
    return out;
}

MkvInfo mkv_read(const char* path)
{
    MkvInfo out;
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    struct stat st = {};
    if (fd < 0 || fstat(fd, &st) != 0) {
        if (fd >= 0) {
            close(fd);
        }
        return out;
    }
    // Only the element headers are read on the way, and the payloads of
    // the three elements wanted: clusters and attachments can be large.
    const uint64_t file_size = static_cast<uint64_t>(st.st_size);
    uint64_t at = 0;
    uint64_t end = file_size;
    bool in_segment = false;
    std::vector<uint8_t> payload;
    while (at < end) {
        uint8_t head[12];
        const ssize_t got = pread(fd, head, sizeof head, static_cast<off_t>(at));
        uint64_t size = 0;
        size_t header = 0;
        uint32_t id = 0;
        if (got <= 0 || !element_header(head, static_cast<size_t>(got), id, size, header)) {
            break;
        }
        const uint64_t start = at + header;
        if (!in_segment && id == kSegment) {
            in_segment = true;
            if (size != kUnknownSize && size < end - start) {
                end = start + size;
            }
            at = start;
            continue;
        }
        if (id == kCluster || size == kUnknownSize || size > end - start) {
            break;
        }
        if (in_segment && (id == kInfo || id == kTracks || id == kTags)) {
            payload.resize(static_cast<size_t>(std::min<uint64_t>(size, kMkvElementRead)));
            if (pread(fd, payload.data(), payload.size(), static_cast<off_t>(start)) !=
                static_cast<ssize_t>(payload.size())) {
                break;
            }
            Element e;
            e.id = id;
            e.end = payload.size();
            if (id == kInfo) {
                read_info(payload.data(), e, out);
            } else if (id == kTracks) {
                read_tracks(payload.data(), e, out);
            } else {
                read_tags(payload.data(), e, out);
            }
        }
        at = start + size;
    }
    close(fd);
    if (out.title && out.title->empty()) {
        out.title.reset();
    }
    return out;
}

int mkv_add(const char* path, int compilation)
{
    const MkvInfo info = mkv_read(path);
    VideoDetails details;
    details.title = info.title;
    details.duration_ms = info.duration_ms;
    details.width = info.width;
    details.height = info.height;
    return video_add(path, compilation, details);
}
