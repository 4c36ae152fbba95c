// Album art and playlists of the real program over loopback, read by clients
// this project did not write: ffmpeg decodes the album art that a listing
// points to, and ffprobe plays the children of a scanned playlist.
#include "mp3_writer.h"
#include "support/child_process.h"
#include "support/content_directory.h"
#include "support/http_client.h"
#include "support/jpeg_files.h"
#include "support/server_process.h"
#include "wma_writer.h"

#include <gtest/gtest.h>
#include <regex>
#include <set>
#include <unistd.h>

using namespace std::chrono_literals;

namespace
{

Bytes to_bytes(const std::string& s)
{
    return Bytes(s.begin(), s.end());
}

std::string browse(int port, const std::string& id, const char* flag)
{
    return xml_unescape(content_directory_call(
        port, "Browse",
        "<ObjectID>" + id + "</ObjectID><BrowseFlag>" + flag +
            "</BrowseFlag><Filter>*</Filter><StartingIndex>0</StartingIndex>"
            "<RequestedCount>0</RequestedCount><SortCriteria></SortCriteria>"));
}

// The id of the container titled title, by a walk of the tree from the root.
std::string find_container(int port, const std::string& title)
{
    static const std::regex container_re(
        "<container id=\"([^\"]+)\"[^>]*>.*?<dc:title>([^<]*)</dc:title>");
    std::vector<std::string> pending = {"0"};
    for (size_t step = 0; step < pending.size() && step < 200; ++step) {
        const std::string didl = browse(port, pending[step], "BrowseDirectChildren");
        for (auto it = std::sregex_iterator(didl.begin(), didl.end(), container_re);
             it != std::sregex_iterator(); ++it) {
            if ((*it)[2] == title) {
                return (*it)[1];
            }
            pending.push_back((*it)[1]);
        }
    }
    return "";
}

int64_t content_length(const RawHttpAnswer& a)
{
    std::smatch m;
    static const std::regex length_re("Content-Length: ([0-9]+)");
    return std::regex_search(a.head, m, length_re) ? std::stoll(m[1]) : -1;
}

std::string path_of(const std::string& url)
{
    return url.substr(url.find('/', strlen("http://")));
}

TEST(MusicFiles, FfmpegDecodesAlbumArtAndPlaysAPlaylist)
{
    if (access("/usr/bin/ffprobe", X_OK) != 0 || access("/usr/bin/ffmpeg", X_OK) != 0) {
        GTEST_SKIP() << "ffmpeg is not installed";
    }
    TempDir music;
    const Bytes jpeg = to_bytes(
        make_jpeg(64, 48, [](int x, int y, uint8_t rgb[3]) { smooth_pixel(64, 48, x, y, rgb); }));
    Bytes apic = {0};
    for (char c : std::string("image/jpeg")) {
        apic.push_back(static_cast<uint8_t>(c));
    }
    apic.insert(apic.end(), {0, 3, 0});
    apic.insert(apic.end(), jpeg.begin(), jpeg.end());
    write_bytes(
        music.file("cover.mp3"),
        concat({id3v2_tag({{"TIT2", id3_latin1("Covered")}, {"APIC", apic}}), mpeg_frames(120)}));
    Bytes picture = {3};
    put32(picture, static_cast<uint32_t>(jpeg.size()));
    const Bytes mime = utf16("image/jpeg");
    picture.insert(picture.end(), mime.begin(), mime.end());
    put16(picture, 0);
    picture.insert(picture.end(), jpeg.begin(), jpeg.end());
    write_bytes(music.file("tune.wma"),
                wma_file("Windows Tune", "Band", {{"WM/Picture", 1, picture}}));
    write_bytes(music.file("plain.mp3"),
                concat({id3v2_tag({{"TIT2", id3_latin1("Plain")}}), mpeg_frames(120)}));
    write_text_file(music.file("Road Trip.m3u"), "#EXTM3U\ncover.mp3\nplain.mp3\n");

    ServerUnderTest server(PLENWICK_BIN, {"-contentdir", music.path, "-v", "13"});
    ASSERT_GT(server.port(), 0);
    ASSERT_TRUE(server.scan_completed(music.path));
    const std::string didl = xml_unescape(content_directory_call(
        server.port(), "Search",
        "<ContainerID>0</ContainerID><SearchCriteria>upnp:class derivedfrom "
        "&quot;object.item.audioItem&quot;</SearchCriteria><Filter>*</Filter>"
        "<StartingIndex>0</StartingIndex><RequestedCount>0</RequestedCount>"
        "<SortCriteria></SortCriteria>"));
    // The items themselves, not their references in the views.
    static const std::regex art_re("<item (?![^>]*refID)[^>]*>(?:(?!</item>).)*?"
                                   "<upnp:albumArtURI[^>]*>([^<]+)</upnp:albumArtURI>");
    std::set<std::string> urls;
    for (auto it = std::sregex_iterator(didl.begin(), didl.end(), art_re);
         it != std::sregex_iterator(); ++it) {
        urls.insert((*it)[1]);
    }
    EXPECT_EQ(urls.size(), 2u);
    bool mp3_art = false;
    bool wma_art = false;
    TempDir players;
    for (const std::string& url : urls) {
        mp3_art = mp3_art || url.find("albumart-mp3/") != std::string::npos;
        wma_art = wma_art || url.find("albumart-wma/") != std::string::npos;
        auto head = http_exchange(server.port(), "HEAD " + path_of(url) + " HTTP/1.1\r\n\r\n");
        auto get = http_exchange(server.port(), "GET " + path_of(url) + " HTTP/1.1\r\n\r\n");
        ASSERT_TRUE(head && get) << url;
        EXPECT_EQ(content_length(*head), static_cast<int64_t>(get->body.size())) << url;
        EXPECT_EQ(get->body, std::string(jpeg.begin(), jpeg.end())) << url;
        ChildProcess probe(
            "/usr/bin/ffprobe",
            {"-v", "error", "-show_entries", "stream=width,height", "-of", "csv=p=0", url},
            players.path);
        ASSERT_EQ(probe.wait_exit(30s), 0) << url << probe.err();
        EXPECT_EQ(probe.out(), "64,48\n") << url;
        ChildProcess decode("/usr/bin/ffmpeg",
                            {"-v", "error", "-xerror", "-i", url, "-f", "null", "-"}, players.path);
        EXPECT_EQ(decode.wait_exit(30s), 0) << url << decode.err();
        EXPECT_EQ(decode.err(), "") << url;
    }
    EXPECT_TRUE(mp3_art && wma_art) << didl;

    const std::string list = find_container(server.port(), "Road Trip");
    ASSERT_FALSE(list.empty());
    const std::string children = browse(server.port(), list, "BrowseDirectChildren");
    static const std::regex res_re("<res[^>]*>([^<]+)</res>");
    int played = 0;
    for (auto it = std::sregex_iterator(children.begin(), children.end(), res_re);
         it != std::sregex_iterator(); ++it) {
        ChildProcess probe(
            "/usr/bin/ffprobe",
            {"-v", "error", "-show_entries", "format=duration", "-of", "csv=p=0", (*it)[1]},
            players.path);
        ASSERT_EQ(probe.wait_exit(30s), 0) << probe.err();
        EXPECT_GT(std::stod(probe.out()), 2.0);
        ++played;
    }
    EXPECT_EQ(played, 2) << children;
    EXPECT_NE(browse(server.port(), list, "BrowseMetadata").find("playlistContainer"),
              std::string::npos);
    EXPECT_EQ(server.stop(), 0);
}

} // namespace
