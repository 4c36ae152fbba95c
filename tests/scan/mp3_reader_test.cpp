#include "core/settings.h"
#include "db/db_fixture.h"
#include "mp3_writer.h"
#include "scan/genres.h"
#include "scan/mp3_reader.h"

namespace
{

// Parses bytes as a whole file held in memory.
Mp3Tags parse(const Bytes& file)
{
    Mp3Source source;
    source.data = file;
    source.file_size = static_cast<int64_t>(file.size());
    std::span<const uint8_t> tail;
    if (file.size() >= 128) {
        tail = std::span(file).subspan(file.size() - 128);
    }
    return mp3_parse(source, tail);
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
    EXPECT_EQ(parse(with_frames({{"TIT2", id3_utf16(u"Caf\u00e9 ", true)}})).title, "Caf?")
        << "non-ASCII becomes '?', trailing blanks go";
    EXPECT_EQ(id3_text_frame(Bytes{2, 0, 'H', 0, 'i'}), "Hi") << "UTF-16 big-endian, no mark";
    EXPECT_EQ(id3_text_frame(Bytes{1, 0xff, 0xfe, 'O', 0, 'k'}), "O")
        << "an odd last byte is no character";
    EXPECT_EQ(id3_text_frame(Bytes{0, 'a', 0xe9, 0, 'z'}), "a\xe9") << "Latin-1 kept as it is";
    EXPECT_FALSE(id3_text_frame(Bytes{7, 'x'}));
    EXPECT_FALSE(id3_text_frame(Bytes(1025, 'x')));
}

TEST(Mp3Reader, DurationsFromFrames)
{
    // Xing: 1000 frames at 44100 Hz are 1000 * 1152 / 44 ms, and the bitrate
    // is variable.
    const Mp3Tags vbr = parse(mpeg_frames(3, 1000));
    EXPECT_EQ(vbr.duration, "0:00:26.181");
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
