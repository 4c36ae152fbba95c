#include "control/clients.h"
#include "control/didl.h"
#include "control/didl_subtitles.h"
#include "db/db_fixture.h"
#include "db/db_subtitles.h"

#include <cstring>

namespace
{

class DidlSubtitles : public DbTest
{
protected:
    void SetUp() override
    {
        DbTest::SetUp();
        setting_set(KEY_CONTENTDIR, dir.path);
        client_table_clear();
        db_create();
    }
    void TearDown() override
    {
        client_table_clear();
        DbTest::TearDown();
    }

    // A movie item for path; returns it.
    const DbItem* movie(const std::string& path)
    {
        write_text_file(path, "video");
        DbItemFields f;
        f.title = "Film";
        f.upnp_class = kClassMovie;
        f.path = path.c_str();
        f.size = 5;
        db_add_item(f);
        const DbLock lock = db_lock();
        return db_find_item_for_class(lock, path, kClassMovie);
    }

    std::string render(const DbItem* item, const char* filter, const char* client)
    {
        HttpConnection c;
        strcpy(c.base_url.data(), "http://192.168.0.2:9000/");
        strcpy(c.client_ip.data(), client);
        const DbLock lock = db_lock();
        StrBuf out;
        didl_render_object(lock, out, item, filter, &c);
        return std::string(strbuf_view(out));
    }
};

// The subtitle resource follows the video's, so that a player that takes the
// first resource still plays the video.
TEST_F(DidlSubtitles, GenericClientGetsTheSubtitleResourceAfterTheVideos)
{
    const DbItem* item = movie(dir.file("Film.avi"));
    ASSERT_NE(item, nullptr);
    ASSERT_TRUE(db_set_subtitle(dir.file("Film.avi"), dir.file("Film.en.SRT")));
    const std::string id = std::to_string(item->id);
    EXPECT_EQ(render(item, "res", "10.0.0.1"),
              "&lt;item id=\"" + id + "\" parentID=\"" + std::to_string(item->parent) +
                  "\" restricted=\"1\"&gt;&lt;dc:title&gt;Film&lt;/dc:title&gt;"
                  "&lt;res protocolInfo=\"http-get:*:video/x-msvideo:DLNA.ORG_OP=01;"
                  "DLNA.ORG_FLAGS=01700000000000000000000000000000\" &gt;"
                  "http://192.168.0.2:9000/disk/" +
                  id +
                  ".avi&lt;/res&gt;"
                  "&lt;res protocolInfo=\"http-get:*:text/srt:*\"&gt;"
                  "http://192.168.0.2:9000/subtitle/" +
                  id +
                  ".srt&lt;/res&gt;"
                  "&lt;upnp:class&gt;object.item.videoItem.movie&lt;/upnp:class&gt;"
                  "&lt;/item&gt;");

    // No resource is asked for: none of them is written.
    EXPECT_EQ(render(item, "dc:title", "10.0.0.1").find("subtitle/"), std::string::npos);

    // A sidecar removed: the item lists the video alone again.
    ASSERT_TRUE(db_set_subtitle(dir.file("Film.avi"), ""));
    EXPECT_EQ(render(item, "*", "10.0.0.1").find("subtitle/"), std::string::npos);
}

TEST_F(DidlSubtitles, FixedClientTypesKeepTheirListing)
{
    const DbItem* item = movie(dir.file("Film.avi"));
    ASSERT_TRUE(db_set_subtitle(dir.file("Film.avi"), dir.file("Film.srt")));
    for (int type = 1; type <= static_cast<int>(ClientType::TiniImageRenderer); ++type) {
        EXPECT_FALSE(didl_sends_subtitles(static_cast<ClientType>(type))) << type;
        EXPECT_FALSE(didl_writes_caption_info(static_cast<ClientType>(type))) << type;
    }
    client_register(static_cast<int>(ClientType::PhilipsStreamium), "10.0.0.8");
    EXPECT_EQ(render(item, "*", "10.0.0.8").find("subtitle/"), std::string::npos);
    EXPECT_TRUE(didl_sends_subtitles(ClientType::Generic));
    EXPECT_TRUE(didl_sends_subtitles(ClientType::Kodi));
    // The DIDL-Lite schema allows no foreign element in an item: the
    // generic type, which may validate, gets none; Samsung's sets do.
    EXPECT_FALSE(didl_writes_caption_info(ClientType::Generic));
    EXPECT_FALSE(didl_writes_caption_info(ClientType::Kodi));
    EXPECT_TRUE(didl_writes_caption_info(ClientType::SamsungTv));
}

TEST_F(DidlSubtitles, CaptionElementNamesTheSameUrlWithItsFormat)
{
    const DbItem* item = movie(dir.file("Film.avi"));
    struct Row {
        const char* file;
        const char* mime;
        const char* type;
    };
    for (const Row& row :
         {Row{"Film.srt", "text/srt", "srt"}, Row{"Film.ASS", "text/x-ass", "ass"},
          Row{"Film.ssa", "text/x-ssa", "ssa"}, Row{"Film.smi", "smi/caption", "smi"},
          Row{"Film.sub", "text/x-microdvd", "sub"}}) {
        ASSERT_TRUE(db_set_subtitle(dir.file("Film.avi"), dir.file(row.file)));
        const DbLock lock = db_lock();
        StrBuf out;
        didl_subtitle_resources(out, item, 42, "http://h:1/", true, true);
        EXPECT_EQ(std::string(strbuf_view(out)),
                  std::string("&lt;res protocolInfo=\"http-get:*:") + row.mime +
                      ":*\"&gt;http://h:1/subtitle/42." + row.type +
                      "&lt;/res&gt;&lt;sec:CaptionInfoEx sec:type=\"" + row.type +
                      "\" xmlns:sec=\"http://www.sec.co.kr/\"&gt;http://h:1/subtitle/42." +
                      row.type + "&lt;/sec:CaptionInfoEx&gt;")
            << row.file;
    }
}

} // namespace
