#include "db/db_fixture.h"
#include "scan/flac_reader.h"
#include "scan/ogg_reader.h"
#include "scan/playlist_readers.h"
#include "scan/vorbis_comment.h"

#include <initializer_list>
#include <string>

namespace
{

std::string le32(uint32_t v)
{
    return {static_cast<char>(v), static_cast<char>(v >> 8), static_cast<char>(v >> 16),
            static_cast<char>(v >> 24)};
}

std::string be32(uint32_t v)
{
    return {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8),
            static_cast<char>(v)};
}

std::string comments(std::initializer_list<std::string> entries)
{
    std::string out = le32(4) + "test" + le32(static_cast<uint32_t>(entries.size()));
    for (const std::string& e : entries) {
        out += le32(static_cast<uint32_t>(e.size())) + e;
    }
    return out;
}

std::string picture_block(uint32_t type, const std::string& data)
{
    return be32(type) + be32(10) + "image/jpeg" + be32(0) + std::string(16, '\0') +
           be32(static_cast<uint32_t>(data.size())) + data;
}

std::string base64(const std::string& in)
{
    static const char* k = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (size_t i = 0; i < in.size(); i += 3) {
        uint32_t v = static_cast<uint8_t>(in[i]) << 16;
        if (i + 1 < in.size()) {
            v |= static_cast<uint8_t>(in[i + 1]) << 8;
        }
        if (i + 2 < in.size()) {
            v |= static_cast<uint8_t>(in[i + 2]);
        }
        out += k[v >> 18 & 63];
        out += k[v >> 12 & 63];
        out += i + 1 < in.size() ? k[v >> 6 & 63] : '=';
        out += i + 2 < in.size() ? k[v & 63] : '=';
    }
    return out;
}

std::string flac_block(uint8_t type, const std::string& body, bool last = false)
{
    const auto n = static_cast<uint32_t>(body.size());
    return std::string{static_cast<char>(type | (last ? 0x80 : 0)), static_cast<char>(n >> 16),
                       static_cast<char>(n >> 8), static_cast<char>(n)} +
           body;
}

// STREAMINFO of `samples` samples at `rate`, stereo, 16 bits.
std::string stream_info(uint32_t rate, uint64_t samples)
{
    std::string s(34, '\0');
    s[10] = static_cast<char>(rate >> 12);
    s[11] = static_cast<char>(rate >> 4);
    s[12] = static_cast<char>((rate & 0x0f) << 4 | 1 << 1); // 2 channels
    s[13] = static_cast<char>(15 << 4 | (samples >> 32 & 0x0f));
    s[14] = static_cast<char>(samples >> 24);
    s[15] = static_cast<char>(samples >> 16);
    s[16] = static_cast<char>(samples >> 8);
    s[17] = static_cast<char>(samples);
    return s;
}

// One Ogg page holding the given lacing of body (CRC left zero: the reader
// does not check it).
std::string ogg_page(uint32_t serial, int64_t granule, const std::string& body, bool ends_packet)
{
    std::string lacing;
    size_t left = body.size();
    while (left >= 255) {
        lacing += static_cast<char>(255);
        left -= 255;
    }
    if (ends_packet) {
        lacing += static_cast<char>(left);
    }
    std::string page = "OggS";
    page += '\0';
    page += '\0';
    page += le32(static_cast<uint32_t>(granule)) + le32(static_cast<uint32_t>(granule >> 32));
    page += le32(serial) + le32(0) + le32(0);
    page += static_cast<char>(lacing.size());
    return page + lacing + body;
}

class FlacOgg : public DbTest
{
protected:
    std::string put(const std::string& name, const std::string& bytes)
    {
        const std::string path = dir.file(name);
        write_text_file(path, bytes);
        return path;
    }
};

TEST_F(FlacOgg, FlacStreamInfoCommentsAndFrontCover)
{
    const std::string tags = comments({"title=Zwölf", "ALBUMARTIST=The Band", "ALBUM=Record",
                                       "GENRE=Jazz", "DATE=2019-05-01", "TRACKNUMBER=3/12",
                                       "COMPILATION=1", "TITLE=second title", "noequals"});
    const std::string flac = "ID3\x04" + std::string(5, '\0') + "\x02" + "xx" + "fLaC" +
                             flac_block(0, stream_info(44100, 110250)) + flac_block(1, "pad") +
                             flac_block(4, tags) + flac_block(6, picture_block(0, "back")) +
                             flac_block(6, picture_block(3, "front"), true) + "audio frames";
    const std::string path = put("a.flac", flac);
    const MusicTags t = flac_read_tags(path.c_str());
    EXPECT_EQ(t.problem, "");
    EXPECT_EQ(t.title, "Zwölf");
    EXPECT_EQ(t.artist, "The Band") << "the album artist stands in for a missing artist";
    EXPECT_EQ(t.album, "Record");
    EXPECT_EQ(t.genre, "Jazz");
    EXPECT_EQ(t.date, "2019-01-01");
    EXPECT_EQ(t.track, 3);
    EXPECT_TRUE(t.compilation);
    EXPECT_EQ(t.duration, "0:00:02.500");
    EXPECT_EQ(t.album_art, 1);
    EXPECT_EQ(t.size, static_cast<int64_t>(flac.size()));
    MusicPicture p;
    ASSERT_TRUE(flac_read_picture(path.c_str(), p));
    EXPECT_EQ(p.data, "front");
    EXPECT_EQ(p.mime, "image/jpeg");
}

TEST_F(FlacOgg, BrokenFlacKeepsWhatCameBeforeTheFault)
{
    const std::string info = "fLaC" + flac_block(0, stream_info(8000, 16000));
    // A comment block longer than the file, and a comment longer than its
    // block: neither is read beyond its bounds.
    const MusicTags past = flac_read_tags(put("past.flac", info + "\x04\x00\x10\x00"
                                                                  "abc")
                                              .c_str());
    EXPECT_EQ(past.duration, "0:00:02.000");
    EXPECT_FALSE(past.problem.empty());
    std::string inner = comments({"ARTIST=Kept", "TITLE=Lost"});
    inner[inner.size() - 14] = '\x7f'; // the length of the second comment
    const MusicTags cut =
        flac_read_tags(put("cut.flac", info + flac_block(4, inner, true)).c_str());
    EXPECT_EQ(cut.artist, "Kept");
    EXPECT_FALSE(cut.title);
    const MusicTags junk = flac_read_tags(put("junk.flac", "\xff\xd8 a JPEG").c_str());
    EXPECT_EQ(junk.problem, "not a FLAC file");
    MusicPicture p;
    EXPECT_FALSE(flac_read_picture(put("plain.flac", info + flac_block(1, "", true)).c_str(), p));
}

TEST_F(FlacOgg, VorbisCommentAcrossPagesAndDurationFromLastPage)
{
    std::string id = "\x01vorbis" + le32(0) + "\x02" + le32(44100) + std::string(13, '\0');
    const std::string comment =
        "\x03vorbis" +
        comments({"ARTIST=Artist", "TITLE=" + std::string(600, 't'), "TRACKNUMBER=7"}) + "\x01";
    std::string file = ogg_page(5, 0, id, true);
    // The comment packet runs over two pages; a page of another stream
    // stands between them.
    file += ogg_page(5, -1, comment.substr(0, 510), false);
    file += ogg_page(9, 0, "other", true);
    file += ogg_page(5, 0, comment.substr(510), true);
    file += ogg_page(5, 44100 * 3, "audio", true);
    file += ogg_page(9, 44100 * 60, "other", true);
    const MusicTags t = ogg_read_tags(put("v.ogg", file).c_str());
    EXPECT_EQ(t.problem, "");
    EXPECT_EQ(t.artist, "Artist");
    EXPECT_EQ(t.title, std::string(600, 't'));
    EXPECT_EQ(t.track, 7);
    EXPECT_EQ(t.duration, "0:00:03.000");
    EXPECT_EQ(t.album_art, 0);
}

TEST_F(FlacOgg, OpusDurationLessPreSkipAndPictureComment)
{
    const std::string head = std::string("OpusHead") + "\x01\x02" + "\x38\x01" + le32(44100) +
                             std::string(3, '\0'); // pre-skip 312
    const std::string cover = picture_block(3, std::string(300, '\xd8'));
    const std::string tags =
        "OpusTags" + comments({"TITLE=Opus", "ALBUMARTIST=Various", "ARTIST=Real", "DATE=1999",
                               "METADATA_BLOCK_PICTURE=" + base64(cover)});
    const std::string file = ogg_page(1, 0, head, true) + ogg_page(1, 0, tags, true) +
                             ogg_page(1, 48000 * 2 + 312, "audio", true);
    const std::string path = put("o.opus", file);
    const MusicTags t = ogg_read_tags(path.c_str());
    EXPECT_EQ(t.title, "Opus");
    EXPECT_EQ(t.artist, "Real") << "the track's artist wins over an earlier album artist";
    EXPECT_EQ(t.date, "1999-01-01");
    EXPECT_EQ(t.duration, "0:00:02.000");
    EXPECT_EQ(t.album_art, 1);
    MusicPicture p;
    ASSERT_TRUE(ogg_read_picture(path.c_str(), p));
    EXPECT_EQ(p.data, std::string(300, '\xd8'));
    // Cut inside the comment header: still a track, with no tags.
    const MusicTags cut = ogg_read_tags(put("cut.opus", file.substr(0, 60)).c_str());
    EXPECT_FALSE(cut.title);
    EXPECT_FALSE(cut.problem.empty());
}

TEST(PictureBlocks, LengthsAndBase64AreChecked)
{
    std::string out;
    EXPECT_TRUE(music_base64_decode("aGk=", out));
    EXPECT_EQ(out, "hi");
    EXPECT_FALSE(music_base64_decode("aG!k", out));
    EXPECT_FALSE(music_base64_decode("aG=k", out));
    MusicPicture p;
    const std::string block = picture_block(3, "data");
    EXPECT_TRUE(
        music_picture_parse(reinterpret_cast<const uint8_t*>(block.data()), block.size(), p));
    EXPECT_FALSE(
        music_picture_parse(reinterpret_cast<const uint8_t*>(block.data()), block.size() - 1, p));
}

// A playlist entry of these kinds is read by its own reader, not taken for
// an MP3.
TEST_F(FlacOgg, PlaylistEntriesGoToTheirReaders)
{
    db_create();
    const std::string flac =
        put("f.flac", "fLaC" + flac_block(4, comments({"TITLE=Comment Title"}), true));
    const std::string list = put("l.m3u", "f.flac\n");
    m3u_read(list.c_str(), 0);
    const DbLock lock = db_lock();
    const DbItem* item = item_by_path(lock, flac);
    ASSERT_NE(item, nullptr);
    EXPECT_EQ(db_text_of(item->title), "Comment Title");
}

} // namespace
