// The pictures of the real program over loopback, decoded by a client this
// project did not write: ffprobe and ffmpeg read every picture URL that a
// Browse hands out.
#include "support/child_process.h"
#include "support/content_directory.h"
#include "support/http_client.h"
#include "support/jpeg_files.h"
#include "support/server_process.h"

#include <gtest/gtest.h>
#include <regex>
#include <unistd.h>

using namespace std::chrono_literals;

namespace
{

struct PictureResource {
    int width = 0;
    int height = 0;
    std::string url;
};

std::vector<std::string> photo_ids(int port)
{
    const std::string didl = xml_unescape(content_directory_call(
        port, "Search",
        "<ContainerID>0</ContainerID><SearchCriteria>upnp:class derivedfrom "
        "&quot;object.item.imageItem&quot;</SearchCriteria><Filter>*</Filter>"
        "<StartingIndex>0</StartingIndex><RequestedCount>0</RequestedCount>"
        "<SortCriteria></SortCriteria>"));
    static const std::regex item_re("<item id=\"([0-9]+)\"(?![^>]*refID)");
    std::vector<std::string> ids;
    for (auto it = std::sregex_iterator(didl.begin(), didl.end(), item_re);
         it != std::sregex_iterator(); ++it) {
        ids.push_back((*it)[1]);
    }
    return ids;
}

std::vector<PictureResource> resources_of(int port, const std::string& id)
{
    const std::string didl = xml_unescape(content_directory_call(
        port, "Browse",
        "<ObjectID>" + id +
            "</ObjectID><BrowseFlag>BrowseMetadata</BrowseFlag><Filter>*</Filter>"
            "<StartingIndex>0</StartingIndex><RequestedCount>0</RequestedCount>"
            "<SortCriteria></SortCriteria>"));
    static const std::regex res_re("<res resolution=\"([0-9]+)x([0-9]+)\"[^>]*>([^<]*)</res>");
    std::vector<PictureResource> found;
    for (auto it = std::sregex_iterator(didl.begin(), didl.end(), res_re);
         it != std::sregex_iterator(); ++it) {
        found.push_back({std::stoi((*it)[1]), std::stoi((*it)[2]), (*it)[3]});
    }
    return found;
}

TEST(Pictures, FfmpegDecodesEveryPictureUrlOfABrowse)
{
    if (access("/usr/bin/ffprobe", X_OK) != 0 || access("/usr/bin/ffmpeg", X_OK) != 0) {
        GTEST_SKIP() << "ffmpeg is not installed";
    }
    TempDir photos;
    write_jpeg(photos.file("landscape.jpg"), 1600, 1200,
               [](int x, int y, uint8_t rgb[3]) { smooth_pixel(1600, 1200, x, y, rgb); });
    write_jpeg(
        photos.file("portrait.jpg"), 300, 400,
        [](int x, int y, uint8_t rgb[3]) { rgb[0] = static_cast<uint8_t>(x + y); }, true);
    ServerUnderTest server(PLENWICK_BIN, {"-contentdir", photos.path, "-v", "13"});
    ASSERT_GT(server.port(), 0);
    ASSERT_TRUE(server.scan_completed(photos.path));
    const std::vector<std::string> ids = photo_ids(server.port());
    ASSERT_EQ(ids.size(), 2u);
    TempDir players;
    int checked = 0;
    for (const std::string& id : ids) {
        const std::vector<PictureResource> resources = resources_of(server.port(), id);
        ASSERT_GE(resources.size(), 5u) << id;
        for (const PictureResource& r : resources) {
            const std::string size = std::to_string(r.width) + "x" + std::to_string(r.height);
            const bool raw = r.url.ends_with(".yuv");
            std::vector<std::string> probe_args = {"-v", "error"};
            if (raw) {
                probe_args.insert(probe_args.end(), {"-f", "rawvideo", "-pixel_format", "yuv420p",
                                                     "-video_size", size});
            }
            probe_args.insert(probe_args.end(),
                              {"-count_frames", "-show_entries",
                               "stream=width,height,nb_read_frames", "-of", "csv=p=0", r.url});
            ChildProcess probe("/usr/bin/ffprobe", probe_args, players.path);
            ASSERT_EQ(probe.wait_exit(30s), 0) << r.url << probe.err();
            // One whole frame of the stated size: a raw body of any other
            // length would not make exactly one.
            EXPECT_EQ(probe.out(),
                      std::to_string(r.width) + "," + std::to_string(r.height) + ",1\n")
                << r.url;
            if (!raw) {
                ChildProcess decode("/usr/bin/ffmpeg",
                                    {"-v", "error", "-xerror", "-i", r.url, "-f", "null", "-"},
                                    players.path);
                EXPECT_EQ(decode.wait_exit(30s), 0) << r.url << decode.err();
                EXPECT_EQ(decode.err(), "") << r.url;
            }
            ++checked;
        }
    }
    EXPECT_GE(checked, 10);
    EXPECT_EQ(server.stop(), 0);
}

} // namespace

namespace
{

// The music edition neither answers picture URLs nor carries the codec.
TEST(Pictures, MusicEditionHasNoPictureService)
{
    const std::string icon = "GET /picture/0(168x112,1).goicon.jpg HTTP/1.1\r\n\r\n";
    ServerUnderTest full(PLENWICK_BIN);
    ASSERT_GT(full.port(), 0);
    auto answer = http_exchange(full.port(), icon);
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->status, 200);

    ServerUnderTest music(TESSAMUND_BIN);
    ASSERT_GT(music.port(), 0);
    answer = http_exchange(music.port(), icon);
    ASSERT_TRUE(answer);
    EXPECT_NE(answer->status, 200) << "no handler takes the URL";
    EXPECT_EQ(read_text_file(TESSAMUND_BIN).find("jpeg_CreateDecompress"), std::string::npos);
    EXPECT_NE(read_text_file(PLENWICK_BIN).find("jpeg_CreateDecompress"), std::string::npos);
}

} // namespace
