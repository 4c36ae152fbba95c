#include "delivery/albumart_handler.h"
#include "delivery/art_encode.h"
#include "delivery/jpeg_decode.h"
#include "delivery/picture_slots.h"
#include "delivery_fixture.h"
#include "mp3_writer.h"
#include "support/jpeg_files.h"
#include "wma_writer.h"

#include <png.h>
#include <unistd.h>

namespace
{

void append_bytes(Bytes& to, const Bytes& more)
{
    to.insert(to.end(), more.begin(), more.end());
}

class AlbumArt : public DeliveryTest
{
protected:
    std::string music(const std::string& name, const Bytes& bytes)
    {
        const std::string path = file(name);
        write_bytes(path, bytes);
        return add_item(path);
    }
};

const Bytes kJpeg = {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10, 'J',  'F',
                     'I',  'F',  0,    1,    2,    3,    0xFF, 0xD9};

// APIC data: text encoding, MIME type, picture type, description, picture.
Bytes apic(const Bytes& picture)
{
    Bytes b = {0};
    for (char c : std::string("image/jpeg")) {
        b.push_back(static_cast<uint8_t>(c));
    }
    b.insert(b.end(), {0, 3, 'x', 0});
    b.insert(b.end(), picture.begin(), picture.end());
    return b;
}

TEST_F(AlbumArt, Mp3PictureFromApicOrPic)
{
    // The identifier of the frame straddles the first two 1019-byte reads.
    const Bytes filler(997, 'p');
    const std::string split =
        music("split.mp3",
              concat({id3v2_tag({{"PRIV", filler}, {"APIC", apic(kJpeg)}}), mpeg_frames(3)}));
    const std::string old =
        music("old.mp3", concat({id3v2_tag({{"PIC", apic(kJpeg)}}, {.major = 2}), mpeg_frames(3)}));
    for (const std::string& id : {split, old}) {
        Answer a = fetch(albumart_mp3_handler, "/albumart-mp3/" + id + ".jpg");
        EXPECT_EQ(a.status, 200) << id;
        EXPECT_TRUE(has_line(a, "Content-Type: image/jpeg"));
        EXPECT_EQ(a.body, std::string(kJpeg.begin(), kJpeg.end())) << id;
        EXPECT_NE(last_result, 0) << "the connection is closed after album art";
    }
    Answer head = fetch(albumart_mp3_handler, "/albumart-mp3/" + split + ".jpg", "", HTTP_HEAD);
    EXPECT_EQ(head.status, 200);
    EXPECT_TRUE(has_line(head, "Content-Length: " + std::to_string(kJpeg.size())));
    EXPECT_EQ(head.body, "");
}

TEST_F(AlbumArt, FilesOutsideTheContentDirectoriesAreNotRead)
{
    const Bytes song = concat({id3v2_tag({{"APIC", apic(kJpeg)}}), mpeg_frames(3)});
    TempDir elsewhere;
    const std::string outside = elsewhere.file("private.mp3");
    write_bytes(outside, song);
    const std::string direct = add_item(outside);
    const std::string swapped = music("swapped.mp3", song);
    const std::string link_path = file("swapped.mp3");
    std::remove(link_path.c_str());
    ASSERT_EQ(symlink(outside.c_str(), link_path.c_str()), 0);
    for (const std::string& id : {direct, swapped}) {
        EXPECT_EQ(fetch(albumart_mp3_handler, "/albumart-mp3/" + id + ".jpg").status, 404) << id;
    }
}

TEST_F(AlbumArt, Mp3WithoutJfifPictureOrItem)
{
    Bytes exif = kJpeg;
    exif[3] = 0xE1;
    const std::string id =
        music("exif.mp3", concat({id3v2_tag({{"APIC", apic(exif)}}), mpeg_frames(3)}));
    EXPECT_EQ(fetch(albumart_mp3_handler, "/albumart-mp3/" + id + ".jpg").status, 404);
    // Only the start of a file is searched: a frame beyond 16 MiB is not
    // looked for.
    Bytes late(17 * 1024 * 1024, 0);
    const Bytes frame = id3v2_tag({{"APIC", apic(kJpeg)}});
    late.insert(late.end(), frame.begin(), frame.end());
    EXPECT_EQ(
        fetch(albumart_mp3_handler, "/albumart-mp3/" + music("late.mp3", late) + ".jpg").status,
        404);
    const std::string bare = music("bare.mp3", mpeg_frames(3));
    EXPECT_EQ(fetch(albumart_mp3_handler, "/albumart-mp3/" + bare + ".jpg").status, 404);
    std::string all_tracks;
    {
        const DbLock lock = db_lock();
        all_tracks = std::to_string(g_db.all_tracks->id);
    }
    EXPECT_EQ(fetch(albumart_mp3_handler, "/albumart-mp3/" + all_tracks + ".jpg").status, 404)
        << "a container without art has none";
}

TEST_F(AlbumArt, FrameLargerThanTheFileSendsWhatTheFileHolds)
{
    // The tag claims a frame far beyond the end of the file.
    Bytes tag = id3v2_tag({{"APIC", apic(kJpeg)}});
    const size_t size_at = 10 + 4;
    tag[size_at] = 0x7F;
    tag[size_at + 1] = tag[size_at + 2] = tag[size_at + 3] = 0xFF;
    const Bytes file_bytes = concat({tag, mpeg_frames(1)});
    const std::string id = music("huge.mp3", file_bytes);
    Answer a = fetch(albumart_mp3_handler, "/albumart-mp3/" + id + ".jpg");
    ASSERT_EQ(a.status, 200);
    const size_t jpeg_at = 10 + 10 + apic({}).size();
    EXPECT_EQ(a.body.size(), file_bytes.size() - jpeg_at);
    EXPECT_TRUE(has_line(a, "Content-Length: " + std::to_string(file_bytes.size() - jpeg_at)));
}

TEST_F(AlbumArt, WmaPictureOnlyInTheEncodersList)
{
    // The value as encoders store it: type, length, MIME type, description.
    Bytes value = {3};
    put32(value, static_cast<uint32_t>(kJpeg.size()));
    append_bytes(value, utf16("image/jpeg"));
    append_bytes(value, utf16("Front"));
    append_bytes(value, kJpeg);
    const std::string id = music(
        "art.wma", wma_file("T", "A", {{"WM/Genre", 0, utf16("Pop")}, {"WM/Picture", 1, value}}));
    Answer a = fetch(albumart_wma_handler, "/albumart-wma/" + id + ".jpg");
    EXPECT_EQ(a.status, 200);
    EXPECT_EQ(a.body, std::string(kJpeg.begin(), kJpeg.end()));
    Answer head = fetch(albumart_wma_handler, "/albumart-wma/" + id + ".jpg", "", HTTP_HEAD);
    EXPECT_TRUE(has_line(head, "Content-Length: " + std::to_string(kJpeg.size())));
    EXPECT_EQ(head.body, "");

    // A value of another shape is sent as it is stored.
    const Bytes picture = {2, 3, 1, 4, 5, 9, 2, 6};
    const std::string raw_id = music("raw.wma", wma_file("T", "A", {{"WM/Picture", 1, picture}}));
    EXPECT_EQ(fetch(albumart_wma_handler, "/albumart-wma/" + raw_id + ".jpg").body,
              std::string(picture.begin(), picture.end()));

    // Without WMFSDK the picture is not looked for: no answer at all.
    const std::string plain =
        music("plain.wma", wma_file("T", "A", {{"WM/Picture", 1, picture}}, true, false));
    Answer none = fetch(albumart_wma_handler, "/albumart-wma/" + plain + ".jpg");
    EXPECT_EQ(none.status, 0);
    EXPECT_EQ(none.head, "");
    EXPECT_NE(last_result, 0);
    EXPECT_EQ(fetch(albumart_wma_handler, "/albumart-wma/999999.jpg").status, 404);
}

} // namespace

namespace
{

Bytes be32_bytes(uint32_t v)
{
    return {static_cast<uint8_t>(v >> 24), static_cast<uint8_t>(v >> 16),
            static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)};
}

Bytes text_of(const std::string& s)
{
    return Bytes(s.begin(), s.end());
}

// A FLAC metadata block: last flag and type, 24-bit length, body.
Bytes flac_block(int type, const Bytes& body, bool last)
{
    Bytes b = {static_cast<uint8_t>(type | (last ? 0x80 : 0)),
               static_cast<uint8_t>(body.size() >> 16), static_cast<uint8_t>(body.size() >> 8),
               static_cast<uint8_t>(body.size())};
    append_bytes(b, body);
    return b;
}

Bytes flac_picture_body(uint32_t type, const std::string& mime, const Bytes& picture)
{
    return concat({be32_bytes(type), be32_bytes(static_cast<uint32_t>(mime.size())), text_of(mime),
                   be32_bytes(4), text_of("Desc"), Bytes(16, 0),
                   be32_bytes(static_cast<uint32_t>(picture.size())), picture});
}

Bytes mp4_atom(const std::string& type, const Bytes& body)
{
    return concat({be32_bytes(static_cast<uint32_t>(body.size() + 8)), text_of(type), body});
}

const Bytes kPng = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n', 1, 2, 3};

TEST_F(AlbumArt, FlacFrontCoverAfterOtherBlocksAndPictures)
{
    const Bytes streaminfo(34, 0);
    // A back-cover PNG comes first; the front cover is the one sent.
    const Bytes flac =
        concat({text_of("fLaC"), flac_block(0, streaminfo, false),
                flac_block(6, flac_picture_body(4, "image/png", kPng), false),
                flac_block(6, flac_picture_body(3, "image/jpeg", kJpeg), true), Bytes(64, 0)});
    Answer a = fetch(albumart_handler, "/albumart-flac/" + music("a.flac", flac) + ".jpg");
    EXPECT_EQ(a.status, 200);
    EXPECT_TRUE(has_line(a, "Content-Type: image/jpeg"));
    EXPECT_EQ(a.body, std::string(kJpeg.begin(), kJpeg.end()));

    // Only a PNG, behind an ID3v2 tag: sent as a PNG.
    const Bytes png_only = concat({id3v2_tag({{"TIT2", id3_latin1("x")}}), text_of("fLaC"),
                                   flac_block(6, flac_picture_body(0, "image/png", kPng), true)});
    Answer p = fetch(albumart_handler, "/albumart-flac/" + music("p.flac", png_only) + ".jpg");
    EXPECT_EQ(p.status, 200);
    EXPECT_TRUE(has_line(p, "Content-Type: image/png"));
    EXPECT_EQ(p.body, std::string(kPng.begin(), kPng.end()));

    // A picture length beyond its block is no picture.
    Bytes lying = flac_picture_body(3, "image/jpeg", kJpeg);
    lying[lying.size() - kJpeg.size() - 2] = 0x7F;
    const Bytes broken = concat({text_of("fLaC"), flac_block(6, lying, true)});
    EXPECT_EQ(fetch(albumart_handler, "/albumart-flac/" + music("b.flac", broken) + ".jpg").status,
              404);
}

TEST_F(AlbumArt, Mp4CoverInsideTheMetadataAtoms)
{
    const Bytes data = concat({be32_bytes(13), be32_bytes(0), kJpeg});
    const Bytes ilst = mp4_atom(
        "ilst", concat({mp4_atom("\xA9nam", mp4_atom("data", concat({be32_bytes(1), be32_bytes(0),
                                                                     text_of("Title")}))),
                        mp4_atom("covr", mp4_atom("data", data))}));
    const Bytes meta =
        mp4_atom("meta", concat({Bytes(4, 0), mp4_atom("hdlr", Bytes(25, 0)), ilst}));
    const Bytes moov =
        mp4_atom("moov", concat({mp4_atom("mvhd", Bytes(100, 0)), mp4_atom("udta", meta)}));
    const Bytes m4a =
        concat({mp4_atom("ftyp", text_of("M4A mp42")), mp4_atom("mdat", Bytes(50, 7)), moov});
    Answer a = fetch(albumart_handler, "/albumart-m4a/" + music("a.m4a", m4a) + ".jpg");
    EXPECT_EQ(a.status, 200);
    EXPECT_EQ(a.body, std::string(kJpeg.begin(), kJpeg.end()));

    // A child that claims more than its parent holds ends the walk.
    Bytes cut = m4a;
    cut[cut.size() - moov.size() + 8 + 3] = 0xFF; // mvhd's size
    EXPECT_EQ(fetch(albumart_handler, "/albumart-m4a/" + music("cut.m4a", cut) + ".jpg").status,
              404);
}

Bytes le32_bytes(uint32_t v)
{
    return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
            static_cast<uint8_t>(v >> 24)};
}

// The pages of one logical stream holding the packets, at most 255 segments
// a page, so that a long packet runs over several pages. The checksum is
// left zero: the search does not check it.
Bytes ogg_stream(uint32_t serial, const std::vector<Bytes>& packets)
{
    Bytes lacing;
    Bytes data;
    for (const Bytes& packet : packets) {
        size_t left = packet.size();
        do {
            const size_t n = std::min<size_t>(left, 255);
            lacing.push_back(static_cast<uint8_t>(n));
            left -= n;
            if (n < 255) {
                break;
            }
        } while (true);
        append_bytes(data, packet);
    }
    Bytes out;
    size_t segment = 0;
    size_t at = 0;
    for (uint32_t page = 0; segment < lacing.size(); ++page) {
        const size_t count = std::min<size_t>(lacing.size() - segment, 255);
        Bytes h = concat({text_of("OggS"), Bytes(2, 0), Bytes(8, 0), le32_bytes(serial),
                          le32_bytes(page), Bytes(4, 0)});
        h.push_back(static_cast<uint8_t>(count));
        size_t length = 0;
        for (size_t i = 0; i < count; ++i) {
            h.push_back(lacing[segment + i]);
            length += lacing[segment + i];
        }
        append_bytes(out, h);
        out.insert(out.end(), data.begin() + static_cast<long>(at),
                   data.begin() + static_cast<long>(at + length));
        at += length;
        segment += count;
    }
    return out;
}

std::string base64(const Bytes& b)
{
    static const char* kAlphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (size_t i = 0; i < b.size(); i += 3) {
        const uint32_t v =
            b[i] << 16 | (i + 1 < b.size() ? b[i + 1] << 8 : 0) | (i + 2 < b.size() ? b[i + 2] : 0);
        out += kAlphabet[v >> 18 & 63];
        out += kAlphabet[v >> 12 & 63];
        out += i + 1 < b.size() ? kAlphabet[v >> 6 & 63] : '=';
        out += i + 2 < b.size() ? kAlphabet[v & 63] : '=';
    }
    return out;
}

Bytes comment(const std::string& text)
{
    return concat({le32_bytes(static_cast<uint32_t>(text.size())), text_of(text)});
}

TEST_F(AlbumArt, OggPictureCommentAcrossPages)
{
    // A long comment before the picture makes the comment header run over
    // several pages; the front cover wins over the earlier back cover.
    const std::string back = base64(flac_picture_body(4, "image/png", kPng));
    const std::string front = base64(flac_picture_body(3, "image/jpeg", kJpeg));
    const Bytes tags = concat({text_of("OpusTags"), comment("vendor"), le32_bytes(4),
                               comment("TITLE=" + std::string(70000, 't')),
                               comment("metadata_block_picture=" + back),
                               comment("METADATA_BLOCK_PICTURE=" + front), comment("ARTIST=A")});
    const Bytes opus = concat({ogg_stream(7, {concat({text_of("OpusHead"), Bytes(11, 1)}), tags}),
                               ogg_stream(7, {Bytes(40, 9)})});
    Answer a = fetch(albumart_handler, "/albumart-opus/" + music("a.opus", opus) + ".jpg");
    EXPECT_EQ(a.status, 200);
    EXPECT_TRUE(has_line(a, "Content-Length: " + std::to_string(kJpeg.size())));
    EXPECT_EQ(a.body, std::string(kJpeg.begin(), kJpeg.end()));

    // A Vorbis stream whose one picture is a PNG; and one whose picture
    // comment claims more than the packet holds.
    const Bytes vorbis_tags = concat({Bytes{3}, text_of("vorbis"), comment("v"), le32_bytes(1),
                                      comment("METADATA_BLOCK_PICTURE=" + back), Bytes{1}});
    const Bytes ogg = ogg_stream(
        1, {concat({Bytes{1}, text_of("vorbis"), Bytes(23, 0)}), vorbis_tags, Bytes(9, 0)});
    Answer p = fetch(albumart_handler, "/albumart-ogg/" + music("p.ogg", ogg) + ".jpg");
    EXPECT_TRUE(has_line(p, "Content-Type: image/png"));
    EXPECT_EQ(p.body, std::string(kPng.begin(), kPng.end()));
    Bytes lying = vorbis_tags;
    lying[7 + 5 + 4 + 2] = 0x7F; // the picture comment's length
    const Bytes broken = ogg_stream(1, {Bytes{1}, lying});
    EXPECT_EQ(fetch(albumart_handler, "/albumart-ogg/" + music("b.ogg", broken) + ".jpg").status,
              404);
}

TEST_F(AlbumArt, FolderCoverForTracksWithoutTheirOwn)
{
    const std::string own =
        music("own.mp3", concat({id3v2_tag({{"APIC", apic(kJpeg)}}), mpeg_frames(3)}));
    const std::string bare = music("bare.wav", Bytes(64, 0));
    const Bytes folder_picture = {0xFF, 0xD8, 0xFF, 0xE0, 9, 9, 0xFF, 0xD9};
    write_bytes(file("FOLDER.jpg"), folder_picture);
    write_bytes(file("AlbumArtSmall.png"), kPng);
    Answer embedded = fetch(albumart_handler, "/albumart-mp3/" + own + ".jpg");
    EXPECT_EQ(embedded.body, std::string(kJpeg.begin(), kJpeg.end()))
        << "the file's own picture goes before the folder's";
    Answer folder = fetch(albumart_handler, "/albumart-wav/" + bare + ".jpg");
    EXPECT_EQ(folder.status, 200);
    EXPECT_TRUE(has_line(folder, "Content-Type: image/jpeg"));
    EXPECT_EQ(folder.body, std::string(folder_picture.begin(), folder_picture.end()));

    std::remove(file("FOLDER.jpg").c_str());
    Answer png = fetch(albumart_handler, "/albumart-wav/" + bare + ".jpg");
    EXPECT_TRUE(has_line(png, "Content-Type: image/png"));
    std::remove(file("AlbumArtSmall.png").c_str());
    EXPECT_EQ(fetch(albumart_handler, "/albumart-wav/" + bare + ".jpg").status, 404);
}

// A real PNG picture of 4 x 2 opaque red pixels, as any tool writes one.
Bytes red_png()
{
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    image.width = 4;
    image.height = 2;
    image.format = PNG_FORMAT_RGB;
    const Bytes pixels = {255, 0, 0, 255, 0, 0, 255, 0, 0, 255, 0, 0,
                          255, 0, 0, 255, 0, 0, 255, 0, 0, 255, 0, 0};
    png_alloc_size_t size = 0;
    png_image_write_to_memory(&image, nullptr, &size, 0, pixels.data(), 0, nullptr);
    Bytes out(size);
    EXPECT_TRUE(png_image_write_to_memory(&image, out.data(), &size, 0, pixels.data(), 0, nullptr));
    out.resize(size);
    return out;
}

// Where the edition holds the picture codec, a PNG cover (embedded or beside
// the music) leaves as a JPEG, and a container shows the art of its first
// item that has some.
TEST_F(AlbumArt, PngCoversLeaveAsJpegAndContainersShowTheirFirstArt)
{
    albumart_set_reencoder(art_to_jpeg);
    const Bytes png = red_png();
    const Bytes flac = concat({text_of("fLaC"), flac_block(0, Bytes(34, 0), false),
                               flac_block(6, flac_picture_body(3, "image/png", png), true)});
    const std::string id = music("cover.flac", flac);
    Answer a = fetch(albumart_handler, "/albumart-flac/" + id + ".jpg");
    EXPECT_EQ(a.status, 200);
    EXPECT_TRUE(has_line(a, "Content-Type: image/jpeg"));
    ASSERT_GT(a.body.size(), 4u);
    EXPECT_EQ(a.body.substr(0, 2), "\xFF\xD8");
    EXPECT_TRUE(has_line(a, "Content-Length: " + std::to_string(a.body.size())));

    // A damaged PNG cannot be converted and goes as it is.
    Answer broken =
        fetch(albumart_handler,
              "/albumart-flac/" +
                  music("broken.flac",
                        concat({text_of("fLaC"),
                                flac_block(6, flac_picture_body(3, "image/png", kPng), true)})) +
                  ".jpg");
    EXPECT_TRUE(has_line(broken, "Content-Type: image/png"));

    const std::string bare = music("bare.wav", Bytes(64, 0));
    write_bytes(file("cover.PNG"), png);
    Answer folder = fetch(albumart_handler, "/albumart-wav/" + bare + ".jpg");
    EXPECT_TRUE(has_line(folder, "Content-Type: image/jpeg"));
    EXPECT_EQ(folder.body.substr(0, 2), "\xFF\xD8");
    albumart_set_reencoder(nullptr);

    // The tracks' container: items without art are passed over.
    {
        DbItemFields f;
        f.title = "With art";
        f.upnp_class = kClassMusicTrack;
        const std::string path = file("art.mp3");
        write_bytes(path, concat({id3v2_tag({{"APIC", apic(kJpeg)}}), mpeg_frames(3)}));
        f.path = path.c_str();
        f.album_art = 1;
        f.mtime = 1;
        ASSERT_NE(db_add_item(f), DB_ADD_FAILED);
    }
    std::string all_tracks;
    {
        const DbLock lock = db_lock();
        all_tracks = std::to_string(g_db.all_tracks->id);
    }
    Answer container = fetch(albumart_handler, "/albumart-mp3/" + all_tracks + ".jpg");
    EXPECT_EQ(container.status, 200);
    EXPECT_EQ(container.body, std::string(kJpeg.begin(), kJpeg.end()));
    // An id that is no number names no object, not the root (whose first
    // art this library has).
    for (const char* url : {"/albumart-x/_tn.jpg", "/albumart-/", "/albumart-mp3/ 1.jpg",
                            "/albumart-mp3/-1.jpg", "/albumart-mp3/.jpg"}) {
        EXPECT_EQ(fetch(albumart_handler, url).status, 404) << url;
    }
}

// Today's players are listed the thumbnail URL: a JPEG that fits 160 x 160,
// made from the embedded or the folder's picture, JPEG or PNG alike; the
// plain URL keeps the picture as it is stored.
TEST_F(AlbumArt, ThumbnailsFitTheSmallestProfile)
{
    albumart_set_reencoder(art_to_jpeg);
    const std::string big = make_jpeg(600, 400, [](int x, int y, uint8_t rgb[3]) {
        rgb[0] = static_cast<uint8_t>(x);
        rgb[1] = static_cast<uint8_t>(y);
        rgb[2] = 90;
    });
    const Bytes picture(big.begin(), big.end());
    const std::string id =
        music("big.mp3", concat({id3v2_tag({{"APIC", apic(picture)}}), mpeg_frames(3)}));
    Answer thumb = fetch(albumart_handler, "/albumart-mp3/" + id + "_tn.jpg");
    EXPECT_EQ(thumb.status, 200);
    EXPECT_TRUE(has_line(thumb, "Content-Type: image/jpeg"));
    DecodedJpeg small = decode_jpeg(thumb.body);
    ASSERT_TRUE(small.ok);
    EXPECT_EQ(small.width, 160);
    EXPECT_EQ(small.height, 106);
    EXPECT_EQ(fetch(albumart_handler, "/albumart-mp3/" + id + ".jpg").body, big)
        << "the full-size picture as stored";
    // A HEAD of the thumbnail announces the thumbnail's length.
    Answer head = fetch(albumart_handler, "/albumart-mp3/" + id + "_tn.jpg", "", HTTP_HEAD);
    EXPECT_TRUE(has_line(head, "Content-Length: " + std::to_string(thumb.body.size())));

    // A PNG cover of the folder, tall: fitted by its height.
    const std::string bare = music("bare.wav", Bytes(64, 0));
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    image.width = 200;
    image.height = 400;
    image.format = PNG_FORMAT_GRAY;
    const Bytes grey(200 * 400, 128);
    png_alloc_size_t size = 0;
    png_image_write_to_memory(&image, nullptr, &size, 0, grey.data(), 0, nullptr);
    Bytes png(size);
    ASSERT_TRUE(png_image_write_to_memory(&image, png.data(), &size, 0, grey.data(), 0, nullptr));
    png.resize(size);
    write_bytes(file("folder.png"), png);
    Answer folder = fetch(albumart_handler, "/albumart-wav/" + bare + "_tn.jpg");
    EXPECT_TRUE(has_line(folder, "Content-Type: image/jpeg"));
    small = decode_jpeg(folder.body);
    ASSERT_TRUE(small.ok);
    EXPECT_EQ(small.width, 80);
    EXPECT_EQ(small.height, 160);
    albumart_set_reencoder(nullptr);
}

// Records how many picture slots are held when a cover reaches re-encoding,
// and leaves the cover as it is.
std::atomic<int> g_slots_at_reencode{-1};

bool slot_recording_reencoder(const uint8_t*, size_t, int, std::vector<uint8_t>&)
{
    g_slots_at_reencode = picture_slots_in_use();
    return false;
}

// A cover is read into memory only inside a picture slot, one per request:
// many requests for a large cover then wait for the few slots holding
// nothing, instead of each holding the cover while it waits.
TEST_F(AlbumArt, CoversAreReadOnlyInsideOnePictureSlot)
{
    albumart_set_reencoder(slot_recording_reencoder);
    const std::string mp3 =
        music("tagged.mp3", concat({id3v2_tag({{"APIC", apic(kJpeg)}}), mpeg_frames(3)}));
    // The FLAC finder reads the picture itself, before any re-encoding.
    const std::string flac = music(
        "tagged.flac", concat({text_of("fLaC"), flac_block(0, Bytes(34, 0), false),
                               flac_block(6, flac_picture_body(3, "image/jpeg", kJpeg), true)}));
    const std::string png_folder = music("bare.wav", Bytes(64, 0));
    write_bytes(file("cover.png"), kPng);
    for (const std::string& url :
         {"/albumart-mp3/" + mp3 + "_tn.jpg", "/albumart-flac/" + flac + "_tn.jpg",
          "/albumart-wav/" + png_folder + ".jpg"}) {
        g_slots_at_reencode = -1;
        EXPECT_EQ(fetch(albumart_handler, url).status, 200) << url;
        EXPECT_EQ(g_slots_at_reencode, 1) << url;
        EXPECT_EQ(picture_slots_in_use(), 0) << url << ": the slot goes with the answer";
    }
    albumart_set_reencoder(nullptr);
}

} // namespace
