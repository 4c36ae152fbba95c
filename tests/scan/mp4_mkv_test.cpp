#include "scan/mkv_reader.h"
#include "scan/mp4_reader.h"
#include "support/temp_dir.h"

#include <cstdint>
#include <cstring>
#include <fstream>
#include <gtest/gtest.h>
#include <string>

namespace
{

using Bytes = std::string;
using namespace std::string_literals;

Bytes be(uint64_t v, int n)
{
    Bytes out;
    for (int i = n - 1; i >= 0; --i) {
        out += static_cast<char>(v >> (8 * i) & 0xFF);
    }
    return out;
}

Bytes box(const char* type, const Bytes& payload)
{
    return be(payload.size() + 8, 4) + type + payload;
}

Bytes item(const char* type, uint32_t data_type, const Bytes& value)
{
    return box(type, box("data", be(data_type, 4) + be(0, 4) + value));
}

const Bytes kCover = "\xff\xd8\xff\xe0 not much of a picture \xff\xd9";

Bytes tkhd(uint32_t width, uint32_t height)
{
    return box("tkhd", Bytes(76, '\0') + be(width << 16, 4) + be(height << 16, 4));
}

Bytes song_moov(const Bytes& ilst_items)
{
    const Bytes mvhd = box("mvhd", be(0, 4) + be(0, 8) + be(1000, 4) + be(5500, 4) + Bytes(80, 0));
    const Bytes meta =
        box("meta", be(0, 4) + box("hdlr", Bytes(25, '\0')) + box("ilst", ilst_items));
    return box("moov", mvhd + box("trak", tkhd(0, 0)) + box("udta", meta));
}

Bytes song_items()
{
    return item("\xa9nam", 1, "Caf\xc3\xa9 Song") + item("aART", 1, "The Band") +
           item("\xa9"
                "alb",
                1, "First") +
           item("gnre", 0, be(18, 2)) +
           item("\xa9"
                "day",
                1, "2019-05-01T00:00:00Z") +
           item("trkn", 0, be(3, 4) + be(12, 2)) + item("cpil", 21, "\x01") +
           item("covr", 13, kCover);
}

std::string write_file(const TempDir& dir, const char* name, const Bytes& bytes)
{
    const std::string path = dir.file(name);
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
}

TEST(Mp4Reader, SongTagsDurationAndCoverWithMoovAfterTheData)
{
    const TempDir dir;
    const Bytes head = box("ftyp", "M4A \0\0\0\0"s) + box("mdat", Bytes(3000, 'x'));
    const std::string path = write_file(dir, "a.m4a", head + song_moov(song_items()));
    const Mp4Info info = mp4_read(path.c_str());
    const MusicTags& t = info.tags;
    EXPECT_EQ(t.title.value_or("-"), "Caf\xc3\xa9 Song");
    EXPECT_EQ(t.artist.value_or("-"), "The Band") << "the album artist stands in";
    EXPECT_EQ(t.album.value_or("-"), "First");
    EXPECT_EQ(t.genre.value_or("-"), "Rock") << "gnre counts from one";
    EXPECT_EQ(t.date.value_or("-"), "2019-01-01");
    EXPECT_EQ(t.track, 3);
    EXPECT_EQ(t.duration.value_or("-"), "0:00:05.500");
    EXPECT_EQ(t.album_art, 1);
    EXPECT_TRUE(info.compilation);
    EXPECT_EQ(info.width, 0) << "an audio track has no size";
    EXPECT_EQ(t.size, static_cast<int64_t>(head.size() + song_moov(song_items()).size()));
    std::string cover;
    ASSERT_TRUE(mp4_read_cover(path.c_str(), cover));
    EXPECT_EQ(cover, kCover);
}

TEST(Mp4Reader, BrokenLengthsAreNotFollowed)
{
    const TempDir dir;
    // A moov claiming more than the file holds: nothing is read from it.
    Bytes moov = song_moov(song_items());
    moov.replace(0, 4, be(moov.size() + 100, 4));
    EXPECT_FALSE(mp4_read(write_file(dir, "long.m4a", moov).c_str()).tags.title);
    // An item whose length runs past its list ends the list; what came
    // before it stays.
    Bytes bad = item("\xa9"
                     "alb",
                     1, "Lost");
    bad.replace(0, 4, be(5000, 4));
    const Mp4Info info =
        mp4_read(write_file(dir, "item.m4a", song_moov(item("\xa9nam", 1, "Kept") + bad)).c_str());
    EXPECT_EQ(info.tags.title.value_or("-"), "Kept");
    EXPECT_FALSE(info.tags.album);
    EXPECT_EQ(info.tags.duration.value_or("-"), "0:00:05.500");
    // Bytes that are no MP4 at all, and an empty file.
    EXPECT_FALSE(mp4_read(write_file(dir, "text.m4a", "just some text here").c_str()).tags.title);
    EXPECT_EQ(mp4_read(write_file(dir, "empty.m4a", "").c_str()).duration_ms, 0);
    std::string cover;
    EXPECT_FALSE(mp4_read_cover(dir.file("empty.m4a").c_str(), cover));
}

TEST(Mp4Reader, VideoSizeFromTheFirstTrackWithOne)
{
    // Version 1 header of an audio track first, then the video track.
    const Bytes tkhd_v1 = box("tkhd", "\x01\0\0\0"s + Bytes(84, '\0') + be(0, 4) + be(0, 4));
    const Bytes moov = box("mvhd", be(0, 4) + be(0, 8) + be(600, 4) + be(600 * 90, 4)) +
                       box("trak", tkhd_v1) + box("trak", tkhd(1280, 720)) +
                       box("trak", tkhd(320, 240));
    const Mp4Info info =
        mp4_parse_moov(reinterpret_cast<const uint8_t*>(moov.data()), moov.size(), 0);
    EXPECT_EQ(info.width, 1280);
    EXPECT_EQ(info.height, 720);
    EXPECT_EQ(info.duration_ms, 90000);
}

// A track whose sample description holds one audio entry with an esds box
// of the object type, the audio object type of its decoder config, and the
// bitrates.
Bytes audio_trak(const char* entry, int channels, uint32_t rate, uint8_t object_type,
                 uint8_t audio_object, uint32_t max_bitrate, uint32_t avg_bitrate)
{
    // The sampling frequency index of the rate, as the decoder config has it.
    const uint32_t rates[] = {96000, 88200, 64000, 48000, 44100, 32000, 24000, 22050, 16000};
    int index = 0;
    while (index < 8 && rates[index] != rate) {
        ++index;
    }
    const Bytes specific = "\x05\x02"s + static_cast<char>(audio_object << 3 | index >> 1) +
                           static_cast<char>((index & 1) << 7 | channels << 3);
    const Bytes config = "\x04"s + static_cast<char>(13 + specific.size()) +
                         static_cast<char>(object_type) + "\x15"s + be(0, 3) + be(max_bitrate, 4) +
                         be(avg_bitrate, 4) + specific;
    // The ES descriptor's length in the four-byte form some muxers write.
    const Bytes es =
        "\x03\x80\x80\x80"s + static_cast<char>(3 + config.size()) + be(1, 2) + "\0"s + config;
    const Bytes esds = box("esds", be(0, 4) + es);
    const Bytes sample_entry =
        box(entry, Bytes(6, '\0') + be(1, 2) + Bytes(8, '\0') + be(channels, 2) + be(16, 2) +
                       be(0, 4) + be(rate > 65535 ? 0 : rate << 16, 4) + esds);
    const Bytes stsd = box("stsd", be(0, 4) + be(1, 4) + sample_entry);
    return box("trak", tkhd(0, 0) + box("mdia", box("minf", box("stbl", stsd))));
}

int32_t audio_format_of(const Bytes& trak)
{
    const Bytes moov = box("mvhd", be(0, 4) + be(0, 8) + be(1000, 4) + be(5500, 4)) + trak;
    return mp4_parse_moov(reinterpret_cast<const uint8_t*>(moov.data()), moov.size(), 0)
        .audio_format;
}

TEST(Mp4Reader, PlainAacLcIsRecognisedForItsProfile)
{
    EXPECT_EQ(audio_format_of(audio_trak("mp4a", 2, 44100, 0x40, 2, 0, 128000)), kAudioFormatAacLc);
    EXPECT_EQ(audio_format_of(audio_trak("mp4a", 1, 48000, 0x40, 2, 320000, 256000)),
              kAudioFormatAacLc);
    EXPECT_EQ(audio_format_of(audio_trak("mp4a", 2, 48000, 0x40, 2, 400000, 0)),
              kAudioFormatAacLcHi);
    EXPECT_EQ(audio_format_of(audio_trak("mp4a", 2, 44100, 0x67, 0, 0, 128000)), kAudioFormatAacLc)
        << "MPEG-2 AAC-LC";
    struct Row {
        Bytes trak;
        const char* why;
    };
    const Row unknown[] = {
        {audio_trak("mp4a", 2, 44100, 0x40, 5, 0, 64000), "HE-AAC"},
        {audio_trak("mp4a", 6, 48000, 0x40, 2, 0, 384000), "5.1 channels"},
        {audio_trak("mp4a", 2, 96000, 0x40, 2, 0, 256000), "96 kHz"},
        {audio_trak("mp4a", 2, 44100, 0x40, 2, 0, 0), "no bitrate stated"},
        {audio_trak("mp4a", 2, 44100, 0x40, 2, 0, 700000), "beyond 576 kbit/s"},
        {audio_trak("alac", 2, 44100, 0x40, 2, 0, 128000), "not an mp4a entry"},
        {audio_trak("mp4a", 2, 44100, 0x6B, 2, 0, 128000), "MPEG-1 audio in MP4"},
    };
    for (const Row& row : unknown) {
        EXPECT_EQ(audio_format_of(row.trak), kAudioFormatUnknown) << row.why;
        // Every cut of the track stays inside its bytes and finds nothing.
        for (size_t cut = 1; cut < row.trak.size(); cut += 7) {
            Bytes shorter = row.trak.substr(0, row.trak.size() - cut);
            shorter.replace(0, 4, be(shorter.size(), 4));
            audio_format_of(shorter);
        }
    }
}

// Matroska elements: ids as written (marker bits included), sizes as one
// 8-byte number.
Bytes el(uint32_t id, const Bytes& payload)
{
    Bytes out = id > 0xFFFFFF ? be(id, 4)
                : id > 0xFFFF ? be(id, 3)
                : id > 0xFF   ? be(id, 2)
                              : be(id, 1);
    return out + "\x01"s + be(payload.size(), 7);
}

Bytes el_with(uint32_t id, const Bytes& payload)
{
    return el(id, payload) + payload;
}

Bytes f64(double d)
{
    uint64_t bits;
    memcpy(&bits, &d, sizeof bits);
    return be(bits, 8);
}

Bytes video_track(uint32_t w, uint32_t h)
{
    return el_with(0xAE, el_with(0x83, be(1, 1)) +
                             el_with(0xE0, el_with(0xB0, be(w, 2)) + el_with(0xBA, be(h, 2))));
}

Bytes mkv_file(const Bytes& segment_body)
{
    const Bytes ebml = el_with(0x1A45DFA3, el_with(0x4282, "webm"));
    // A segment of unknown size, as live writers leave it.
    return ebml + be(0x18538067, 4) + "\x01\xff\xff\xff\xff\xff\xff\xff"s + segment_body;
}

TEST(MkvReader, DurationSizeAndTitleBeforeTheFirstCluster)
{
    const Bytes info =
        el_with(0x1549A966, el_with(0x2AD7B1, be(1000000, 3)) + el_with(0x4489, f64(2500.0)));
    const Bytes audio = el_with(0xAE, el_with(0x83, be(2, 1)));
    const Bytes tracks =
        el_with(0x1654AE6B, audio + video_track(1920, 1080) + video_track(640, 480));
    const auto simple = [](const char* name, const char* value) {
        return el_with(0x67C8, el_with(0x45A3, name) + el_with(0x4487, value));
    };
    // A track's title is not the film's.
    const Bytes track_tag =
        el_with(0x7373, el_with(0x63C0, el_with(0x63C5, be(1, 1))) + simple("TITLE", "Track"));
    const Bytes tags = el_with(0x1254C367, track_tag + el_with(0x7373, simple("TITLE", "Film")));
    const Bytes cluster = el_with(0x1F43B675, Bytes(100, '\0'));
    const Bytes late = el_with(0x1549A966, el_with(0x7BA9, "Late"));
    const Bytes file = mkv_file(info + tracks + tags + cluster + late);
    const MkvInfo m = mkv_parse(reinterpret_cast<const uint8_t*>(file.data()), file.size());
    EXPECT_EQ(m.duration_ms, 2500);
    EXPECT_EQ(m.width, 1920);
    EXPECT_EQ(m.height, 1080);
    EXPECT_EQ(m.title.value_or("-"), "Film");
    // The same read from a file, element by element.
    const TempDir dir;
    const MkvInfo f = mkv_read(write_file(dir, "a.mkv", file).c_str());
    EXPECT_EQ(f.duration_ms, 2500);
    EXPECT_EQ(f.width, 1920);
    EXPECT_EQ(f.title.value_or("-"), "Film");

    // Cut inside the tracks: the duration stays, nothing is read past the
    // cut.
    const size_t cut = file.size() - late.size() - cluster.size() - tags.size() - 10;
    const MkvInfo part = mkv_parse(reinterpret_cast<const uint8_t*>(file.data()), cut);
    EXPECT_EQ(part.duration_ms, 2500);
    EXPECT_FALSE(part.title);
    const MkvInfo part_file = mkv_read(write_file(dir, "cut.mkv", file.substr(0, cut)).c_str());
    EXPECT_EQ(part_file.duration_ms, 2500);
    EXPECT_EQ(part_file.width, 0) << "the cut tracks are not read";

    // Info's own title wins over the tags; a 4-byte float and another scale.
    const Bytes info2 =
        el_with(0x1549A966, el_with(0x2AD7B1, be(1000, 2)) + el_with(0x4489, be(0x47c35000, 4)) +
                                el_with(0x7BA9, "Own"));
    const Bytes file2 = mkv_file(info2 + tags);
    const MkvInfo own = mkv_parse(reinterpret_cast<const uint8_t*>(file2.data()), file2.size());
    EXPECT_EQ(own.duration_ms, 100) << "100000 ticks of a microsecond";
    EXPECT_EQ(own.title.value_or("-"), "Own");
}

} // namespace
