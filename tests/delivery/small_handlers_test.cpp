#include "delivery/download_handler.h"
#include "delivery/m3u_handler.h"
#include "delivery_fixture.h"

namespace
{

using M3uHandler = DeliveryTest;
using DownloadHandler = DeliveryTest;

TEST_F(M3uHandler, ContainerAsPlaylist)
{
    const std::string id = add_item(sized_file("song.mp3", 10));
    std::string all_tracks;
    {
        const DbLock lock = db_lock();
        all_tracks = std::to_string(g_db.all_tracks->id);
    }
    Answer a = fetch(m3u_handler, "/m3u/" + all_tracks + ".m3u");
    EXPECT_EQ(a.status, 200);
    EXPECT_TRUE(has_line(a, "Content-Type: audio/x-mpegurl"));
    EXPECT_NE(a.body.find("http://127.0.0.1:9000/disk/" + id + ".mp3"), std::string::npos)
        << a.body;
    EXPECT_TRUE(has_line(a, "Content-Length: " + std::to_string(a.body.size())));

    // A HEAD answer has the length of the playlist but no body.
    Answer head = fetch(m3u_handler, "/m3u/" + all_tracks + ".m3u", "", HTTP_HEAD);
    EXPECT_EQ(head.body, "");
    EXPECT_TRUE(has_line(head, "Content-Length: " + std::to_string(a.body.size())));

    EXPECT_EQ(fetch(m3u_handler, "/m3u/" + id + ".m3u").status, 404) << "an item";
    EXPECT_EQ(fetch(m3u_handler, "/m3uplaylist").status, 500);
}

TEST_F(DownloadHandler, ServesFilesOfTheUpgradeDirectoryOnly)
{
    EXPECT_EQ(fetch(download_handler, "/NetgearUpgrade/fw.bin").status, 404) << "not set";
    sized_file("upgrade/fw.bin", 70000);
    sized_file("secret.txt", 5);
    setting_set(KEY_NETGEARUPGRADE, dir.file("upgrade"));

    Answer a = fetch(download_handler, "/NetgearUpgrade/fw.bin");
    EXPECT_EQ(a.status, 200);
    EXPECT_TRUE(has_line(a, "Content-Type: application/octet-stream"));
    EXPECT_TRUE(a.body == expected_bytes(0, 70000));

    a = fetch(download_handler, "/file%3A/some/where/fw.bin", "", HTTP_HEAD);
    EXPECT_TRUE(has_line(a, "Content-Length: 70000"));
    EXPECT_EQ(a.body, "");

    for (const char* url : {"/NetgearUpgrade/..", "/NetgearUpgrade/..%2Fsecret.txt",
                            "/NetgearUpgrade/", "/NetgearUpgrade/missing.bin"}) {
        EXPECT_EQ(fetch(download_handler, url).status, 404) << url;
    }
}

} // namespace
