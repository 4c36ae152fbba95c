#include "db/db_subtitles.h"
#include "delivery/disk_handler.h"
#include "delivery/subtitle_handler.h"
#include "delivery_fixture.h"

#include <filesystem>
#include <unistd.h>

namespace
{

class SubtitleHandler : public DeliveryTest
{
protected:
    void SetUp() override
    {
        DeliveryTest::SetUp();
        setting_set(KEY_CONTENTDIR, dir.path);
        video = sized_file("Film.avi", 1000);
        subtitle = dir.file("Film.en.srt");
        write_text_file(subtitle, kSrt);
        id = add_item(video, kClassMovie);
        ASSERT_TRUE(db_set_subtitle(video, subtitle));
    }

    static constexpr const char* kSrt = "1\n00:00:01,000 --> 00:00:02,500\nHello\n";
    std::string video;
    std::string subtitle;
    std::string id;
};

TEST_F(SubtitleHandler, ServesTheRecordedSidecarWithItsType)
{
    Answer a = fetch(subtitle_handler, "/subtitle/" + id + ".srt");
    EXPECT_EQ(a.status, 200);
    EXPECT_TRUE(has_line(a, "Content-Type: text/srt")) << a.head;
    EXPECT_TRUE(has_line(a, "Content-Length: " + std::to_string(strlen(kSrt)))) << a.head;
    EXPECT_EQ(a.body, kSrt);
    EXPECT_EQ(last_result, HTTP_KEEP);

    a = fetch(subtitle_handler, "/subtitle/" + id + ".srt", "", HTTP_HEAD);
    EXPECT_EQ(a.status, 200);
    EXPECT_TRUE(has_line(a, "Content-Length: " + std::to_string(strlen(kSrt)))) << a.head;
    EXPECT_EQ(a.body, "");

    // A SAMI sidecar goes out as the captioning televisions expect it.
    const std::string sami = dir.file("Film.smi");
    write_text_file(sami, "<SAMI></SAMI>");
    ASSERT_TRUE(db_set_subtitle(video, sami));
    a = fetch(subtitle_handler, "/subtitle/" + id + ".smi");
    EXPECT_TRUE(has_line(a, "Content-Type: smi/caption")) << a.head;
    EXPECT_EQ(a.body, "<SAMI></SAMI>");
}

// The URL names an item, never a file: nothing but a recorded sidecar inside
// the content directories goes out.
TEST_F(SubtitleHandler, OnlyRecordedSidecarsInsideTheLibraryGoOut)
{
    const std::string other = add_item(sized_file("Bare.avi", 10), kClassMovie);
    const std::string track = add_item(sized_file("song.mp3", 10));
    for (const std::string& url :
         {"/subtitle/" + other + ".srt", "/subtitle/" + track + ".srt", std::string("/subtitle/"),
          std::string("/subtitle/999999.srt"), std::string("/subtitle/../../etc/passwd"),
          std::string("/subtitle/%2e%2e/%2e%2e/etc/passwd"), std::string("/subtitle/abc")}) {
        Answer a = fetch(subtitle_handler, url);
        EXPECT_EQ(a.status, 404) << url;
        EXPECT_EQ(a.body.find("root:"), std::string::npos) << url;
    }
    // Whatever follows the id names nothing of its own: the item's sidecar.
    Answer a = fetch(subtitle_handler, "/subtitle/" + id + "/../../../../etc/passwd");
    EXPECT_EQ(a.body, kSrt);

    // A sidecar that was replaced by a link to a file outside the library.
    std::filesystem::remove(subtitle);
    ASSERT_EQ(symlink("/etc/passwd", subtitle.c_str()), 0);
    a = fetch(subtitle_handler, "/subtitle/" + id + ".srt");
    EXPECT_EQ(a.status, 404);
    EXPECT_EQ(a.body.find("root:"), std::string::npos);

    // Gone from the disk since the last scan.
    std::filesystem::remove(subtitle);
    EXPECT_EQ(fetch(subtitle_handler, "/subtitle/" + id + ".srt").status, 404);
}

TEST_F(SubtitleHandler, VideoRequestThatAsksForCaptionsLearnsTheUrl)
{
    const std::string expected = "CaptionInfo.sec: http://127.0.0.1:9000/subtitle/" + id + ".srt";
    for (const int method : {HTTP_GET, HTTP_HEAD}) {
        Answer a = fetch(disk_handler, "/disk/" + id + ".avi", "getCaptionInfo.sec: 1\r\n", method);
        EXPECT_EQ(a.status, 200);
        EXPECT_TRUE(has_line(a, expected)) << a.head;
        EXPECT_TRUE(has_line(a, "Content-Length: 1000")) << a.head;
    }
    // Not asked, or asked of a video without a sidecar: no header.
    Answer a = fetch(disk_handler, "/disk/" + id + ".avi");
    EXPECT_EQ(a.head.find("CaptionInfo.sec"), std::string::npos) << a.head;
    a = fetch(disk_handler, "/disk/" + id + ".avi", "getCaptionInfo.sec: 0\r\n");
    EXPECT_EQ(a.head.find("CaptionInfo.sec"), std::string::npos) << a.head;
    const std::string bare = add_item(sized_file("Bare.avi", 10), kClassMovie);
    a = fetch(disk_handler, "/disk/" + bare + ".avi", "getCaptionInfo.sec: 1\r\n");
    EXPECT_EQ(a.status, 200);
    EXPECT_EQ(a.head.find("CaptionInfo.sec"), std::string::npos) << a.head;
}

} // namespace
