#include "db/db_fixture.h"
#include "db/db_internal.h"
#include "scan/wav_reader.h"
#include "scan/wma_reader.h"
#include "wma_writer.h"

namespace
{

MusicTags parse(const Bytes& b, int64_t file_size = 0)
{
    return wma_parse(b.data(), b.size(), file_size ? file_size : static_cast<int64_t>(b.size()));
}

TEST(WmaReader, ContentDescriptionAtOnceOrSearched)
{
    for (bool first : {true, false}) {
        const MusicTags t = parse(wma_file("Blue Song", "Some Band", {}, first));
        EXPECT_EQ(t.title.value_or("-"), "Blue Song") << first;
        EXPECT_EQ(t.artist.value_or("-"), "Some Band") << first;
    }
    // Not ASF at all: nothing.
    Bytes other = wma_file("T", "A", {});
    other[0] = 0x31;
    EXPECT_FALSE(parse(other).title);
}

TEST(WmaReader, DescriptorsGiveAlbumGenreYearTrackAndPicture)
{
    const MusicTags t = parse(wma_file("T", "A",
                                       {{"WM/AlbumTitle", 0, utf16("Kind Of Blue")},
                                        {"WM/Genre", 0, utf16("Jazz")},
                                        {"WM/Year", 0, utf16("98")},
                                        {"WM/Picture", 1, Bytes(20, 7)},
                                        {"WM/TrackNumber", 3, dword(7)}}));
    EXPECT_EQ(t.album.value_or("-"), "Kind Of Blue");
    EXPECT_EQ(t.genre.value_or("-"), "Jazz");
    EXPECT_EQ(t.date.value_or("-"), "1998-01-01");
    EXPECT_EQ(t.album_art, 1);
    EXPECT_EQ(t.track, 7);

    struct Year {
        const char* text;
        const char* date;
    };
    for (const Year& y : {Year{"05", "2005-01-01"}, Year{"2003", "2003-01-01"}}) {
        EXPECT_EQ(parse(wma_file("T", "A", {{"WM/Year", 0, utf16(y.text)}})).date.value_or("-"),
                  y.date);
    }
    // The original release year wins over the year, in either order.
    EXPECT_EQ(parse(wma_file("T", "A",
                             {{"WM/OriginalReleaseYear", 0, utf16("1959")},
                              {"WM/Year", 0, utf16("1997")}}))
                  .date.value_or("-"),
              "1959-01-01");
    // "WM/Track" counts from 0, and only stands in for a missing track number.
    EXPECT_EQ(parse(wma_file("T", "A", {{"WM/Track", 0, utf16("4")}})).track, 5);
    EXPECT_EQ(
        parse(wma_file("T", "A", {{"WM/Track", 3, dword(4)}, {"WM/TrackNumber", 0, utf16("9")}}))
            .track,
        9);
    // A year without digits gives no date.
    EXPECT_FALSE(parse(wma_file("T", "A", {{"WM/Year", 0, utf16("n/a")}})).date);
}

TEST(WmaReader, PlayingTimeInMinutes)
{
    const Bytes b = wma_file("T", "A", {});
    size_t tag = 0;
    for (size_t i = 4; i + 1 < b.size(); ++i) {
        if (b[i] == 97 && b[i + 1] == 1) {
            tag = i;
            break;
        }
    }
    ASSERT_GT(tag, 0u);
    // 75 minutes at 16000 bytes per second, plus the two seconds the
    // formula takes off.
    const int64_t size = static_cast<int64_t>(tag) + 10 + 17 + (4500 + 2) * 16000LL;
    EXPECT_EQ(parse(b, size).duration.value_or("-"), "0:75:00.000");
    EXPECT_FALSE(parse(b, 100).duration);
}

// UTF-16LE with its terminator, for characters beyond Latin-1.
Bytes utf16le(const std::u16string& text)
{
    Bytes b;
    for (char16_t c : text) {
        put16(b, c);
    }
    put16(b, 0);
    return b;
}

// A file properties object: play duration in 100 ns units, preroll in ms.
Bytes file_properties(uint64_t play, uint64_t preroll)
{
    Bytes b = {0xA1, 0xDC, 0xAB, 0x8C, 0x47, 0xA9, 0xCF, 0x11,
               0x8E, 0xE4, 0x00, 0xC0, 0x0C, 0x20, 0x53, 0x65};
    b.resize(64, 0);
    b[16] = 104;
    for (uint64_t v : {play, uint64_t{0}, preroll}) {
        put32(b, static_cast<uint32_t>(v));
        put32(b, static_cast<uint32_t>(v >> 32));
    }
    b.resize(104, 0);
    return b;
}

TEST(WmaReader, TextsAsUtf8AndTheFilesOwnPreroll)
{
    const Bytes b =
        concat({wma_file("Caf\xe9 Cr\xe8me", "Beyonc\xe9",
                         {{"WM/AlbumTitle", 0, utf16le(u"\u0414\u043e\u0440\u043e\u0433\u0430")},
                          {"WM/Genre", 0, utf16le(u"\U0001F3B5")}}),
                file_properties((95 * 1000 + 3100) * 10000ULL, 3100)});
    const MusicTags t = parse(b);
    EXPECT_EQ(t.title.value_or("-"), "Caf\u00e9 Cr\u00e8me");
    EXPECT_EQ(t.artist.value_or("-"), "Beyonc\u00e9");
    EXPECT_EQ(t.album.value_or("-"), "\u0414\u043e\u0440\u043e\u0433\u0430");
    EXPECT_EQ(t.genre.value_or("-"), "\U0001F3B5");
    EXPECT_EQ(t.duration.value_or("-"), "0:01:35.000") << "the play duration less the preroll";
}

TEST(WmaReader, ListsFoundWithoutTheEncoderNameAndBrokenLists)
{
    // No WMFSDK: the first "WM/" whose stored length fits starts the list.
    MusicTags t = parse(
        wma_file("T", "A", {{"WM/AlbumTitle", 0, utf16("Found")}, {"WM/Genre", 0, utf16("Pop")}},
                 true, false));
    EXPECT_EQ(t.album.value_or("-"), "Found");
    EXPECT_EQ(t.genre.value_or("-"), "Pop");

    // A name longer than 100 bytes breaks the list; album and genre are
    // then searched for by name before that point.
    Bytes broken = wma_file("T", "A",
                            {{"WM/AlbumTitle", 0, utf16("Rescued Album")},
                             {"WM/Genre", 0, utf16("Blues")},
                             {std::string(60, 'x'), 0, utf16("v")},
                             {"WM/TrackNumber", 0, utf16("3")}});
    t = parse(broken);
    EXPECT_EQ(t.album.value_or("-"), "Rescued Album");
    EXPECT_EQ(t.genre.value_or("-"), "Blues");
    EXPECT_EQ(t.track, 0) << "after the break";

    // Counts and lengths beyond the data end the walk without reading on.
    Bytes cut = wma_file("T", "A", {{"WM/AlbumTitle", 0, utf16(std::string(300, 'a'))}});
    cut.resize(cut.size() - 64 - 200);
    EXPECT_FALSE(parse(cut).album);
}

TEST_F(DbTest, WavAndWmaFilesBecomeTracks)
{
    db_create();
    struct Name {
        const char* file;
        const char* genre;
        const char* artist;
        const char* album;
        int track;
        const char* title;
    };
    for (const Name& n : {Name{"Live_03_Intro.wav", "", "", "Live", 3, "Intro"},
                          Name{"a_b_c_d_e_f.wav", "A", "B", "C", 0, "E_f"},
                          Name{"Jazz_Dozid Dazuv_Kind Of Blue_01_So What.m4a", "Jazz",
                               "Dozid Dazuv", "Kind Of Blue", 1, "So What"}}) {
        const std::string path = file(n.file);
        EXPECT_EQ(wav_add(path.c_str(), 0), DB_ADDED) << n.file;
        const DbLock lock = db_lock();
        const DbItem* item = item_by_path(lock, path);
        ASSERT_NE(item, nullptr) << n.file;
        EXPECT_EQ(db_text_of(item->title), n.title);
        EXPECT_EQ(db_text_of(item->album), n.album);
        EXPECT_EQ(db_text_of(item->artist), n.artist);
        EXPECT_EQ(db_text_of(item->genre), n.genre);
        EXPECT_EQ(item->track, n.track);
    }

    // Too short to be ASF: still a track, named after the file.
    const std::string tiny = dir.file("x.wma");
    write_text_file(tiny, std::string(40, 'z'));
    EXPECT_EQ(wma_add(tiny.c_str(), 0), DB_ADDED);
    const std::string full = dir.file("full.wma");
    const Bytes b = wma_file("Real Title", "Real Artist", {{"WM/Picture", 1, Bytes(8, 1)}});
    write_text_file(full, std::string(b.begin(), b.end()));
    EXPECT_EQ(wma_add(full.c_str(), 0), DB_ADDED);
    const DbLock lock = db_lock();
    const DbItem* item = item_by_path(lock, tiny);
    ASSERT_NE(item, nullptr);
    EXPECT_EQ(db_text_of(item->title), "X");
    EXPECT_TRUE(item->artist.empty());
    item = item_by_path(lock, full);
    ASSERT_NE(item, nullptr);
    EXPECT_EQ(db_text_of(item->title), "Real Title");
    EXPECT_EQ(item->album_art, 1);
    EXPECT_EQ(item->size, static_cast<int64_t>(b.size()));
}

} // namespace
