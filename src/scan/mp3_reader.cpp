#include "scan/mp3_reader.h"

#include "core/log.h"
#include "core/time_util.h"
#include "db/media_db.h"
#include "scan/genres.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

// Only this much of a tag is parsed for frames, and a frame sync is searched
// for only this far past the tags.
constexpr size_t kTagBound = 200000;
// The first read of a file; most tags and their first frame fit in it.
constexpr size_t kFirstRead = 64 * 1024;
constexpr size_t kWindow = 256;
constexpr size_t kMaxTextFrame = 1025;

uint32_t synchsafe(const uint8_t* p)
{
    return (uint32_t{p[0]} & 0x7f) << 21 | (uint32_t{p[1]} & 0x7f) << 14 |
           (uint32_t{p[2]} & 0x7f) << 7 | (uint32_t{p[3]} & 0x7f);
}

uint32_t big_endian(const uint8_t* p, int bytes)
{
    uint32_t v = 0;
    for (int i = 0; i < bytes; ++i) {
        v = v << 8 | p[i];
    }
    return v;
}

void trim_trailing_blanks(std::string& s)
{
    while (!s.empty() && s.back() == ' ') {
        s.pop_back();
    }
}

// MPEG audio bitrates in kbit/s: [MPEG-1 or MPEG-2/2.5][layer I, II, III].
constexpr int kBitrates[2][3][16] = {
    {
        {0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448, 0},
        {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384, 0},
        {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 0},
    },
    {
        {0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256, 0},
        {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 0},
        {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 0},
    },
};

// Sample rates: [MPEG-1, MPEG-2, MPEG-2.5][index].
constexpr int kSampleRates[3][4] = {
    {44100, 48000, 32000, 0},
    {22050, 24000, 16000, 0},
    {11025, 12000, 8000, 0},
};

// The text of the ID3v1 field at offset, 30 bytes or fewer, cut at its
// first NUL and without trailing blanks.
std::string v1_field(std::span<const uint8_t> tag, size_t offset, size_t length)
{
    const auto* p = reinterpret_cast<const char*>(tag.data() + offset);
    std::string s(p, strnlen(p, length));
    trim_trailing_blanks(s);
    return s;
}

// "YYYY-01-01" from the leading number of a year text.
std::string year_date(const std::string& text)
{
    int year = 0;
    for (size_t i = 0; i < text.size() && text[i] >= '0' && text[i] <= '9' && year < 100000; ++i) {
        year = year * 10 + (text[i] - '0');
    }
    char date[32];
    snprintf(date, sizeof date, "%04d-01-01", year);
    return date;
}

bool has_text(const std::optional<std::string>& s)
{
    return s && !s->empty();
}

struct Frames {
    std::optional<std::string> title, artist, album, genre, date;
    int32_t track = 0;
    int32_t album_art = 0;
    std::string problem;
};

void note(Frames& frames, const char* what, size_t at)
{
    if (frames.problem.empty()) {
        frames.problem = std::string(what) + " at byte " + std::to_string(at);
    }
}

// Reads the frames of one tag that starts at tag_start; returns the end of
// the tag (as its header gives it), or 0 when there is no tag there.
size_t read_tag(Mp3Source& source, size_t tag_start, Frames& frames)
{
    if (!source.ensure(tag_start + 10)) {
        return 0;
    }
    const uint8_t* h = source.data.data() + tag_start;
    const int major = h[3];
    if (memcmp(h, "ID3", 3) != 0 || major < 2 || major > 4) {
        return 0;
    }
    const size_t real_end = tag_start + 10 + synchsafe(h + 6);
    const size_t tag_end = std::min(real_end, tag_start + kTagBound);
    source.ensure(tag_end);
    const size_t available = std::min(tag_end, source.data.size());
    size_t pos = tag_start + 10;
    if (h[5] & 0x40) {
        if (pos + 4 > available) {
            note(frames, "extended header cut short", pos);
            return real_end;
        }
        const uint8_t* x = source.data.data() + pos;
        // Version 2.4 counts the size field in the (synchsafe) size;
        // version 2.3 gives a plain number that leaves those 4 bytes out.
        pos = major == 4 ? tag_start + 10 + synchsafe(x) : pos + 4 + big_endian(x, 4);
        if (pos > tag_end) {
            note(frames, "extended header larger than its tag", tag_start);
            return real_end;
        }
    }
    const size_t header = major == 2 ? 6 : 10;
    const size_t id_length = major == 2 ? 3 : 4;
    while (pos < tag_end && pos + header <= available) {
        const uint8_t* f = source.data.data() + pos;
        if (memcmp(f, "3DI", 3) == 0 || (f[0] == 0 && f[1] == 0 && f[2] == 0)) {
            break; // a footer, or the tag's unused rest
        }
        const size_t size = major == 2 ? big_endian(f + 3, 3) : big_endian(f + 4, 4);
        pos += header;
        if (size == 0 || size > tag_end - pos) {
            if (size != 0 && tag_end == real_end) {
                note(frames, "ID3v2 frame larger than its tag", pos - header);
            }
            break; // a frame that does not fit in its tag
        }
        const std::string_view id(reinterpret_cast<const char*>(f), id_length);
        const size_t data_at = pos;
        pos += size;
        if (id.starts_with("PIC") || id.starts_with("APIC")) {
            frames.album_art = static_cast<int32_t>(data_at);
            continue;
        }
        std::optional<std::string>* target = nullptr;
        bool track = false;
        if (id.starts_with("TCO") && !id.starts_with("TCOM")) {
            target = &frames.genre;
        } else if (id.starts_with("TYE")) {
            target = &frames.date;
        } else if (id.starts_with("TAL")) {
            target = &frames.album;
        } else if (id.starts_with("TT2") || id.starts_with("TIT2")) {
            target = &frames.title;
        } else if (id.starts_with("TP1") || id.starts_with("TPE1")) {
            target = &frames.artist;
        } else if (id.starts_with("TRK") || id.starts_with("TRCK")) {
            track = true;
        } else {
            continue;
        }
        if (pos > available) {
            note(frames, "file ends inside an ID3v2 frame", data_at);
            break;
        }
        std::optional<std::string> text =
            id3_text_frame(std::span(source.data.data() + data_at, size));
        if (track) {
            if (text) {
                frames.track = atoi(text->c_str());
            }
        } else if (text) {
            *target = std::move(text);
        }
    }
    return real_end;
}

// The first MPEG frame at or after from (the end of the tags, which may lie
// beyond what the tag parsing read, behind a large picture): its header and
// playing time. The search goes at most kTagBound bytes far.
Mp3FrameInfo find_frame(Mp3Source& source, size_t from)
{
    std::vector<uint8_t> scratch;
    int previous = -1;
    for (size_t chunk = from; chunk < from + kTagBound; chunk += kFirstRead) {
        const std::span<const uint8_t> bytes =
            source.bytes_at(chunk, std::min(kFirstRead, from + kTagBound - chunk), scratch);
        for (size_t i = 0; i < bytes.size(); ++i) {
            if (previous == 255 && bytes[i] > 223) {
                const size_t sync = chunk + i - 1;
                std::vector<uint8_t> window_scratch;
                const std::span<const uint8_t> window =
                    source.bytes_at(sync, kWindow, window_scratch);
                return mp3_frame_info(window, source.file_size - static_cast<int64_t>(sync + 2));
            }
            previous = bytes[i];
        }
        if (bytes.size() < std::min(kFirstRead, from + kTagBound - chunk)) {
            break; // end of the file
        }
    }
    return {};
}

} // namespace

bool Mp3Source::ensure(size_t end)
{
    if (end <= data.size()) {
        return true;
    }
    const size_t bound = 2 * kTagBound + kFirstRead;
    if (fd < 0 || data.size() >= static_cast<size_t>(file_size) || end > bound) {
        return false;
    }
    // Large steps: a parser that walks byte by byte still costs few reads.
    size_t want =
        std::min({std::max(end, data.size() + kFirstRead), bound, static_cast<size_t>(file_size)});
    const size_t old = data.size();
    data.resize(want);
    size_t got = old;
    while (got < want) {
        ssize_t n = pread(fd, data.data() + got, want - got, static_cast<off_t>(got));
        if (n <= 0) {
            break;
        }
        got += static_cast<size_t>(n);
    }
    data.resize(got);
    return end <= data.size();
}

std::span<const uint8_t> Mp3Source::bytes_at(size_t offset, size_t n, std::vector<uint8_t>& scratch)
{
    if (offset + n <= data.size() || fd < 0) {
        if (offset >= data.size()) {
            return {};
        }
        return std::span(data.data() + offset, std::min(n, data.size() - offset));
    }
    scratch.resize(n);
    size_t got = 0;
    while (got < n) {
        ssize_t r = pread(fd, scratch.data() + got, n - got, static_cast<off_t>(offset + got));
        if (r <= 0) {
            break;
        }
        got += static_cast<size_t>(r);
    }
    return std::span(scratch.data(), got);
}

Mp3FrameInfo mp3_frame_info(std::span<const uint8_t> w, int64_t audio_bytes)
{
    Mp3FrameInfo info;
    if (w.size() <= 3 || w[0] != 255 || w[1] <= 223) {
        return info;
    }
    int version; // 0 MPEG-1, 1 MPEG-2, 2 MPEG-2.5
    switch (w[1] & 24) {
    case 24:
        version = 0;
        break;
    case 16:
        version = 1;
        break;
    case 0:
        version = 2;
        break;
    default:
        return info; // reserved
    }
    const int layer_bits = (w[1] >> 1) & 3;
    const int layer = layer_bits == 0 ? 0 : 3 - layer_bits; // 0 = I, 1 = II, 2 = III
    info.valid = true;
    info.bitrate = kBitrates[version == 0 ? 0 : 1][layer][w[2] >> 4];
    const int sample_rate = kSampleRates[version][(w[2] >> 2) & 3];
    // 64-bit: audio books run to hundreds of megabytes.
    if (info.bitrate != 0 && audio_bytes > 0) {
        info.duration_ms = audio_bytes * 8 / info.bitrate;
    }
    info.vbr = 1;
    if (w.size() > 131) {
        for (size_t at = 4; at <= 123; ++at) {
            if (memcmp(w.data() + at, "Xing", 4) != 0) {
                continue;
            }
            info.vbr = 2;
            if (at + 12 <= w.size() && sample_rate != 0) {
                const int64_t frames = big_endian(w.data() + at + 8, 4);
                info.duration_ms = frames * 1152 / (sample_rate / 1000);
                if (info.duration_ms == 0 && info.bitrate != 0 && audio_bytes > 0) {
                    info.duration_ms = audio_bytes * 8 / info.bitrate;
                }
            }
            break;
        }
    }
    return info;
}

std::optional<std::string> id3_text_frame(std::span<const uint8_t> frame)
{
    if (frame.empty() || frame.size() >= kMaxTextFrame) {
        return std::nullopt;
    }
    std::string text;
    const uint8_t encoding = frame[0];
    if (encoding == 0 || encoding == 3) {
        const auto* p = reinterpret_cast<const char*>(frame.data() + 1);
        text.assign(p, strnlen(p, frame.size() - 1));
    } else if (encoding == 1 || encoding == 2) {
        size_t at = encoding == 1 ? 3 : 1;
        const bool little = encoding == 1 && frame.size() > 2 && frame[2] == 254;
        for (; at + 1 < frame.size(); at += 2) {
            const unsigned c =
                little ? frame[at] | frame[at + 1] << 8 : frame[at] << 8 | frame[at + 1];
            if (c == 0) {
                break;
            }
            text += c < 128 ? static_cast<char>(c) : '?';
        }
    } else {
        return std::nullopt;
    }
    trim_trailing_blanks(text);
    return text;
}

Mp3Tags mp3_parse(Mp3Source& source, std::span<const uint8_t> tail)
{
    Mp3Tags tags;
    tags.size = source.file_size;
    Frames frames;
    // A tag, then at most one more that follows at once.
    size_t tags_end = 0;
    for (int tag = 0; tag < 2; ++tag) {
        const size_t end = read_tag(source, tags_end, frames);
        if (end == 0) {
            break;
        }
        tags_end = end;
    }
    const Mp3FrameInfo frame = find_frame(source, tags_end);
    if (frame.duration_ms > 0) {
        tags.bitrate = frame.vbr == 2 ? 0 : frame.bitrate;
        tags.duration = format_duration(static_cast<long>(frame.duration_ms));
    }

    const bool v1 = tail.size() == 128 && memcmp(tail.data(), "TAG", 3) == 0;
    if (!frames.genre && v1) {
        frames.genre = genre_name(tail[127]);
    } else if (frames.genre && frames.genre->starts_with("(")) {
        frames.genre = genre_name(atoi(frames.genre->c_str() + 1));
    }
    if (frames.date) {
        frames.date = year_date(*frames.date);
    } else if (v1) {
        const std::string year = v1_field(tail, 93, 4);
        if (atoi(year.c_str()) > 1900) {
            frames.date = year_date(year);
        }
    }
    if (v1 && frames.track == 0) {
        frames.track = static_cast<int8_t>(tail[126]);
    }
    struct Fallback {
        std::optional<std::string>* field;
        size_t offset;
    };
    for (const Fallback& f :
         {Fallback{&frames.album, 63}, Fallback{&frames.artist, 33}, Fallback{&frames.title, 3}}) {
        if (v1 && !has_text(*f.field)) {
            std::string value = v1_field(tail, f.offset, 30);
            if (!value.empty()) {
                *f.field = std::move(value);
            }
        }
    }
    tags.title = std::move(frames.title);
    tags.artist = std::move(frames.artist);
    tags.album = std::move(frames.album);
    tags.genre = std::move(frames.genre);
    tags.date = std::move(frames.date);
    tags.track = frames.track;
    tags.album_art = frames.album_art;
    tags.problem = std::move(frames.problem);
    return tags;
}

Mp3Tags mp3_read_tags(const char* path)
{
    Mp3Tags empty;
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return empty;
    }
    struct stat st {
    };
    if (fstat(fd, &st) != 0) {
        close(fd);
        return empty;
    }
    Mp3Source source;
    source.fd = fd;
    source.file_size = st.st_size;
    source.ensure(kFirstRead);
    std::vector<uint8_t> tail;
    if (st.st_size >= 128) {
        const auto at = static_cast<size_t>(st.st_size - 128);
        if (at + 128 <= source.data.size()) {
            tail.assign(source.data.begin() + static_cast<long>(at),
                        source.data.begin() + static_cast<long>(at) + 128);
        } else {
            tail.resize(128);
            if (pread(fd, tail.data(), 128, static_cast<off_t>(at)) != 128) {
                tail.clear();
            }
        }
    }
    Mp3Tags tags = mp3_parse(source, tail);
    close(fd);
    tags.size = st.st_size;
    tags.mtime = static_cast<int64_t>(st.st_mtime);
    return tags;
}

int mp3_add(const char* path, int compilation)
{
    const Mp3Tags t = mp3_read_tags(path);
    if (!t.problem.empty()) {
        // The tags up to the fault are kept; the file is still added.
        log_msg(LOG_PROBLEM, LOG_CAT_DB, "broken tag in %s: %s\n", path, t.problem.c_str());
    }
    return music_add(t, path, compilation, "mp3");
}
