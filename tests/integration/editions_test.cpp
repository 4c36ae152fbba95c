// What sets the two programs apart beyond their file types: the resource
// pack that only the full edition carries, the music edition's own status
// page, and the library file the full edition writes, which the music
// edition reads.
#include "mp3_writer.h"
#include "support/child_process.h"
#include "support/content_directory.h"
#include "support/http_client.h"
#include "support/jpeg_files.h"
#include "support/server_process.h"
#include "support/temp_dir.h"

#include <csignal>
#include <filesystem>
#include <gtest/gtest.h>
#include <regex>

using namespace std::chrono_literals;

namespace
{

const std::vector<std::string> kLoopback = {"-ip", "127.0.0.1", "-radio", "0", "-v", "13"};

std::string get(int port, const std::string& path, int* status = nullptr)
{
    const auto answer = http_exchange(
        port, "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\n\r\n");
    if (status) {
        *status = answer ? answer->status : 0;
    }
    return answer ? answer->body : "";
}

int port_of(const ChildProcess& p)
{
    int port = 0;
    wait_until(
        [&] {
            std::smatch m;
            const std::string out = p.out();
            static const std::regex started("Server starting at 127\\.0\\.0\\.1:(\\d+)");
            if (std::regex_search(out, m, started)) {
                port = std::stoi(m[1]);
                return true;
            }
            return false;
        },
        10s);
    return port;
}

TEST(Editions, OnlyTheFullEditionCarriesThePack)
{
    const std::string full = read_text_file(PLENWICK_BIN);
    const std::string music = read_text_file(TESSAMUND_BIN);
    ASSERT_GT(full.size(), 6u);
    EXPECT_EQ(full.substr(full.size() - 2), "QX");
    EXPECT_NE(music.substr(music.size() - 2), "QX");

    ServerUnderTest plenwick(PLENWICK_BIN);
    ServerUnderTest tessamund(TESSAMUND_BIN);
    ASSERT_GT(plenwick.port(), 0);
    ASSERT_GT(tessamund.port(), 0);
    int status = 0;
    EXPECT_NE(get(plenwick.port(), "/configpage/index.htm", &status).find("Hauptframe"),
              std::string::npos);
    EXPECT_EQ(status, 200);
    get(tessamund.port(), "/configpage/index.htm", &status);
    EXPECT_EQ(status, 404);

    // The music edition's status page ends with its notice; the full one
    // shows the picture settings instead.
    const std::string music_status = get(tessamund.port(), "/configpage/status.htm");
    EXPECT_NE(music_status.find("Upgrade to the full Plenwick"), std::string::npos);
    EXPECT_EQ(music_status.find("image specific settings"), std::string::npos);
    EXPECT_EQ(music_status.find("jpg"), std::string::npos) << "no picture types listed";
    const std::string full_status = get(plenwick.port(), "/configpage/status.htm");
    EXPECT_EQ(full_status.find("Upgrade to the full Plenwick"), std::string::npos);
    EXPECT_NE(full_status.find("image specific settings"), std::string::npos);

    // Read through a name that is not the server's (DNS rebinding), the pages
    // and the play status show nothing.
    for (const char* path : {"/configpage/general.htm", "/rpc/playing"}) {
        const auto foreign =
            http_exchange(plenwick.port(),
                          std::string("GET ") + path + " HTTP/1.1\r\nHost: evil.example\r\n\r\n");
        ASSERT_TRUE(foreign) << path;
        EXPECT_EQ(foreign->status, 403) << path;
    }
}

TEST(Editions, MusicEditionReadsTheFullEditionsLibraryFile)
{
    TempDir content;
    ASSERT_TRUE(
        write_bytes(content.file("song.mp3"),
                    concat({id3v2_tag({{"TIT2", id3_latin1("Shared Song")}}), mpeg_frames(40)})));
    write_jpeg(content.file("photo.jpg"), 64, 48,
               [](int, int, uint8_t rgb[3]) { rgb[0] = rgb[1] = rgb[2] = 90; });
    std::vector<std::string> args = kLoopback;
    args.insert(args.end(), {"-contentdir", content.path, "-dbfile", "library.db"});

    TempDir full_dir;
    {
        ChildProcess full(PLENWICK_BIN, args, full_dir.path);
        ASSERT_TRUE(
            wait_until([&] { return std::filesystem::exists(full_dir.file("library.db")); }, 30s))
            << full.out();
        full.send_signal(SIGTERM);
        ASSERT_EQ(full.wait_exit(20s), 0);
    }
    const std::string library = read_text_file(full_dir.file("library.db"));
    ASSERT_NE(library.find("photo.jpg"), std::string::npos) << "the full edition keeps pictures";

    TempDir music_dir;
    write_text_file(music_dir.file("library.db"), library);
    ChildProcess music(TESSAMUND_BIN, args, music_dir.path);
    const int port = port_of(music);
    ASSERT_GT(port, 0) << music.out();
    ASSERT_TRUE(wait_until(
        [&] { return music.out().find("read on persistance DB completed!") != std::string::npos; },
        20s))
        << music.out();
    // Everything below the root, searched: the song, and no picture.
    const std::string found = xml_unescape(content_directory_call(
        port, "Search",
        "<ContainerID>0</ContainerID><SearchCriteria>*</SearchCriteria><Filter>*</Filter>"
        "<StartingIndex>0</StartingIndex><RequestedCount>0</RequestedCount><SortCriteria>"
        "</SortCriteria>"));
    EXPECT_NE(found.find("Shared Song"), std::string::npos) << found;
    EXPECT_EQ(found.find("photo"), std::string::npos) << found;
    EXPECT_EQ(music.out().find("ERROR"), std::string::npos) << music.out();
    music.send_signal(SIGTERM);
    EXPECT_EQ(music.wait_exit(20s), 0);
}

} // namespace
