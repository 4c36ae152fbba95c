#include "scan/mp3_reader.h"

#include "core/log.h"
#include "core/time_util.h"
#include "core/utf8.h"
#include "db/media_db.h"
#include "scan/genres.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

// Only this much of a tag is parsed for frames: covers of several megabytes
// are common, and every frame is reached by seeking, so a large tag costs a
// few reads. A picture frame is never read, only its offset taken.
constexpr size_t kTagBound = 16 * 1024 * 1024;
// A frame sync is searched for only this far past the tags.
constexpr size_t kSyncSearch = 200000;
// The first read of a file; most tags and their first frame fit in it.
constexpr size_t kFirstRead = 64 * 1024;
constexpr size_t kWindow = 256;
constexpr size_t kMaxTextFrame = 1025;
// A text frame as stored may be longer than its text: unsynchronisation
// bytes, a data length indicator, a group byte.
constexpr size_t kMaxStoredTextFrame = 2 * kMaxTextFrame + 5;

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

// Undoes unsynchronisation: every 0xFF 0x00 pair stands for 0xFF.
void remove_unsynchronisation(std::vector<uint8_t>& bytes)
{
    size_t out = 0;
    for (size_t in = 0; in < bytes.size(); ++in) {
        bytes[out++] = bytes[in];
        if (bytes[in] == 0xff && in + 1 < bytes.size() && bytes[in + 1] == 0) {
            ++in;
        }
    }
    bytes.resize(out);
}

// Copies n bytes at offset into out; false when the source holds fewer.
// Nothing that points into the source's buffer is kept across a read.
bool copy_at(Mp3Source& source, size_t offset, uint8_t* out, size_t n)
{
    std::vector<uint8_t> scratch;
    const std::span<const uint8_t> bytes = source.bytes_at(offset, n, scratch);
    if (bytes.size() < n) {
        return false;
    }
    memcpy(out, bytes.data(), n);
    return true;
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
// first NUL and without trailing blanks. The field names no encoding:
// UTF-8 when it is valid, else Latin-1.
std::string v1_field(std::span<const uint8_t> tag, size_t offset, size_t length)
{
    const auto* p = reinterpret_cast<const char*>(tag.data() + offset);
    std::string s = utf8_from_unknown(std::string_view(p, strnlen(p, length)));
    trim_trailing_blanks(s);
    return s;
}

bool has_text(const std::optional<std::string>& s)
{
    return s && !s->empty();
}

struct Frames {
    std::optional<std::string> title, artist, album, genre, date, original_date;
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

// Where the frames of one tag are read from: the file itself, or (for a
// version 2.2 or 2.3 tag unsynchronised as a whole) a decoded copy of the
// tag's body, whose offsets map to the file only roughly.
struct TagBody {
    Mp3Source& source;
    size_t start;     // the first byte after the tag header, in source
    size_t end;       // the end of what is parsed, in source
    size_t file_base; // the file offset of source byte 0
    bool cut;         // the tag is longer than what is parsed
};

// The text frame a frame identifier feeds, or nothing for frames that are
// skipped. The identifiers are compared over the lengths shown, so "TAL"
// also matches TALB and "TYE" matches TYER.
std::optional<std::string>* text_target(std::string_view id, Frames& frames, bool& track)
{
    track = false;
    if (id.starts_with("TCO") && !id.starts_with("TCOM")) {
        return &frames.genre;
    }
    if (id.starts_with("TYE") || id == "TDRC") {
        return &frames.date;
    }
    if (id == "TDOR") {
        return &frames.original_date;
    }
    if (id.starts_with("TAL")) {
        return &frames.album;
    }
    if (id.starts_with("TT2") || id.starts_with("TIT2")) {
        return &frames.title;
    }
    if (id.starts_with("TP1") || id.starts_with("TPE1")) {
        return &frames.artist;
    }
    if (id.starts_with("TRK") || id.starts_with("TRCK")) {
        track = true;
    }
    return nullptr;
}

// Whether a frame header, the tag's unused rest or its end stands at pos.
bool frame_follows(const TagBody& body, size_t pos)
{
    if (pos == body.end) {
        return true;
    }
    uint8_t id[4];
    if (pos > body.end || body.end - pos < 4 || !copy_at(body.source, pos, id, 4)) {
        return false;
    }
    if (id[0] == 0) {
        return true;
    }
    return std::all_of(id, id + 4,
                       [](uint8_t c) { return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'); });
}

// Reads the frames of body; tag_start only names the tag in problems.
void read_frames(const TagBody& body, int major, uint8_t tag_flags, size_t tag_start,
                 Frames& frames)
{
    size_t pos = body.start;
    if (tag_flags & 0x40) {
        uint8_t x[4];
        if (pos + 4 > body.end || !copy_at(body.source, pos, x, 4)) {
            note(frames, "extended header cut short", body.file_base + pos);
            return;
        }
        // Version 2.4 counts the size field in the (synchsafe) size;
        // version 2.3 gives a plain number that leaves those 4 bytes out.
        const size_t skip = major == 4 ? synchsafe(x) : size_t{4} + big_endian(x, 4);
        pos += skip;
        if (skip < 4 || pos > body.end) {
            note(frames, "extended header larger than its tag", tag_start);
            return;
        }
    }
    // In version 2.4 the tag's flag says that every frame is unsynchronised.
    const bool all_unsynchronised = major == 4 && (tag_flags & 0x80);
    const size_t header = major == 2 ? 6 : 10;
    const size_t id_length = major == 2 ? 3 : 4;
    std::vector<uint8_t> data;
    while (pos + header <= body.end) {
        uint8_t f[10];
        if (!copy_at(body.source, pos, f, header)) {
            break;
        }
        if (memcmp(f, "3DI", 3) == 0 || (f[0] == 0 && f[1] == 0 && f[2] == 0)) {
            break; // a footer, or the tag's unused rest
        }
        size_t size = major == 2 ? big_endian(f + 3, 3) : big_endian(f + 4, 4);
        // Version 2.4 sizes are synchsafe. Some tools wrote plain numbers
        // there: a size with a high bit set is one, and so is a size after
        // which only the plain reading finds the next frame.
        if (major == 4 && (f[4] | f[5] | f[6] | f[7]) < 0x80) {
            const size_t plain = size;
            size = synchsafe(f + 4);
            if (plain != size && !frame_follows(body, pos + header + size) &&
                frame_follows(body, pos + header + plain)) {
                size = plain;
            }
        }
        pos += header;
        if (size == 0 || size > body.end - pos) {
            if (size != 0 && !body.cut) {
                note(frames, "ID3v2 frame larger than its tag", body.file_base + pos - header);
            }
            break; // a frame that does not fit in its tag
        }
        const std::string_view id(reinterpret_cast<const char*>(f), id_length);
        size_t data_at = pos;
        size_t data_size = size;
        pos += size;
        bool unsynchronised = all_unsynchronised;
        bool length_indicator = false;
        if (major == 3) {
            if (f[9] & 0xc0) {
                continue; // compressed or encrypted
            }
            if (f[9] & 0x20) {
                data_at += 1; // group identifier
                data_size -= 1;
            }
        } else if (major == 4) {
            if (f[9] & 0x0c) {
                continue; // compressed or encrypted
            }
            if (f[9] & 0x40) {
                data_at += 1;
                data_size -= 1;
            }
            unsynchronised = unsynchronised || (f[9] & 0x02);
            length_indicator = f[9] & 0x01;
            if (length_indicator) {
                if (data_size < 4) {
                    continue;
                }
                data_at += 4;
                data_size -= 4;
            }
        }
        if (id.starts_with("PIC") || id.starts_with("APIC")) {
            frames.album_art = static_cast<int32_t>(
                std::min<size_t>(body.file_base + data_at, std::numeric_limits<int32_t>::max()));
            continue;
        }
        bool track = false;
        std::optional<std::string>* target = text_target(id, frames, track);
        if ((!target && !track) || data_size > kMaxStoredTextFrame) {
            continue;
        }
        data.resize(data_size);
        if (!copy_at(body.source, data_at, data.data(), data_size)) {
            note(frames, "file ends inside an ID3v2 frame", body.file_base + data_at);
            break;
        }
        if (unsynchronised) {
            remove_unsynchronisation(data);
        }
        std::optional<std::string> text = id3_text_frame(data);
        if (!text) {
            continue;
        }
        if (track) {
            frames.track = atoi(text->c_str());
        } else {
            *target = std::move(text);
        }
    }
}

// Reads the frames of one tag that starts at tag_start; returns the end of
// the tag (as its header gives it), or 0 when there is no tag there.
size_t read_tag(Mp3Source& source, size_t tag_start, Frames& frames)
{
    uint8_t h[10];
    if (!copy_at(source, tag_start, h, 10)) {
        return 0;
    }
    const int major = h[3];
    if (memcmp(h, "ID3", 3) != 0 || major < 2 || major > 4) {
        return 0;
    }
    const size_t size = synchsafe(h + 6);
    const size_t real_end = tag_start + 10 + size;
    const size_t parsed = std::min(size, kTagBound);
    if (major < 4 && (h[5] & 0x80)) {
        // Unsynchronised as a whole: frame headers and sizes are those of
        // the decoded body, so the body is read and decoded first.
        Mp3Source decoded;
        std::vector<uint8_t> scratch;
        const std::span<const uint8_t> stored = source.bytes_at(tag_start + 10, parsed, scratch);
        decoded.data.assign(stored.begin(), stored.end());
        const bool short_file = decoded.data.size() < parsed;
        remove_unsynchronisation(decoded.data);
        decoded.file_size = static_cast<int64_t>(decoded.data.size());
        const TagBody body{decoded, 0, decoded.data.size(), tag_start + 10,
                           parsed < size || short_file};
        read_frames(body, major, h[5], tag_start, frames);
    } else {
        const TagBody body{source, tag_start + 10, tag_start + 10 + parsed, 0, parsed < size};
        read_frames(body, major, h[5], tag_start, frames);
    }
    return real_end;
}

// The first MPEG frame at or after from (the end of the tags, which may lie
// beyond what the tag parsing read, behind a large picture): its header and
// playing time, the audio running up to audio_end. The search goes at most
// kSyncSearch bytes far.
Mp3FrameInfo find_frame(Mp3Source& source, size_t from, int64_t audio_end)
{
    std::vector<uint8_t> scratch;
    int previous = -1;
    for (size_t chunk = from; chunk < from + kSyncSearch; chunk += kFirstRead) {
        const size_t want = std::min(kFirstRead, from + kSyncSearch - chunk);
        const std::span<const uint8_t> bytes = source.bytes_at(chunk, want, scratch);
        for (size_t i = 0; i < bytes.size(); ++i) {
            if (previous == 255 && bytes[i] > 223) {
                const size_t sync = chunk + i - 1;
                std::vector<uint8_t> window_scratch;
                const std::span<const uint8_t> window =
                    source.bytes_at(sync, kWindow, window_scratch);
                return mp3_frame_info(window, audio_end - static_cast<int64_t>(sync));
            }
            previous = bytes[i];
        }
        if (bytes.size() < want) {
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
    const size_t bound = 4 * kFirstRead;
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
    // Never more than the file holds: a tag may claim any size.
    const auto end = static_cast<size_t>(std::max<int64_t>(file_size, 0));
    n = offset < end ? std::min(n, end - offset) : 0;
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
    info.mpeg1_layer3 = version == 0 && layer == 2;
    info.bitrate = kBitrates[version == 0 ? 0 : 1][layer][w[2] >> 4];
    const int sample_rate = kSampleRates[version][(w[2] >> 2) & 3];
    // Layer III frames of MPEG-2 and 2.5 hold half the samples of MPEG-1's.
    const int64_t samples = layer == 0 ? 384 : layer == 1 || version == 0 ? 1152 : 576;
    // 64-bit: audio books run to hundreds of megabytes.
    if (info.bitrate != 0 && audio_bytes > 0) {
        info.duration_ms = audio_bytes * 8 / info.bitrate;
    }
    info.vbr = 1;
    // The first frame of most files is no audio but a header that counts
    // the frames: "Xing" for variable bitrate, "Info" (the same layout) for
    // constant bitrate, after the side information; "VBRI" 32 bytes after
    // the frame header.
    const bool mono = (w[3] >> 6) == 3;
    const size_t side = version == 0 ? (mono ? 17 : 32) : (mono ? 9 : 17);
    int64_t frames = -1;
    const uint8_t* x = nullptr;
    if (w.size() >= 4 + side + 12) {
        x = w.data() + 4 + side;
    }
    if (!x || (memcmp(x, "Xing", 4) != 0 && memcmp(x, "Info", 4) != 0)) {
        x = nullptr;
        // Some encoders put the header elsewhere in the frame.
        for (size_t at = 4; at + 12 <= w.size() && at <= 123; ++at) {
            if (memcmp(w.data() + at, "Xing", 4) == 0) {
                x = w.data() + at;
                break;
            }
        }
    }
    if (x) {
        info.vbr = memcmp(x, "Info", 4) == 0 ? 1 : 2;
        if (x[7] & 1) { // the frame count is present
            frames = big_endian(x + 8, 4);
        }
    } else if (w.size() >= 36 + 18 && memcmp(w.data() + 36, "VBRI", 4) == 0) {
        info.vbr = 2;
        frames = big_endian(w.data() + 36 + 14, 4);
    }
    if (frames > 0 && sample_rate != 0) {
        info.duration_ms = frames * samples * 1000 / sample_rate;
    }
    return info;
}

std::optional<std::string> id3_text_frame(std::span<const uint8_t> frame)
{
    if (frame.empty() || frame.size() >= kMaxTextFrame) {
        return std::nullopt;
    }
    // A text ends at its first NUL: version 2.4 separates several values
    // with NULs, and the first one is taken.
    const std::string_view bytes(reinterpret_cast<const char*>(frame.data() + 1), frame.size() - 1);
    std::string text;
    switch (frame[0]) {
    case 0:
        text = utf8_from_latin1(bytes.substr(0, strnlen(bytes.data(), bytes.size())));
        break;
    case 1: // with a byte order mark; big-endian without one
        text = utf8_from_utf16(bytes, true, true);
        break;
    case 2: // big-endian; a mark some writers add anyway is obeyed
        text = utf8_from_utf16(bytes, true, true);
        break;
    case 3:
        text = utf8_repair(bytes.substr(0, strnlen(bytes.data(), bytes.size())));
        break;
    default:
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
    const bool v1 = tail.size() == 128 && memcmp(tail.data(), "TAG", 3) == 0;
    // The audio runs from the first frame to the ID3v1 tag or the end.
    const int64_t audio_end = source.file_size - (v1 ? 128 : 0);
    const Mp3FrameInfo frame = find_frame(source, tags_end, audio_end);
    if (frame.duration_ms > 0) {
        tags.bitrate = frame.vbr == 2 ? 0 : frame.bitrate;
        tags.audio_format = frame.mpeg1_layer3 ? kAudioFormatMp3 : kAudioFormatUnknown;
        tags.duration = format_duration(static_cast<long>(frame.duration_ms));
    }

    if (frames.genre) {
        frames.genre = genre_from_id3(*frames.genre);
    }
    if (!frames.genre && v1) {
        frames.genre = genre_name(tail[127]);
    }
    if (!frames.date) {
        frames.date = std::move(frames.original_date);
    }
    if (frames.date) {
        frames.date = music_date_from_year(*frames.date);
    } else if (v1) {
        const std::string year = v1_field(tail, 93, 4);
        if (atoi(year.c_str()) > 1900) {
            frames.date = music_date_from_year(year);
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
