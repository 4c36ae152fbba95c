#include "db/auto_playlists.h"
#include "delivery/disk_handler.h"
#include "delivery_fixture.h"

#include <chrono>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace
{

using DiskHandler = DeliveryTest;

int play_count(const std::string& path)
{
    const DbLock lock = db_lock();
    return db_find_item_for_class(lock, path, kClassMusicTrack)->play_count;
}

TEST_F(DiskHandler, ByteRangesOfAThousandByteFile)
{
    const std::string id = add_item(sized_file("a.mp3", 1000));
    const std::string url = "/disk/" + id + ".mp3";

    Answer a = fetch(disk_handler, url, "Range: bytes=100-\r\n");
    EXPECT_EQ(a.status, 206);
    EXPECT_TRUE(has_line(a, "Content-Range: bytes 100-999/1000")) << a.head;
    EXPECT_TRUE(has_line(a, "Content-Length: 900"));
    EXPECT_TRUE(a.body == expected_bytes(100, 900));
    EXPECT_EQ(last_result, HTTP_KEEP);

    // A suffix is the last bytes of the file, as players read tags at the end.
    a = fetch(disk_handler, url, "Range: bytes=-500\r\n");
    EXPECT_EQ(a.status, 206);
    EXPECT_TRUE(has_line(a, "Content-Range: bytes 500-999/1000")) << a.head;
    EXPECT_TRUE(a.body == expected_bytes(500, 500));

    for (const char* end : {"1000", "5000"}) {
        a = fetch(disk_handler, url, std::string("Range: bytes=0-") + end + "\r\n");
        EXPECT_TRUE(has_line(a, "Content-Range: bytes 0-999/1000")) << end;
        EXPECT_EQ(a.body.size(), 1000u);
    }

    a = fetch(disk_handler, url, "Range: bytes=600-200\r\n");
    EXPECT_TRUE(has_line(a, "Content-Range: bytes 600-600/1000")) << a.head;
    EXPECT_TRUE(a.body == expected_bytes(600, 1));

    a = fetch(disk_handler, url);
    EXPECT_EQ(a.status, 200);
    EXPECT_EQ(a.head.find("Content-Range"), std::string::npos);
    EXPECT_TRUE(a.body == expected_bytes(0, 1000));
}

TEST_F(DiskHandler, RangeBeyondTheEndIsNotSatisfiable)
{
    const std::string id = add_item(sized_file("a.mp3", 1000));
    for (const char* range : {"bytes=1000-", "bytes=99999999999999999999-"}) {
        Answer a =
            fetch(disk_handler, "/disk/" + id + ".mp3", std::string("Range: ") + range + "\r\n");
        EXPECT_EQ(a.status, 416) << range;
        EXPECT_TRUE(has_line(a, "Content-Range: bytes */1000")) << a.head;
        EXPECT_TRUE(has_line(a, "Content-Length: 0"));
        EXPECT_EQ(a.body, "");
        EXPECT_EQ(last_result, HTTP_KEEP) << "the connection stays usable";
    }
}

// Every combination of the range fields gets the answer of the one the range
// parser takes: bytes win, then the DLNA time seek (status 200 with its
// range), then the older seek field (a byte range). A time seek goes at the
// average byte rate: 100 s and 1 000 000 bytes are 10 bytes per millisecond.
TEST_F(DiskHandler, EachCombinationOfRangeFieldsGetsOneAnswer)
{
    const std::string id = add_item(sized_file("a.mp3", 1000000), kClassMusicTrack, "0:01:40.000");
    const std::string url = "/disk/" + id + ".mp3";
    const std::string bytes = "Range: bytes=10-19\r\n";
    const std::string time = "TimeSeekRange.dlna.org: npt=10-\r\n";
    const std::string seek = "X-Seek-Range: npt=20-30\r\n";
    struct Case {
        std::string fields;
        int status;
        const char* content_range; // null: none
        const char* time_seek;     // the TimeSeekRange answer line; null: none
        size_t length;
    };
    const char* time_range = "Content-Range: bytes 100000-999999/1000000";
    const char* time_line =
        "TimeSeekRange.dlna.org: npt=10.000-100.000/100.000 bytes=100000-999999/1000000";
    for (const Case& k : {
             Case{"", 200, nullptr, nullptr, 1000000},
             Case{bytes, 206, "Content-Range: bytes 10-19/1000000", nullptr, 10},
             Case{time, 200, time_range, time_line, 900000},
             Case{seek, 206, "Content-Range: bytes 200000-300000/1000000", nullptr, 100001},
             Case{bytes + time, 206, "Content-Range: bytes 10-19/1000000", nullptr, 10},
             Case{time + bytes, 206, "Content-Range: bytes 10-19/1000000", nullptr, 10},
             Case{bytes + seek, 206, "Content-Range: bytes 10-19/1000000", nullptr, 10},
             Case{seek + time, 200, time_range, time_line, 900000},
         }) {
        const Answer a = fetch(disk_handler, url, k.fields);
        EXPECT_EQ(a.status, k.status) << k.fields;
        EXPECT_EQ(a.head.find("Content-Range") != std::string::npos, k.content_range != nullptr)
            << k.fields << a.head;
        if (k.content_range) {
            EXPECT_TRUE(has_line(a, k.content_range)) << k.fields << a.head;
        }
        EXPECT_EQ(a.head.find("TimeSeekRange") != std::string::npos, k.time_seek != nullptr)
            << k.fields << a.head;
        if (k.time_seek) {
            EXPECT_TRUE(has_line(a, k.time_seek)) << k.fields << a.head;
        }
        EXPECT_EQ(a.body.size(), k.length) << k.fields;
    }
    EXPECT_TRUE(fetch(disk_handler, url, time).body.substr(0, 100) == expected_bytes(100000, 100));

    // Hundreds of hours times the rate stays inside the file's arithmetic.
    EXPECT_EQ(fetch(disk_handler, url, "TimeSeekRange.dlna.org: npt=999999999:00:00-\r\n").status,
              416);
}

TEST_F(DiskHandler, TimeSeekWithoutDurationIsNotAcceptable)
{
    // Bitrate 0: the duration is unknown, so there is no rate to seek by.
    const std::string id = add_item(sized_file("a.mp3", 5000), kClassMusicTrack, "0:01:40.000", 0);
    Answer a = fetch(disk_handler, "/disk/" + id + ".mp3", "TimeSeekRange.dlna.org: npt=1-\r\n");
    EXPECT_EQ(a.status, 406) << a.head;
    EXPECT_EQ(a.body, "");
    // The older seek header still plays the file from its start.
    a = fetch(disk_handler, "/disk/" + id + ".mp3", "X-Seek-Range: npt=1-\r\n");
    EXPECT_EQ(a.status, 200);
    EXPECT_EQ(a.head.find("Content-Range"), std::string::npos) << a.head;
    EXPECT_EQ(a.body.size(), 5000u);
}

TEST_F(DiskHandler, HeadSendsTheSameHeadWithoutBody)
{
    const std::string path = sized_file("a.mp3", 1000);
    const std::string id = add_item(path);
    Answer get = fetch(disk_handler, "/disk/" + id + ".mp3", "Range: bytes=100-\r\n");
    Answer head = fetch(disk_handler, "/disk/" + id + ".mp3", "Range: bytes=100-\r\n", HTTP_HEAD);
    EXPECT_EQ(head.body, "");
    EXPECT_EQ(head.status, 206);
    EXPECT_TRUE(has_line(head, "Content-Length: 900"));
    EXPECT_TRUE(has_line(head, "Content-Range: bytes 100-999/1000"));
    EXPECT_TRUE(has_line(head, "Content-Type: audio/mpeg"));
    EXPECT_EQ(play_count(path), 0) << "neither starts the item";
    EXPECT_NE(get.head.find("audio/mpeg"), std::string::npos);
}

TEST_F(DiskHandler, LinearPcmIsTypedFromItsName)
{
    const std::string path = sized_file("Song 48k Mono.lpcm", 64);
    const std::string id = add_item(path);
    Answer a = fetch(disk_handler, "/disk/" + id + "_DLNA_LPCM.lpcm");
    EXPECT_TRUE(has_line(a, "Content-Type: audio/L16;rate=48000;channels=1")) << a.head;
    EXPECT_TRUE(a.body == expected_bytes(0, 64)) << "the samples go out as stored";

    a = fetch(disk_handler, "/disk/" + id + ".LPCM");
    EXPECT_TRUE(has_line(a, "Content-Type: audio/L16;rate=48000;channels=1")) << a.head;

    const std::string stereo = add_item(sized_file("Song.lpcm", 64));
    a = fetch(disk_handler, "/disk/" + stereo + ".lpcm");
    EXPECT_TRUE(has_line(a, "Content-Type: audio/L16;rate=44100;channels=2")) << a.head;

    // A resumed stream never takes the ".lpcm" form: the table's plain type.
    a = fetch(continue_handler, "/continue/" + id + "_0.lpcm");
    EXPECT_TRUE(has_line(a, "Content-Type: audio/L16")) << a.head;
}

TEST_F(DiskHandler, IndexFilesComeFromTheIndexDirectory)
{
    const std::string video = sized_file("films/a.avi", 3000);
    const std::string id = add_item(video, kClassMovie);
    // Without "idxdir" the index request serves the video itself.
    Answer a = fetch(disk_handler, "/disk/" + id + ".avi.idx");
    EXPECT_EQ(a.body.size(), 3000u);
    EXPECT_TRUE(has_line(a, "Content-Type: video/x-msvideo")) << a.head;

    setting_set(KEY_IDXDIR, dir.file("idx"));
    sized_file("idx/a.avi.idx", 40);
    a = fetch(disk_handler, "/disk/" + id + ".avi.idx");
    EXPECT_EQ(a.body.size(), 40u);
    EXPECT_TRUE(has_line(a, "Content-Type: application/octet-stream")) << a.head;

    EXPECT_EQ(index_file_path("/media/films/a.avi"), dir.file("idx") + "/a.avi.idx");
    setting_set(KEY_IDXDIR, "/var/idx/");
    EXPECT_EQ(index_file_path("/media/films/a.avi"), "/var/idx/a.avi.idx");
    EXPECT_EQ(index_file_path("/a.avi"), "/var/idx/") << "no directory part: the directory";

    // No index made yet: nothing to serve.
    a = fetch(disk_handler, "/disk/" + id + ".avi.idx");
    EXPECT_EQ(a.status, 404);
}

TEST_F(DiskHandler, ContinueResumesAtItsOffsetWhateverTheClientAsked)
{
    const std::string id = add_item(sized_file("a.mp3", 8000));
    Answer a = fetch(continue_handler, "/continue/" + id + "_5000.mp3", "Range: bytes=10-\r\n");
    EXPECT_EQ(a.status, 206);
    EXPECT_TRUE(has_line(a, "Content-Range: bytes 5000-7999/8000")) << a.head;
    EXPECT_TRUE(a.body == expected_bytes(5000, 3000));

    // A time seek of the client is ignored too, and the answer says 206.
    a = fetch(continue_handler, "/continue/" + id + "_7000.mp3",
              "TimeSeekRange.dlna.org: npt=1-\r\n");
    EXPECT_EQ(a.status, 206);
    EXPECT_TRUE(a.body == expected_bytes(7000, 1000));

    a = fetch(continue_handler, "/continue/" + id + ".mp3");
    EXPECT_EQ(a.status, 206) << "no offset: from the start";
    EXPECT_EQ(a.body.size(), 8000u);
}

TEST_F(DiskHandler, UnknownObjectsAndMissingFilesAreNotFound)
{
    const std::string path = sized_file("a.mp3", 10);
    const std::string id = add_item(path);
    EXPECT_EQ(fetch(disk_handler, "/disk/99999.mp3").status, 404);
    EXPECT_EQ(fetch(disk_handler, "/disk/0").status, 404) << "a container has no file";
    EXPECT_EQ(fetch(continue_handler, "/continue/99999_5.mp3").status, 404);
    unlink(path.c_str());
    EXPECT_EQ(fetch(disk_handler, "/disk/" + id + ".mp3").status, 404);
    EXPECT_EQ(play_count(path), 0);

    // Without its keyword the URL cannot be answered at all.
    CapturedConnection cap("/diskette");
    EXPECT_EQ(disk_handler(&cap.c), HTTP_CLOSE);
    EXPECT_EQ(cap.sent(), "");
}

TEST_F(DiskHandler, ClientClosingMidBodyEndsTheStream)
{
    const std::string id = add_item(sized_file("a.mp3", 8 << 20));
    CapturedConnection cap(("/disk/" + id + ".mp3").c_str());
    snprintf(cap.c.client_ip.data(), cap.c.client_ip.size(), "127.0.0.1");
    std::thread reader([&] {
        char buf[4096];
        ssize_t got = 0;
        while (got < 100000) {
            const ssize_t n = read(cap.fds[1], buf, sizeof buf);
            if (n <= 0) {
                break;
            }
            got += n;
        }
        close(cap.fds[1]);
        cap.fds[1] = -1;
    });
    EXPECT_EQ(disk_handler(&cap.c), HTTP_CLOSE);
    reader.join();
}

TEST_F(DiskHandler, PlayStatusFollowsTheStream)
{
    const std::string id = add_item(sized_file("a.mp3", 5000));
    fetch(disk_handler, "/disk/" + id + ".mp3", "", HTTP_GET, "10.0.0.7");
    auto rows = play_status_rows();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].client, "10.0.0.7");
    EXPECT_EQ(std::to_string(rows[0].object_id), id);
    // Without a range the position counts from -1.
    EXPECT_EQ(rows[0].position, 4999);

    fetch(disk_handler, "/disk/" + id + ".mp3", "Range: bytes=1000-1999\r\n", HTTP_GET, "10.0.0.7");
    rows = play_status_rows();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].position, 2000);
}

// The player that needs it gets the body at the item's byte rate, about a
// second ahead of play time; everyone else as fast as it goes.
TEST_F(DiskHandler, NetgearMp101IsPacedToTheItemsRate)
{
    // Ten seconds at 10 000 bytes a second.
    const std::string id = add_item(sized_file("a.mp3", 100000), kClassMusicTrack, "0:00:10.000");
    client_register(1, "127.0.0.9");
    auto begin = std::chrono::steady_clock::now();
    Answer a = fetch(disk_handler, "/disk/" + id + ".mp3", "", HTTP_GET, "127.0.0.9");
    const double paced =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    EXPECT_EQ(a.body.size(), 100000u);
    EXPECT_GT(paced, 6.5);
    EXPECT_LT(paced, 12.0);

    begin = std::chrono::steady_clock::now();
    a = fetch(disk_handler, "/disk/" + id + ".mp3", "", HTTP_GET, "127.0.0.10");
    const double unpaced =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    EXPECT_EQ(a.body.size(), 100000u);
    EXPECT_LT(unpaced, 3.0);
}

// Each player is sent the type it was told in the listing: Samsung
// televisions play Matroska only under their own name for it.
TEST_F(DiskHandler, MatroskaIsSentUnderTheNameThePlayerReads)
{
    const std::string id = add_item(sized_file("film.mkv", 1000), kClassMovie);
    const std::string url = "/disk/" + id + ".mkv";
    Answer a =
        fetch(disk_handler, url, "User-Agent: DLNADOC/1.50 SEC_HHP_[TV] UE55/1.0 UPnP/1.0\r\n");
    EXPECT_TRUE(has_line(a, "Content-Type: video/x-mkv")) << a.head;
    a = fetch(disk_handler, url, "User-Agent: Kodi/20.2\r\n");
    EXPECT_TRUE(has_line(a, "Content-Type: video/x-matroska")) << a.head;
}

} // namespace
