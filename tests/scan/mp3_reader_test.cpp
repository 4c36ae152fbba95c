#include "core/settings.h"
#include "db/db_fixture.h"
#include "mp3_writer.h"
#include "scan/genres.h"
#include "scan/mp3_reader.h"
#include "support/temp_dir.h"

#include <cstring>

namespace
{

// Reads bytes written as a file, the way the scanner reads every file.
Mp3Tags parse(const Bytes& file)
{
    const TempDir dir;
    const std::string path = dir.file("t.mp3");
    EXPECT_TRUE(write_bytes(path, file));
    return mp3_read_tags(path.c_str());
}

// Version 2.4 frames as they are stored: synchsafe sizes and frame flags.
struct Frame24 {
    std::string id;
    Bytes data;
    uint8_t flags = 0; // the second flag byte
};

void put_synchsafe(Bytes& out, uint32_t v)
{
    for (int shift : {21, 14, 7, 0}) {
        out.push_back(static_cast<uint8_t>((v >> shift) & 0x7f));
    }
}

Bytes tag24(const std::vector<Frame24>& frames, uint8_t tag_flags = 0)
{
    Bytes body;
    for (const Frame24& f : frames) {
        body.insert(body.end(), f.id.begin(), f.id.end());
        put_synchsafe(body, static_cast<uint32_t>(f.data.size()));
        body.push_back(0);
        body.push_back(f.flags);
        body.insert(body.end(), f.data.begin(), f.data.end());
    }
    Bytes tag = {'I', 'D', '3', 4, 0, tag_flags};
    put_synchsafe(tag, static_cast<uint32_t>(body.size()));
    return concat({tag, body});
}

// A zero byte after every 0xFF, as unsynchronisation stores it.
Bytes unsynchronised(const Bytes& b)
{
    Bytes out;
    for (uint8_t c : b) {
        out.push_back(c);
        if (c == 0xff) {
            out.push_back(0);
        }
    }
    return out;
}

Bytes id3_utf8(const std::string& text)
{
    Bytes b = {3};
    b.insert(b.end(), text.begin(), text.end());
    return b;
}

Bytes with_frames(std::vector<Id3Frame> frames, Id3v2Options options = {})
{
    return concat({id3v2_tag(frames, options), mpeg_frames(4)});
}

TEST(Mp3Reader, Id3v1Alone)
{
    const Mp3Tags t =
        parse(concat({mpeg_frames(3), id3v1_tag("Song", "Band", "Disc", "1999", 5, 17)}));
    EXPECT_EQ(t.title, "Song");
    EXPECT_EQ(t.artist, "Band");
    EXPECT_EQ(t.album, "Disc");
    EXPECT_EQ(t.genre, "Rock");
    EXPECT_EQ(t.date, "1999-01-01");
    EXPECT_EQ(t.track, 5);
    EXPECT_FALSE(parse(concat({mpeg_frames(1), id3v1_tag("S", "", "", "", 0, 200)})).genre)
        << "genre numbers beyond the table name nothing";
    EXPECT_FALSE(parse(concat({mpeg_frames(1), id3v1_tag("S", "", "", "1850", 0, 1)})).date)
        << "years up to 1900 are no date";
}

TEST(Mp3Reader, GenreFrames)
{
    struct Row {
        std::string text;
        std::optional<std::string> genre;
    };
    const Row rows[] = {{"(13)", "Pop"}, {"(17)Rock", "Rock"}, {"Trance", "Trance"}, {"(999)", {}}};
    for (const Row& row : rows) {
        EXPECT_EQ(parse(with_frames({{"TCON", id3_latin1(row.text)}})).genre, row.genre)
            << row.text;
    }
    // A composer frame is no genre; the ID3v1 byte then names it.
    const Bytes file = concat({id3v2_tag({{"TCOM", id3_latin1("Bach")}}), mpeg_frames(2),
                               id3v1_tag("T", "", "", "", 0, 31)});
    EXPECT_EQ(parse(file).genre, "Trance");
    EXPECT_EQ(genre_name(0), "Blues");
    EXPECT_EQ(genre_name(147), "SynthPop");
    EXPECT_FALSE(genre_name(148));
    EXPECT_STREQ(kGenreNames[kGenreCount], "");
}

TEST(Mp3Reader, YearRules)
{
    EXPECT_EQ(parse(with_frames({{"TYER", id3_latin1("1987")}})).date, "1987-01-01");
    EXPECT_EQ(parse(with_frames({{"TYER", id3_latin1("2004-05-06")}})).date, "2004-01-01");
    EXPECT_EQ(parse(with_frames({{"TYER", id3_latin1("soon")}})).date, "0000-01-01");
    EXPECT_FALSE(parse(with_frames({{"TIT2", id3_latin1("x")}})).date);
}

TEST(Mp3Reader, TextEncodings)
{
    EXPECT_EQ(parse(with_frames({{"TIT2", id3_utf16(u"Ab", true)}})).title, "Ab");
    EXPECT_EQ(parse(with_frames({{"TIT2", id3_utf16(u"Ab", false)}})).title, "Ab");
    EXPECT_EQ(parse(with_frames({{"TIT2", id3_utf16(u"Caf\u00e9 ", true)}})).title, "Caf\u00e9")
        << "trailing blanks go";
    EXPECT_EQ(id3_text_frame(Bytes{2, 0, 'H', 0, 'i'}), "Hi") << "UTF-16 big-endian, no mark";
    EXPECT_EQ(id3_text_frame(Bytes{1, 0xff, 0xfe, 'O', 0, 'k'}), "O")
        << "an odd last byte is no character";
    EXPECT_EQ(id3_text_frame(Bytes{0, 'a', 0xe9, 0, 'z'}), "a\u00e9") << "Latin-1, the first value";
    EXPECT_FALSE(id3_text_frame(Bytes{7, 'x'}));
    EXPECT_FALSE(id3_text_frame(Bytes(1025, 'x')));
}

TEST(Mp3Reader, DurationsFromFrames)
{
    // Xing: 1000 frames of 1152 samples at 44100 Hz, and the bitrate is
    // variable.
    const Mp3Tags vbr = parse(mpeg_frames(3, 1000));
    EXPECT_EQ(vbr.duration, "0:00:26.122");
    EXPECT_EQ(vbr.bitrate, 0);

    // 128 kbit/s over 4 000 000 audio bytes (counted from after the frame
    // sync) is 250 s.
    Bytes cbr = mpeg_frames(1);
    cbr.resize(4000000 + 2, 0);
    const Mp3Tags constant = parse(cbr);
    EXPECT_EQ(constant.duration, "0:04:10.000");
    EXPECT_EQ(constant.bitrate, 128);

    // Audio books beyond 268 MB: 64-bit arithmetic.
    const Mp3FrameInfo book = mp3_frame_info(Bytes{0xff, 0xfb, 0x90, 0x64}, 300000000);
    EXPECT_EQ(book.duration_ms, 18750000);
    EXPECT_FALSE(mp3_frame_info(Bytes{0xff, 0xeb, 0x90, 0x64}, 1000).valid) << "reserved version";
}

TEST(Mp3Reader, VersionsAndExtendedHeaders)
{
    const Mp3Tags v22 = parse(with_frames({{"TT2", id3_latin1("Old")},
                                           {"TP1", id3_latin1("Band")},
                                           {"TAL", id3_latin1("Disc")},
                                           {"TRK", id3_latin1("7/12")}},
                                          {.major = 2}));
    EXPECT_EQ(v22.title, "Old");
    EXPECT_EQ(v22.artist, "Band");
    EXPECT_EQ(v22.album, "Disc");
    EXPECT_EQ(v22.track, 7);
    EXPECT_EQ(v22.duration, "0:00:00.104") << "the frame after the tag is found";
    for (int major : {3, 4}) {
        const Mp3Tags t = parse(
            with_frames({{"TIT2", id3_latin1("Ext")}}, {.major = major, .extended_header = true}));
        EXPECT_EQ(t.title, "Ext") << "version 2." << major;
    }
}

TEST(Mp3Reader, BrokenTagsKeepWhatCameBefore)
{
    // A frame that claims more than its tag holds ends the frames.
    Bytes tag = id3v2_tag({{"TIT2", id3_latin1("Kept")}, {"TPE1", id3_latin1("Lost")}});
    tag[10 + 10 + 5 + 4 + 3] = 0x7f; // the second frame's size
    const Mp3Tags broken = parse(concat({tag, mpeg_frames(1)}));
    EXPECT_EQ(broken.title, "Kept");
    EXPECT_FALSE(broken.artist);
    EXPECT_EQ(broken.problem, "ID3v2 frame larger than its tag at byte 25");
    EXPECT_EQ(parse(with_frames({{"TIT2", id3_latin1("Fine")}})).problem, "");
    // A tag cut short by the end of the file.
    Bytes cut = id3v2_tag({{"TIT2", id3_latin1("Whole title")}, {"TALB", id3_latin1("Album")}});
    cut.resize(cut.size() - 3);
    const Mp3Tags t = parse(cut);
    EXPECT_EQ(t.title, "Whole title");
    EXPECT_FALSE(t.album);
    EXPECT_NE(t.problem, "");
    // Sizes of zero and of the whole 28-bit range.
    for (int64_t declared : {0, 0x0fffffff}) {
        Id3v2Options o;
        o.declared_size = declared;
        parse(concat({id3v2_tag({{"TIT2", id3_latin1("x")}}, o), mpeg_frames(1)}));
    }
}

TEST(Mp3Reader, SecondTagAndPictureOffset)
{
    const Bytes first = id3v2_tag({{"TIT2", id3_latin1("First")}, {"APIC", Bytes(50, 7)}});
    const Bytes second = id3v2_tag({{"TPE1", id3_latin1("Second")}});
    const Mp3Tags t = parse(concat({first, second, mpeg_frames(2)}));
    EXPECT_EQ(t.title, "First");
    EXPECT_EQ(t.artist, "Second");
    // Header 10, TIT2 frame 10 + 6, APIC header 10.
    EXPECT_EQ(t.album_art, 10 + 16 + 10);
}

TEST(Mp3Reader, TagsOfAnySizeAreReadWhole)
{
    // Covers of today's sizes, before the other frames; beyond 64 KiB the
    // read buffer grows while the frames are walked.
    for (size_t cover : {size_t{99000}, size_t{300000}, size_t{1048576}}) {
        const Bytes tag = id3v2_tag({{"TIT2", id3_latin1("Song")},
                                     {"APIC", Bytes(cover, 0xff)},
                                     {"TPE1", id3_utf16(u"Beyonc\u00e9", true)},
                                     {"TALB", id3_latin1("Album")},
                                     {"TRCK", id3_latin1("4/9")}});
        const Mp3Tags t = parse(concat({tag, mpeg_frames(4)}));
        EXPECT_EQ(t.title, "Song") << cover;
        EXPECT_EQ(t.artist, "Beyonc\u00e9") << cover;
        EXPECT_EQ(t.album, "Album") << cover;
        EXPECT_EQ(t.track, 4) << cover;
        EXPECT_EQ(t.album_art, 10 + 10 + 5 + 10) << cover;
        EXPECT_EQ(t.duration, "0:00:00.104") << "the frames after the tag, " << cover;
        EXPECT_EQ(t.problem, "") << cover;
    }
}

TEST(Mp3Reader, Version24FramesAndFlags)
{
    // Synchsafe sizes: a comment of 200 bytes does not end the tag.
    Bytes comment = {3, 'e', 'n', 'g', 0};
    comment.resize(200, 'c');
    Bytes utf16_artist = id3_utf16(u"Beyonc\u00e9", true); // starts 1 FF FE
    Bytes album = {0, 0, 0, 6};                            // data length indicator
    const Bytes album_text = id3_utf8("Caf\u00e9");
    album.insert(album.end(), album_text.begin(), album_text.end());
    const Mp3Tags t = parse(concat({tag24({{"COMM", comment},
                                           {"TIT2", id3_utf8("\u0395\u03bb\u03ad\u03bd\u03b7")},
                                           {"TPE1", unsynchronised(utf16_artist), 0x02},
                                           {"TALB", album, 0x01},
                                           {"TRCK", id3_latin1("9"), 0x08}, // compressed
                                           {"TDRC", id3_latin1("2019-03-04T10:00")},
                                           {"TDOR", id3_latin1("1975")}}),
                                    mpeg_frames(2)}));
    EXPECT_EQ(t.title, "\u0395\u03bb\u03ad\u03bd\u03b7");
    EXPECT_EQ(t.artist, "Beyonc\u00e9");
    EXPECT_EQ(t.album, "Caf\u00e9");
    EXPECT_EQ(t.track, 0) << "a compressed frame is skipped";
    EXPECT_EQ(t.date, "2019-01-01");
    EXPECT_EQ(t.problem, "");
    // Sizes written as plain numbers by tools that got 2.4 wrong: 256 is
    // 0 0 1 0, which read as synchsafe is 128.
    Bytes long_comment = comment;
    long_comment.resize(256, 'c');
    Bytes plain = tag24({{"COMM", long_comment}, {"TIT2", id3_latin1("Plain")}});
    plain[10 + 4 + 2] = 1;
    plain[10 + 4 + 3] = 0;
    EXPECT_EQ(parse(concat({plain, mpeg_frames(1)})).title, "Plain");
    EXPECT_EQ(parse(concat({tag24({{"TDOR", id3_latin1("1975-05")}}), mpeg_frames(1)})).date,
              "1975-01-01")
        << "the original date stands in for a missing recording date";

    // Unsynchronised as a whole: in 2.4 every frame, in 2.3 the tag body
    // with its frame headers.
    const Bytes whole24 = tag24({{"TIT2", unsynchronised(id3_utf16(u"\u00ff\u00ff", false))},
                                 {"TPE1", unsynchronised(utf16_artist)}},
                                0x80);
    EXPECT_EQ(parse(concat({whole24, mpeg_frames(1)})).artist, "Beyonc\u00e9");
    EXPECT_EQ(parse(concat({whole24, mpeg_frames(1)})).title, "\u00ff\u00ff");
    Bytes tag23 =
        id3v2_tag({{"TIT2", id3_utf16(u"\u00ffCaf\u00e9", true)}, {"TPE1", id3_latin1("Band")}});
    const Bytes body = unsynchronised(Bytes(tag23.begin() + 10, tag23.end()));
    Bytes header23(tag23.begin(), tag23.begin() + 6);
    header23[5] = 0x80;
    put_synchsafe(header23, static_cast<uint32_t>(body.size()));
    const Mp3Tags t23 = parse(concat({header23, body, mpeg_frames(1)}));
    EXPECT_EQ(t23.title, "\u00ffCaf\u00e9");
    EXPECT_EQ(t23.artist, "Band");

    // A 2.3 extended header is skipped too.
    const Mp3Tags ext = parse(with_frames({{"TIT2", id3_utf16(u"\u6771\u4eac", false)}},
                                          {.major = 3, .extended_header = true}));
    EXPECT_EQ(ext.title, "\u6771\u4eac");
}

TEST(Mp3Reader, GenreReferencesAndRefinements)
{
    struct Row {
        std::string text;
        std::optional<std::string> genre;
    };
    const Row rows[] = {{"(RX)", "Remix"},
                        {"(CR)", "Cover"},
                        {"RX", "Remix"},
                        {"(17)", "Rock"},
                        {"(17)Rock", "Rock"},
                        {"(17)Hard", "Rock"},
                        {"17", "Rock"},
                        {"(999)Own", "Own"},
                        {"((Bracketed)", "(Bracketed)"},
                        {std::string("Jazz\0Pop", 8), "Jazz"},
                        {"2 Tone", "2 Tone"}};
    for (const Row& row : rows) {
        EXPECT_EQ(genre_from_id3(row.text.substr(0, row.text.find('\0'))), row.genre) << row.text;
        EXPECT_EQ(parse(concat({tag24({{"TCON", id3_latin1(row.text)}}), mpeg_frames(1)})).genre,
                  row.genre)
            << row.text;
    }
}

TEST(Mp3Reader, Id3v1TextIsUtf8OrLatin1)
{
    const Mp3Tags t = parse(concat(
        {mpeg_frames(1), id3v1_tag("Caf\xe9 Cr\xe8me", "\u0414\u043e\u0440\u043e\u0433\u0430",
                                   "Bad \xc3", "2001", 1, 0)}));
    EXPECT_EQ(t.title, "Caf\u00e9 Cr\u00e8me");
    EXPECT_EQ(t.artist, "\u0414\u043e\u0440\u043e\u0433\u0430");
    EXPECT_EQ(t.album, "Bad \u00c3");
    EXPECT_EQ(id3_text_frame(Bytes{3, 'A', 0xc3, 'B'}), "A\ufffdB") << "repaired UTF-8";
    EXPECT_EQ(id3_text_frame(Bytes{2, 0x67, 0x71, 0x4e, 0xac}), "\u6771\u4eac");
    EXPECT_EQ(id3_text_frame(Bytes{1, 0xff, 0xfe, 0x3c, 0xd8, 0xb5, 0xdf}), "\U0001F3B5");
}

// An MPEG-2 Layer III frame of 32 kbit/s at 22050 Hz, mono, of 104 bytes,
// with the header that counts the frames at offset at.
Bytes mpeg2_frames(int count, const char* header = nullptr, size_t at = 13, uint32_t frames = 0)
{
    Bytes out;
    for (int i = 0; i < count; ++i) {
        const size_t start = out.size();
        out.insert(out.end(), {0xff, 0xf3, 0x40, 0xc0});
        out.resize(start + 104, 0);
        if (i == 0 && header) {
            memcpy(out.data() + start + at, header, 4);
            out[start + at + 7] = 1;
            for (int k = 0; k < 4; ++k) {
                out[start + at + (std::string_view(header) == "VBRI" ? 14 : 8) + k] =
                    static_cast<uint8_t>(frames >> (24 - 8 * k));
            }
        }
    }
    return out;
}

TEST(Mp3Reader, DurationsOfEveryMpegVersion)
{
    // 1000 frames of 576 samples at 22050 Hz: 26.122 s.
    const Mp3Tags xing = parse(mpeg2_frames(3, "Xing", 13, 1000));
    EXPECT_EQ(xing.duration, "0:00:26.122");
    EXPECT_EQ(xing.bitrate, 0);
    // "Info": the same count in a constant-bitrate file, which keeps its
    // bitrate.
    const Mp3Tags info = parse(mpeg2_frames(3, "Info", 13, 1000));
    EXPECT_EQ(info.duration, "0:00:26.122");
    EXPECT_EQ(info.bitrate, 32);
    const Mp3Tags vbri = parse(mpeg2_frames(3, "VBRI", 36, 1000));
    EXPECT_EQ(vbri.duration, "0:00:26.122");
    // No header: the audio bytes between the tags and the bitrate. 300 frames
    // of 104 bytes at 32 kbit/s are 7.8 s; the ID3 tags are no audio.
    const Mp3Tags plain = parse(concat({id3v2_tag({{"TIT2", id3_latin1("x")}}), mpeg2_frames(300),
                                        id3v1_tag("x", "", "", "", 0, 0)}));
    EXPECT_EQ(plain.duration, "0:00:07.800");
    EXPECT_EQ(plain.bitrate, 32);
    // Only MPEG-1 Layer III is the MP3 that players name by its profile;
    // these MPEG-2 frames are not.
    EXPECT_EQ(plain.audio_format, kAudioFormatUnknown);
    EXPECT_EQ(xing.audio_format, kAudioFormatUnknown);
    EXPECT_EQ(parse(mpeg_frames(3, 1000)).audio_format, kAudioFormatMp3);
    EXPECT_EQ(parse(mpeg_frames(1)).audio_format, kAudioFormatMp3);
}

using Mp3Add = DbTest;

TEST_F(Mp3Add, FileBecomesAMusicItem)
{
    db_create();
    const std::string path = dir.file("Artist - Song.mp3");
    ASSERT_TRUE(write_bytes(path, concat({id3v2_tag({{"TIT2", id3_latin1("Song")},
                                                     {"TPE1", id3_latin1("Artist")},
                                                     {"TRCK", id3_latin1("3")}}),
                                          mpeg_frames(10)})));
    EXPECT_EQ(mp3_add(path.c_str(), 1), DB_ADDED);
    const DbLock lock = db_lock();
    const DbItem* item = item_by_path(lock, path);
    ASSERT_TRUE(item);
    EXPECT_STREQ(item->title.get(), "Song");
    EXPECT_STREQ(item->artist.get(), "Artist");
    EXPECT_EQ(item->track, 3);
    EXPECT_EQ(item->compilation, 1);
    EXPECT_EQ(item->bitrate, 128);
    EXPECT_GT(item->size, 4000);
    EXPECT_GT(item->mtime, 0);
}

} // namespace
