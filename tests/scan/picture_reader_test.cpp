#include "db/db_fixture.h"
#include "db/db_internal.h"
#include "scan/picture_reader.h"

#include <cstdio>
#include <vector>

namespace
{

using Bytes = std::vector<uint8_t>;

void put16(Bytes& b, uint32_t v, bool le)
{
    le ? b.insert(b.end(), {uint8_t(v), uint8_t(v >> 8)})
       : b.insert(b.end(), {uint8_t(v >> 8), uint8_t(v)});
}

void put32(Bytes& b, uint32_t v, bool le)
{
    if (le) {
        b.insert(b.end(), {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)});
    } else {
        b.insert(b.end(), {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)});
    }
}

struct Entry {
    uint16_t tag;
    uint32_t value = 0;       // used when text is empty
    std::string text = {};    // stored after the IFDs; value becomes its offset
    uint32_t count_extra = 0; // added to the count of a text
};

// The TIFF data of an EXIF block: IFD0 at TIFF offset 8, then the Exif IFD
// (pointed to by tag 34665 when exif is not empty), then the texts.
Bytes tiff(bool le, const std::vector<Entry>& ifd0, const std::vector<Entry>& exif = {})
{
    const uint32_t ifd0_size = 2 + 12 * uint32_t(ifd0.size() + (exif.empty() ? 0 : 1)) + 4;
    const uint32_t exif_at = 8 + ifd0_size;
    const uint32_t exif_size = exif.empty() ? 0 : 2 + 12 * uint32_t(exif.size()) + 4;
    uint32_t text_at = exif_at + exif_size;
    Bytes texts;
    auto write_ifd = [&](Bytes& out, std::vector<Entry> entries) {
        put16(out, uint32_t(entries.size()), le);
        for (const Entry& e : entries) {
            put16(out, e.tag, le);
            put16(out, e.text.empty() ? 4 : 2, le);
            if (e.text.empty()) {
                put32(out, 1, le);
                put32(out, e.value, le);
            } else {
                put32(out, uint32_t(e.text.size()) + e.count_extra, le);
                put32(out, text_at + uint32_t(texts.size()), le);
                texts.insert(texts.end(), e.text.begin(), e.text.end());
            }
        }
        put32(out, 0, le);
    };
    Bytes out;
    put32(out, 8, le); // TIFF offset 4: where IFD0 is
    std::vector<Entry> first = ifd0;
    if (!exif.empty()) {
        first.push_back({34665, exif_at});
    }
    write_ifd(out, first);
    if (!exif.empty()) {
        write_ifd(out, exif);
    }
    out.insert(out.end(), texts.begin(), texts.end());
    return out;
}

Bytes segment(uint8_t marker, const Bytes& data)
{
    Bytes s = {0xFF, marker};
    put16(s, uint32_t(data.size()) + 2, false);
    s.insert(s.end(), data.begin(), data.end());
    return s;
}

// An APP1 EXIF segment; header_order is what the TIFF header claims.
Bytes app1(const Bytes& tiff_data, bool le_header)
{
    Bytes d = {'E', 'x', 'i', 'f', 0, 0};
    if (le_header) {
        d.insert(d.end(), {'I', 'I', 0x2A, 0});
    } else {
        d.insert(d.end(), {'M', 'M', 0, 0x2A});
    }
    d.insert(d.end(), tiff_data.begin(), tiff_data.end());
    return segment(0xE1, d);
}

Bytes frame(uint8_t marker, uint16_t width, uint16_t height)
{
    Bytes d = {8};
    put16(d, height, false);
    put16(d, width, false);
    d.insert(d.end(), {3, 1, 0x22, 0, 2, 0x11, 1, 3, 0x11, 1});
    return segment(marker, d);
}

Bytes jpeg(std::initializer_list<Bytes> segments)
{
    Bytes b = {0xFF, 0xD8};
    for (const Bytes& s : segments) {
        b.insert(b.end(), s.begin(), s.end());
    }
    b.insert(b.end(), {0xFF, 0xD9});
    return b;
}

PictureInfo read(const Bytes& bytes, time_t ctime = 86400 * 365)
{
    PictureInfo info;
    FILE* f = fmemopen(const_cast<uint8_t*>(bytes.data()), bytes.size(), "rb");
    read_picture_stream(f, int64_t(bytes.size()), ctime, info);
    fclose(f);
    return info;
}

const std::vector<Entry> kIfd0 = {
    {270, 0, "Beach at dawn"}, {274, 6}, {306, 0, "2005:07:14 10:22:01"}};
const std::vector<Entry> kExif = {{36867, 0, "2005:07:13 09:00:00"}, {40962, 640}, {40963, 480}};

TEST(PictureReader, ExifInBothByteOrders)
{
    for (bool le : {true, false}) {
        const PictureInfo info = read(jpeg({app1(tiff(le, kIfd0, kExif), le)}));
        EXPECT_EQ(info.date, "2005-07-13") << "when it was taken, " << le;
        EXPECT_EQ(info.description, "Beach at dawn");
        EXPECT_EQ(info.date_taken, "2005:07:13 09:00:00");
        EXPECT_EQ(info.orientation, 6);
        EXPECT_EQ(info.width, 640u) << "no frame header: the EXIF pixel size";
        EXPECT_EQ(info.height, 480u);
    }
    // A header that claims the other byte order than the data is read in
    // the order that makes the IFD0 offset fit.
    const PictureInfo switched = read(jpeg({app1(tiff(false, kIfd0, kExif), true)}));
    EXPECT_EQ(switched.date, "2005-07-13");
    EXPECT_EQ(switched.width, 640u);
}

TEST(PictureReader, FrameHeaderWinsOverExifAndSkipsOtherMarkers)
{
    const PictureInfo info =
        read(jpeg({app1(tiff(true, kIfd0, kExif), true), frame(0xC0, 1600, 1200)}));
    EXPECT_EQ(info.width, 1600u);
    EXPECT_EQ(info.height, 1200u);
    EXPECT_EQ(read(jpeg({frame(0xC2, 800, 600)})).width, 800u) << "progressive";
    // Huffman tables (C4), JPG (C8) and arithmetic conditioning (CC) are
    // no frame headers, however their bytes look.
    for (uint8_t marker : {0xC4, 0xC8, 0xCC}) {
        const PictureInfo i = read(jpeg({frame(marker, 9, 9), frame(0xC1, 320, 240)}));
        EXPECT_EQ(i.width, 320u) << int(marker);
        EXPECT_EQ(i.height, 240u);
    }
}

TEST(PictureReader, WithoutExifOnlyTheFrameSize)
{
    const PictureInfo info = read(jpeg({segment(0xDB, Bytes(65, 1)), frame(0xC0, 1024, 768)}));
    EXPECT_EQ(info.width, 1024u);
    EXPECT_EQ(info.height, 768u);
    EXPECT_FALSE(info.date);
    EXPECT_FALSE(info.description);
    // Not a JPEG at all.
    const PictureInfo other = read({'G', 'I', 'F', '8', '9', 'a', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
    EXPECT_EQ(other.width, 0u);
    EXPECT_FALSE(other.date);
}

TEST(PictureReader, PngSizeFromItsHeader)
{
    const Bytes png = {0x89, 'P', 'N', 'G',  '\r', '\n', 0x1A, '\n', 0,    0, 0, 13, 'I', 'H', 'D',
                       'R',  0,   0,   0x0A, 0x00, 0,    0,    0x05, 0xA0, 8, 2, 0,  0,   0};
    const PictureInfo info = read(png);
    EXPECT_EQ(info.width, 2560u);
    EXPECT_EQ(info.height, 1440u);
    // Cut before the height, or a first chunk other than IHDR: no size.
    EXPECT_EQ(read(Bytes(png.begin(), png.begin() + 22)).width, 0u);
    Bytes other = png;
    other[12] = 'X';
    EXPECT_EQ(read(other).width, 0u);
}

TEST(PictureReader, CommentAndApp0BeforeExifAreSkipped)
{
    const Bytes app0 = segment(0xE0, {'J', 'F', 'I', 'F', 0, 1, 1, 0, 0, 1, 0, 1, 0, 0});
    const PictureInfo info = read(jpeg(
        {segment(0xFE, Bytes(30, 'c')), app0, app1(tiff(true, kIfd0), true), frame(0xC0, 4, 3)}));
    EXPECT_EQ(info.description, "Beach at dawn");
    EXPECT_EQ(info.width, 4u);
}

TEST(PictureReader, ExifFoundBehindAnyOtherSegments)
{
    // As cameras and tools write them: JFIF first, then comments, colour
    // profiles and XMP in any order before the EXIF segment.
    const Bytes app0 = segment(0xE0, {'J', 'F', 'I', 'F', 0, 1, 1, 0, 0, 1, 0, 1, 0, 0});
    const Bytes xmp = segment(0xE1, {'h', 't', 't', 'p', ':', '/', '/', 'n', 's', 0});
    const PictureInfo info =
        read(jpeg({app0, segment(0xE2, Bytes(300, 2)), segment(0xFE, Bytes(30, 'c')), xmp,
                   app1(tiff(true, kIfd0), true), frame(0xC0, 4, 3)}));
    EXPECT_EQ(info.description, "Beach at dawn");
    EXPECT_EQ(info.date, "2005-07-14");
    EXPECT_EQ(info.width, 4u);
    // EXIF after the image data is not looked for.
    EXPECT_FALSE(read(jpeg({segment(0xDA, Bytes(8, 0)), app1(tiff(true, kIfd0), true)})).date);
}

TEST(PictureReader, DatesAndTextsAtTheEndOfTheBlock)
{
    // The date is the last text of the block: the whole TIFF data is read.
    PictureInfo info = read(jpeg({app1(tiff(true, {{306, 0, "2011:02:03 04:05:06"}}), true)}));
    EXPECT_EQ(info.date, "2011-02-03");
    // When it was taken wins over when it was changed; an unset clock in
    // the first gives way to the second.
    info = read(jpeg(
        {app1(tiff(true, {{306, 0, "2011:02:03 04:05:06"}}, {{36867, 0, "2010:12:31 23:59:59"}}),
              true)}));
    EXPECT_EQ(info.date, "2010-12-31");
    info = read(jpeg(
        {app1(tiff(false, {{306, 0, "2011:02:03 04:05:06"}}, {{36867, 0, "0000:00:00 00:00:00"}}),
              false)}));
    EXPECT_EQ(info.date, "2011-02-03");
    // Descriptions: UTF-8 when valid, else Latin-1; the blanks cameras fill
    // the field with go.
    info = read(jpeg({app1(tiff(true, {{270, 0, "Plage \u00e0 Nice   "}}), true)}));
    EXPECT_EQ(info.description, "Plage \u00e0 Nice");
    info = read(jpeg({app1(tiff(true, {{270, 0, "Plage \xe0 Nice"}}), true)}));
    EXPECT_EQ(info.description, "Plage \u00e0 Nice");
    info = read(jpeg({app1(tiff(true, {{270, 0, "      "}}), true)}));
    EXPECT_FALSE(info.description);
}

TEST(PictureReader, UnusableDatesAndLongTexts)
{
    // A camera whose clock was never set: the day of the status change.
    PictureInfo info =
        read(jpeg({app1(tiff(true, {{306, 0, "0000:00:00 00:00:00"}}), true)}), 86400 * 365);
    EXPECT_EQ(info.date, "1971-01-01");
    info = read(jpeg({app1(tiff(true, {{270, 0, std::string(1025, 'd')}}), true)}));
    EXPECT_FALSE(info.description) << "longer than 1024 bytes";
    info = read(jpeg({app1(tiff(true, {{270, 0, std::string(1024, 'd')}}), true)}));
    ASSERT_TRUE(info.description);
    EXPECT_EQ(info.description->size(), 1024u);
    // A text said to run beyond the block is refused.
    info = read(jpeg({app1(tiff(true, {{270, 0, "short", 5000}}), true)}));
    EXPECT_FALSE(info.description);
}

TEST(PictureReader, CutAndHostileFilesReadWithinBounds)
{
    const Bytes whole = jpeg({app1(tiff(true, kIfd0, kExif), true), frame(0xC0, 1600, 1200)});
    for (size_t cut = 0; cut < whole.size(); ++cut) {
        read(Bytes(whole.begin(), whole.begin() + long(cut)));
    }
    // Entry counts far beyond the block, and an IFD1 that points back at
    // IFD0.
    Bytes t = tiff(true, kIfd0);
    t[4] = 0xFF;
    t[5] = 0xFF;
    read(jpeg({app1(t, true)}));
    Bytes loop = tiff(true, kIfd0);
    const size_t next = 4 + 2 + 12 * kIfd0.size();
    loop[next] = 8;
    EXPECT_EQ(read(jpeg({app1(loop, true)})).date, "2005-07-14");
    EXPECT_EQ(read(jpeg({frame(0xC0, 0, 0)})).width, 0u);
    EXPECT_EQ(read(jpeg({frame(0xC0, 65535, 65535)})).width, 65535u);
}

using PictureItems = DbTest;

TEST_F(PictureItems, AddPictureStoresWhatTheFileTells)
{
    setting_set(KEY_CONTENTDIR, dir.path);
    db_create();
    const std::string path = file("holiday/beach.jpg");
    const Bytes bytes = jpeg({app1(tiff(true, kIfd0), true), frame(0xC0, 1600, 1200)});
    write_text_file(path, std::string(bytes.begin(), bytes.end()));
    EXPECT_EQ(add_picture(path.c_str(), 0), DB_ADDED);
    const DbLock lock = db_lock();
    const DbItem* item = db_find_item_for_class(lock, path, kClassPhoto);
    ASSERT_NE(item, nullptr);
    EXPECT_EQ(db_text_of(item->title), "Beach");
    EXPECT_EQ(db_text_of(item->date), "2005-07-14");
    EXPECT_EQ(db_text_of(item->description), "Beach at dawn");
    EXPECT_EQ(item->width, 1600);
    EXPECT_EQ(item->height, 1200);
    EXPECT_EQ(item->size, int64_t(bytes.size()));
}

} // namespace
