// Streams, the remote control and events of the real program over loopback,
// with clients this project did not write: ffprobe and ffmpeg play the URLs
// a Search hands out, and the GUPnP control point subscribes to events.
#include "mp3_writer.h"
#include "support/child_process.h"
#include "support/content_directory.h"
#include "support/event_listener.h"
#include "support/http_client.h"
#include "support/server_process.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <regex>
#include <unistd.h>

using namespace std::chrono_literals;

namespace
{

struct Resource {
    std::string title;
    std::string url;
    std::string duration;
};

// Every item with its first res, by a Search of the whole tree, without the
// references of the views.
std::vector<Resource> search_items(int port)
{
    const std::string answer = content_directory_call(
        port, "Search",
        "<ContainerID>0</ContainerID><SearchCriteria>upnp:class derivedfrom "
        "&quot;object.item&quot;</SearchCriteria><Filter>*</Filter><StartingIndex>0"
        "</StartingIndex><RequestedCount>0</RequestedCount><SortCriteria></SortCriteria>");
    std::vector<Resource> items;
    const std::string didl = xml_unescape(xml_unescape(answer));
    static const std::regex item_re("<item (?![^>]*refID)[^>]*>.*?<dc:title>([^<]*)</dc:title>.*?"
                                    "<res([^>]*)>([^<]*)</res>");
    static const std::regex duration_re("duration=\"([^\"]*)\"");
    for (auto it = std::sregex_iterator(didl.begin(), didl.end(), item_re);
         it != std::sregex_iterator(); ++it) {
        Resource r;
        r.title = (*it)[1];
        r.url = (*it)[3];
        const std::string attributes = (*it)[2];
        std::smatch m;
        if (std::regex_search(attributes, m, duration_re)) {
            r.duration = m[1];
        }
        items.push_back(r);
    }
    return items;
}

double seconds_of(const std::string& duration)
{
    int h = 0, m = 0;
    double s = 0;
    sscanf(duration.c_str(), "%d:%d:%lf", &h, &m, &s);
    return h * 3600 + m * 60 + s;
}

bool have(const char* program)
{
    return access(program, X_OK) == 0;
}

TEST(Delivery, FfprobeAndFfmpegPlayTheUrlsASearchHandsOut)
{
    if (!have("/usr/bin/ffprobe") || !have("/usr/bin/ffmpeg")) {
        GTEST_SKIP() << "ffmpeg is not installed";
    }
    TempDir music;
    // About 20 seconds, with a tag; and a file of frames alone, which ffmpeg
    // copies byte for byte.
    write_bytes(music.path + "/tagged.mp3",
                concat({id3v2_tag({{"TIT2", id3_latin1("Tagged")}}), mpeg_frames(766)}));
    const Bytes raw = mpeg_frames(400);
    write_bytes(music.path + "/raw.mp3", raw);
    // Two seconds of a test picture as MPEG-1 video.
    ChildProcess make_video("/usr/bin/ffmpeg",
                            {"-v", "error", "-f", "lavfi", "-i",
                             "testsrc=duration=2:size=160x120:rate=25", "-c:v", "mpeg1video",
                             music.path + "/clip.mpg"},
                            music.path);
    ASSERT_EQ(make_video.wait_exit(30s), 0) << make_video.err();
    std::filesystem::remove(music.path + "/stdout.txt");
    std::filesystem::remove(music.path + "/stderr.txt");
    ServerUnderTest server(PLENWICK_BIN, {"-contentdir", music.path, "-v", "13"});
    ASSERT_GT(server.port(), 0);
    ASSERT_TRUE(server.scan_completed(music.path));
    const std::vector<Resource> items = search_items(server.port());
    ASSERT_EQ(items.size(), 3u);
    // The players keep their output apart from the server's.
    TempDir players;
    for (const Resource& item : items) {
        if (item.title == "Clip") {
            ChildProcess probe("/usr/bin/ffprobe",
                               {"-v", "error", "-show_entries", "stream=codec_type,width", "-of",
                                "csv=p=0", item.url},
                               players.path);
            ASSERT_EQ(probe.wait_exit(30s), 0) << probe.err();
            EXPECT_EQ(probe.out(), "video,160\n");
            continue;
        }
        ChildProcess probe(
            "/usr/bin/ffprobe",
            {"-v", "error", "-show_entries", "format=duration", "-of", "csv=p=0", item.url},
            players.path);
        ASSERT_EQ(probe.wait_exit(30s), 0) << probe.err();
        EXPECT_NEAR(std::stod(probe.out()), seconds_of(item.duration), 1.0)
            << item.title << " " << item.duration;
        if (item.title == "Tagged") {
            continue;
        }
        const std::string copy = players.path + "/copy.bin";
        ChildProcess ffmpeg("/usr/bin/ffmpeg",
                            {"-v", "error", "-y", "-f", "data", "-i", item.url, "-map", "0", "-c",
                             "copy", "-f", "data", copy},
                            players.path);
        ASSERT_EQ(ffmpeg.wait_exit(30s), 0) << ffmpeg.err();
        const std::string received = read_text_file(copy);
        EXPECT_EQ(received.size(), raw.size());
        EXPECT_TRUE(received == std::string(raw.begin(), raw.end()));
    }
    EXPECT_EQ(server.stop(), 0);
}

TEST(Delivery, PlayingPageBeforeAndDuringAStream)
{
    TempDir music;
    write_bytes(music.path + "/long.mp3",
                concat({id3v2_tag({{"TIT2", id3_latin1("Long")}}), mpeg_frames(60000)}));
    ServerUnderTest server(PLENWICK_BIN, {"-contentdir", music.path, "-v", "13"});
    ASSERT_TRUE(server.scan_completed(music.path));
    auto page = http_exchange(server.port(), "GET /rpc/playing HTTP/1.1\r\n\r\n");
    ASSERT_TRUE(page);
    EXPECT_EQ(page->body, "playing<br>\n");
    EXPECT_NE(page->head.find("\r\nPragma: no-cache\r\n"), std::string::npos);

    const std::vector<Resource> items = search_items(server.port());
    ASSERT_EQ(items.size(), 1u);
    const std::string path = items[0].url.substr(items[0].url.find("/disk/"));
    const std::string id = path.substr(6, path.find('.') - 6);
    // The player takes the head and a little of the body, then stops reading.
    RawHttpClient player(server.port());
    player.send_text("GET " + path + " HTTP/1.1\r\nHost: x\r\n\r\n");
    ASSERT_TRUE(player.read_answer(10s, true));
    std::string row;
    ASSERT_TRUE(wait_until(
        [&] {
            auto p = http_exchange(server.port(), "GET /rpc/playing HTTP/1.1\r\n\r\n");
            row = p ? p->body : "";
            return row.find("127.0.0.1\t" + id + "\t") != std::string::npos;
        },
        5s))
        << row;
    EXPECT_NE(row.find("\taudio/mpeg\tLong\t\t<br>\n"), std::string::npos) << row;
    EXPECT_EQ(server.stop(), 0);
}

TEST(Delivery, SubscriptionOverLoopback)
{
    ServerUnderTest server(PLENWICK_BIN);
    ASSERT_GT(server.port(), 0);
    EventListener listener;
    auto answer = http_exchange(server.port(), "SUBSCRIBE /ContentDirectory/Event HTTP/1.1\r\n"
                                               "HOST: 127.0.0.1\r\nCALLBACK: " +
                                                   listener.callback() +
                                                   "\r\nNT: upnp:event\r\nTIMEOUT: "
                                                   "Second-1800\r\n\r\n");
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->head.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << answer->head;
    EXPECT_NE(answer->head.find("\r\nTIMEOUT: second-300\r\n"), std::string::npos);
    auto ev = listener.event(0, 5s);
    ASSERT_TRUE(ev);
    EXPECT_EQ(ev->header("SEQ"), "0");
    EXPECT_NE(ev->body.find("<SystemUpdateID>"), std::string::npos);
    const std::string sid = ev->header("SID");

    // The server sends nothing anywhere but to the subscriber itself.
    auto foreign = http_exchange(server.port(), "SUBSCRIBE /ContentDirectory/Event HTTP/1.1\r\n"
                                                "CALLBACK: <http://10.0.0.5:4004/evt>\r\n"
                                                "NT: upnp:event\r\n\r\n");
    ASSERT_TRUE(foreign);
    EXPECT_EQ(foreign->status, 412);

    auto gone = http_exchange(server.port(), "UNSUBSCRIBE /ContentDirectory/Event HTTP/1.1\r\n"
                                             "SID: " +
                                                 sid + "\r\n\r\n");
    ASSERT_TRUE(gone);
    EXPECT_EQ(gone->status, 200);
    EXPECT_EQ(server.stop(), 0);
}

TEST(Delivery, GupnpReceivesTheInitialAndTheChangeEvent)
{
    TempDir music;
    write_bytes(music.path + "/first.mp3", mpeg_frames(10));
    TempDir spare;
    const std::string added = spare.path + "/added.mp3";
    write_bytes(added, concat({id3v2_tag({{"TIT2", id3_latin1("Added")}}), mpeg_frames(10)}));
    ServerUnderTest server(PLENWICK_BIN, {"-contentdir", music.path, "-v", "13"});
    ASSERT_TRUE(server.scan_completed(music.path));
    const ScriptRun run = run_python_script(
        {GUPNP_EVENTS_SCRIPT, std::to_string(server.port()), added, music.path}, 60s);
    ASSERT_TRUE(run.status) << "the control point did not finish";
    if (*run.status == 77) {
        GTEST_SKIP() << "GUPnP is not installed (python3-gi, gir1.2-gupnp-1.6): " << run.out;
    }
    EXPECT_EQ(*run.status, 0) << run.out << run.err;
    EXPECT_EQ(server.stop(), 0);
}

} // namespace
