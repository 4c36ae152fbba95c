#include "core/file_type_table.h"
#include "db/auto_playlists.h"
#include "delivery/disk_handler.h"
#include "delivery/picture_handler.h"
#include "delivery_fixture.h"
#include "dlna/dlna_fields.h"
#include "http/mime.h"
#include "support/jpeg_files.h"

namespace
{

constexpr const char* kStreaming = "DLNA.ORG_FLAGS=01700000000000000000000000000000";
constexpr const char* kInteractive = "DLNA.ORG_FLAGS=00D00000000000000000000000000000";

std::string field(std::string_view mime, int32_t format = 0, int width = 0, int height = 0,
                  bool scaled = false, bool time_seek = false)
{
    DlnaResource r;
    r.mime = mime;
    r.audio_format = format;
    r.width = width;
    r.height = height;
    r.scaled = scaled;
    r.time_seek = time_seek;
    return dlna_fourth_field(r);
}

TEST(DlnaFields, ProfileOnlyWhereTheServerIsSure)
{
    EXPECT_EQ(field("audio/mpeg", kAudioFormatMp3),
              std::string("DLNA.ORG_PN=MP3;DLNA.ORG_OP=01;") + kStreaming);
    // An MP3 file whose frames were never read might be MPEG-2: no profile.
    EXPECT_EQ(field("audio/mpeg"), std::string("DLNA.ORG_OP=01;") + kStreaming);
    EXPECT_EQ(field("audio/mp4", kAudioFormatAacLc, 0, 0, false, true),
              std::string("DLNA.ORG_PN=AAC_ISO_320;DLNA.ORG_OP=11;") + kStreaming);
    EXPECT_EQ(field("audio/mp4", kAudioFormatAacLcHi).rfind("DLNA.ORG_PN=AAC_ISO;", 0), 0u);
    EXPECT_EQ(field("audio/mp4").rfind("DLNA.ORG_OP=01;", 0), 0u) << "HE-AAC, ALAC: none";
    // A format recorded for one type says nothing of another.
    EXPECT_EQ(field("audio/flac", kAudioFormatMp3).find("PN="), std::string::npos);
    EXPECT_EQ(field("audio/L16;rate=48000;channels=1").rfind("DLNA.ORG_PN=LPCM;", 0), 0u);
    EXPECT_EQ(field("audio/wav").find("PN="), std::string::npos);
    EXPECT_EQ(field("video/x-matroska"), std::string("DLNA.ORG_OP=01;") + kStreaming);
    EXPECT_EQ(field("application/octet-stream"), "*");
    EXPECT_EQ(field("audio/x-mpegurl"), "*") << "a playlist is no stream";

    struct Size {
        int width, height;
        const char* profile; // null: none
    };
    const Size sizes[] = {
        {48, 48, "JPEG_SM_ICO"}, {120, 120, "JPEG_LRG_ICO"}, {47, 48, "JPEG_TN"},
        {160, 160, "JPEG_TN"},   {160, 161, "JPEG_SM"},      {640, 480, "JPEG_SM"},
        {641, 480, "JPEG_MED"},  {480, 640, "JPEG_MED"},     {1024, 768, "JPEG_MED"},
        {1024, 769, "JPEG_LRG"}, {4096, 4096, "JPEG_LRG"},   {4097, 100, nullptr},
        {0, 0, nullptr},
    };
    for (const Size& s : sizes) {
        const std::string f = field("image/jpeg", 0, s.width, s.height);
        const std::string expected = s.profile ? std::string("DLNA.ORG_PN=") + s.profile + ";" : "";
        EXPECT_EQ(f, expected + "DLNA.ORG_OP=01;" + kInteractive) << s.width << "x" << s.height;
    }
    // A rendition made per request: converted content, no ranges.
    EXPECT_EQ(field("image/jpeg", 0, 160, 160, true),
              std::string("DLNA.ORG_PN=JPEG_TN;DLNA.ORG_CI=1;") + kInteractive);
    EXPECT_EQ(field("image/x-ycbcr-yuv420", 0, 136, 90, true),
              std::string("DLNA.ORG_CI=1;") + kInteractive);
}

TEST(DlnaFields, SourceListsEveryTypeTheServerSendsOnce)
{
    const std::string source = dlna_source_protocols() + ",";
    const auto listed = [&](const std::string& entry) {
        const size_t at = source.find("http-get:*:" + entry + ",");
        return at != std::string::npos &&
               source.find("http-get:*:" + entry + ",", at + 1) == std::string::npos;
    };
    for (const FileTypeRow& row : file_type_rows()) {
        // Every served extension, typed as the answers type it.
        const std::string type = mime_type_for(std::string("a.") + row.extension);
        if (row.profiles != DlnaProfileSet::Lpcm) {
            EXPECT_TRUE(type == "application/octet-stream" || listed(type + ":*")) << type;
        }
    }
    for (const char* suffix : {".pjpg", ".yuv", ".tini.jpg", ".jpg"}) {
        EXPECT_TRUE(listed(std::string(dlna_picture_mime(suffix)) + ":*")) << suffix;
    }
    for (const char* profiled :
         {"audio/mpeg:DLNA.ORG_PN=MP3", "audio/mp4:DLNA.ORG_PN=AAC_ISO_320",
          "audio/L16;rate=48000;channels=1:DLNA.ORG_PN=LPCM", "image/jpeg:DLNA.ORG_PN=JPEG_TN",
          "image/jpeg:DLNA.ORG_PN=JPEG_LRG"}) {
        EXPECT_TRUE(listed(profiled)) << profiled;
    }
    // And what a player's quirks name instead of the table's type.
    EXPECT_TRUE(listed("video/x-mkv:*"));
    EXPECT_EQ(source.find(",,"), std::string::npos);
}

class DlnaAnswers : public DeliveryTest
{
protected:
    std::string song(const std::string& name, int32_t format, int bitrate = 80000)
    {
        path = sized_file(name, 100000);
        DbItemFields f;
        f.title = "Song";
        f.upnp_class = kClassMusicTrack;
        f.path = path.c_str();
        f.duration = "0:01:40.000";
        f.bitrate = bitrate;
        f.audio_format = format;
        f.mtime = 1;
        db_add_item(f);
        return "/disk/" + item_id() + name.substr(name.rfind('.'));
    }
    std::string item_id()
    {
        const DbLock lock = db_lock();
        return std::to_string(db_find_item_for_class(lock, path, kClassMusicTrack)->id);
    }
    int plays()
    {
        const DbLock lock = db_lock();
        return db_find_item_for_class(lock, path, kClassMusicTrack)->play_count;
    }
    // The request over HTTP/1.0.
    Answer fetch10(const std::string& url, const std::string& headers)
    {
        CapturedConnection cap(url.c_str());
        cap.c.method = HTTP_GET;
        snprintf(cap.c.client_ip.data(), cap.c.client_ip.size(), "127.0.0.1");
        http_set_head(&cap.c, "GET " + url + " HTTP/1.0\r\n" + headers + "\r\n");
        cap.c.http_version = 10;
        return split_answer(cap.run([&] { return disk_handler(&cap.c); }));
    }
    std::string path;
};

TEST_F(DlnaAnswers, HeadersOnGetAndHead)
{
    const std::string url = song("a.mp3", kAudioFormatMp3);
    const std::string features = std::string("contentFeatures.dlna.org: DLNA.ORG_PN=MP3;"
                                             "DLNA.ORG_OP=11;") +
                                 kStreaming;
    for (int method : {HTTP_GET, HTTP_HEAD}) {
        const Answer a = fetch(disk_handler, url, "getcontentFeatures.dlna.org: 1\r\n", method);
        EXPECT_EQ(a.status, 200);
        EXPECT_TRUE(has_line(a, features)) << a.head;
        EXPECT_TRUE(has_line(a, "transferMode.dlna.org: Streaming")) << a.head;
        EXPECT_TRUE(has_line(a, "Accept-Ranges: bytes")) << a.head;
        EXPECT_TRUE(has_line(a, "Content-Length: 100000")) << a.head;
    }
    // An older player type gets the features only when it asks.
    client_register(9, "10.0.0.9");
    Answer old = fetch(disk_handler, url, "", HTTP_HEAD, "10.0.0.9");
    EXPECT_EQ(old.head.find("contentFeatures"), std::string::npos) << old.head;
    EXPECT_TRUE(has_line(old, "transferMode.dlna.org: Streaming"));
    old = fetch(disk_handler, url, "getcontentFeatures.dlna.org: 1\r\n", HTTP_HEAD, "10.0.0.9");
    EXPECT_TRUE(has_line(old, features)) << old.head;
    client_table_clear();

    // Transfer modes: the asked one where the media allows it, else 406.
    struct Mode {
        const char* asked;
        int status;
        const char* answered;
    };
    for (const Mode& m :
         {Mode{"Streaming", 200, "Streaming"}, Mode{"background", 200, "Background"},
          Mode{"Interactive", 406, nullptr}, Mode{"Bulk", 406, nullptr}}) {
        const Answer a =
            fetch(disk_handler, url, std::string("transferMode.dlna.org: ") + m.asked + "\r\n");
        EXPECT_EQ(a.status, m.status) << m.asked;
        if (m.answered) {
            EXPECT_TRUE(has_line(a, std::string("transferMode.dlna.org: ") + m.answered));
        } else {
            EXPECT_EQ(a.body, "") << m.asked;
        }
    }
}

TEST_F(DlnaAnswers, TimeSeekAnswersItsRangeOrNotAcceptable)
{
    // 100 s of 100 000 bytes: 1 byte per millisecond.
    const std::string url = song("a.mp3", kAudioFormatMp3);
    Answer a = fetch(disk_handler, url, "TimeSeekRange.dlna.org: npt=10-20.5\r\n");
    EXPECT_EQ(a.status, 200);
    EXPECT_TRUE(has_line(a, "TimeSeekRange.dlna.org: npt=10.000-20.500/100.000 "
                            "bytes=10000-20500/100000"))
        << a.head;
    EXPECT_TRUE(has_line(a, "Content-Range: bytes 10000-20500/100000"));
    EXPECT_EQ(a.body.size(), 10501u);
    a = fetch(disk_handler, url, "TimeSeekRange.dlna.org: npt=0:01:30-\r\n", HTTP_HEAD);
    EXPECT_TRUE(has_line(a, "TimeSeekRange.dlna.org: npt=90.000-100.000/100.000 "
                            "bytes=90000-99999/100000"))
        << a.head;
    EXPECT_EQ(fetch(disk_handler, url, "TimeSeekRange.dlna.org: npt=101-\r\n").status, 416);

    // No constant rate: the duration is not to be seeked by, and the fields
    // say so before the player tries.
    const std::string vbr = song("b.mp3", kAudioFormatMp3, 0);
    a = fetch(disk_handler, vbr, "TimeSeekRange.dlna.org: npt=10-\r\n");
    EXPECT_EQ(a.status, 406);
    EXPECT_EQ(a.head.find("TimeSeekRange.dlna.org"), std::string::npos);
    a = fetch(disk_handler, vbr, "getcontentFeatures.dlna.org: 1\r\n", HTTP_HEAD);
    EXPECT_NE(a.head.find("DLNA.ORG_OP=01;"), std::string::npos) << a.head;
}

TEST_F(DlnaAnswers, RangesOverHttp10AndEmptySuffix)
{
    const std::string url = song("a.mp3", kAudioFormatMp3);
    Answer a = fetch10(url, "Range: bytes=100-199\r\n");
    EXPECT_EQ(a.head.rfind("HTTP/1.0 206 Partial Content\r\n", 0), 0u) << a.head;
    EXPECT_TRUE(has_line(a, "Content-Range: bytes 100-199/100000")) << a.head;
    EXPECT_TRUE(a.body == expected_bytes(100, 100));

    for (const char* version : {"1.0", "1.1"}) {
        a = std::string(version) == "1.0" ? fetch10(url, "Range: bytes=-0\r\n")
                                          : fetch(disk_handler, url, "Range: bytes=-0\r\n");
        EXPECT_EQ(a.status, 416) << version << a.head;
        EXPECT_TRUE(has_line(a, "Content-Range: bytes */100000")) << a.head;
        EXPECT_EQ(a.body, "");
    }
    // The last byte, not the first.
    a = fetch(disk_handler, url, "Range: bytes=-1\r\n");
    EXPECT_TRUE(has_line(a, "Content-Range: bytes 99999-99999/100000")) << a.head;
}

TEST_F(DlnaAnswers, PlayCountedOnceWhenThePlayerStarts)
{
    const std::string url = song("a.mp3", kAudioFormatMp3);
    // What a player does around one play: probe, start, read the tags at
    // the end, seek.
    fetch(disk_handler, url, "getcontentFeatures.dlna.org: 1\r\n", HTTP_HEAD);
    fetch(disk_handler, url, "Range: bytes=0-\r\n", HTTP_HEAD);
    EXPECT_EQ(plays(), 0) << "HEAD is no play";
    fetch(disk_handler, url, "Range: bytes=0-\r\n");
    EXPECT_EQ(plays(), 1);
    fetch(disk_handler, url, "Range: bytes=-128\r\n");
    fetch(disk_handler, url, "Range: bytes=5000-\r\n");
    fetch(disk_handler, url, "TimeSeekRange.dlna.org: npt=30-\r\n");
    EXPECT_EQ(plays(), 1) << "seeks and tag reads are the same play";
    // Starting again is another play, by bytes, by time or plainly.
    fetch(disk_handler, url, "TimeSeekRange.dlna.org: npt=0-\r\n");
    fetch(disk_handler, url);
    EXPECT_EQ(plays(), 3);
    // A resumed stream goes on with the play it belongs to.
    fetch(continue_handler, "/continue/" + item_id() + "_4096.mp3");
    EXPECT_EQ(plays(), 3);
}

TEST_F(DlnaAnswers, PictureAnswersCarryTheListedType)
{
    const std::string photo_path = file("photo.jpg");
    write_jpeg(photo_path, 320, 240,
               [](int, int, uint8_t rgb[3]) { rgb[0] = rgb[1] = rgb[2] = 99; });
    DbItemFields f;
    f.title = "Photo";
    f.upnp_class = kClassPhoto;
    f.path = photo_path.c_str();
    f.width = 320;
    f.height = 240;
    db_add_item(f);
    std::string id;
    {
        const DbLock lock = db_lock();
        id = std::to_string(db_find_item_for_class(lock, photo_path, kClassPhoto)->id);
    }
    struct Row {
        const char* url;
        const char* type;
    };
    for (const Row& row :
         {Row{"(136x90,1).yuv", "image/x-ycbcr-yuv420"},
          Row{"(320x240,1).tini.jpg", "image/x-rgb565"}, Row{"(800x600,1).pjpg", "image/pjpeg"},
          Row{"(160x160,1).jpg", "image/jpeg"}}) {
        for (int method : {HTTP_GET, HTTP_HEAD}) {
            const Answer a = fetch(picture_handler, "/picture/" + id + row.url, "", method);
            EXPECT_EQ(a.status, 200) << row.url;
            EXPECT_TRUE(has_line(a, std::string("Content-Type: ") + row.type)) << a.head;
            EXPECT_TRUE(has_line(a, "transferMode.dlna.org: Interactive")) << a.head;
            // A rendition answers no ranges, and says so by not offering them.
            EXPECT_EQ(a.head.find("Accept-Ranges"), std::string::npos) << a.head;
        }
    }
    Answer a = fetch(picture_handler, "/picture/" + id + "(160x160,1).jpg",
                     "getcontentFeatures.dlna.org: 1\r\n");
    EXPECT_TRUE(has_line(a, std::string("contentFeatures.dlna.org: DLNA.ORG_PN=JPEG_TN;"
                                        "DLNA.ORG_CI=1;") +
                                kInteractive))
        << a.head;
    a = fetch(picture_handler, "/picture/" + id + "(160x160,1).jpg",
              "transferMode.dlna.org: Streaming\r\n");
    EXPECT_EQ(a.status, 406);
    // The file itself, through the disk service: its own size decides.
    a = fetch(disk_handler, "/disk/" + id + "(320x240,0).jpg",
              "getcontentFeatures.dlna.org: 1\r\n");
    EXPECT_TRUE(has_line(a, std::string("contentFeatures.dlna.org: DLNA.ORG_PN=JPEG_SM;"
                                        "DLNA.ORG_OP=01;") +
                                kInteractive))
        << a.head;
}

} // namespace
