// Filling the tree from the content directories and keeping it across
// restarts, with the real program.
#include "mp3_writer.h"
#include "support/child_process.h"
#include "support/content_directory.h"
#include "support/http_client.h"
#include "support/server_process.h"

#include <csignal>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <regex>
#include <thread>

using namespace std::chrono_literals;

namespace
{

void make_library(const std::string& root, int count)
{
    for (int i = 0; i < count; ++i) {
        const std::string dir =
            root + "/Artist " + std::to_string(i % 20) + "/Album " + std::to_string(i % 50);
        std::filesystem::create_directories(dir);
        write_bytes(dir + "/" + std::to_string(i) + " - Song.mp3",
                    concat({id3v2_tag({{"TIT2", id3_latin1("Song " + std::to_string(i))},
                                       {"TPE1", id3_latin1("Artist " + std::to_string(i % 20))}}),
                            mpeg_frames(2)}));
    }
}

std::string read_file(const std::string& path)
{
    std::ifstream in(path);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// With scantime 0 only requests start a pass, and one starts within about a
// second of its request.
TEST(Scan, RequestedRescanWithoutPeriodicPasses)
{
    TempDir music;
    make_library(music.path, 3);
    ServerUnderTest server(PLENWICK_BIN, {"-contentdir", music.path, "-scantime", "0", "-v", "13"});
    ASSERT_GT(server.port(), 0);
    const std::string done = "DB:DB scan on " + music.path + " completed\n";
    ASSERT_TRUE(
        wait_until([&] { return server.process->out().find(done) != std::string::npos; }, 10s));
    auto answer = http_exchange(server.port(), "GET /rescan HTTP/1.1\r\n\r\n");
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->body, "<html><head><title>Rescan</title></head><body>rescan initiated on "
                            "content root directories!</body></html>");
    const auto asked = std::chrono::steady_clock::now();
    EXPECT_TRUE(
        wait_until([&] { return count_occurrences(server.process->out(), done) == 2; }, 5s));
    EXPECT_LT(std::chrono::steady_clock::now() - asked, 2500ms);
    EXPECT_EQ(server.stop(), 0);
}

// A kill while the library is being written leaves a whole file, which the
// next start reads back.
TEST(Scan, KillDuringPersistenceWriteKeepsTheLibrary)
{
    TempDir music;
    const int count = 1500;
    make_library(music.path, count);
    TempDir state;
    const std::string db = state.file("library.db");
    const std::vector<std::string> args = {"-contentdir", music.path, "-dbfile", db, "-v", "13"};
    {
        ServerUnderTest first(PLENWICK_BIN, args);
        ASSERT_TRUE(wait_until([&] { return std::filesystem::exists(db); }, 20s));
        EXPECT_EQ(first.stop(), 0);
    }
    ASSERT_EQ(count_occurrences(read_file(db), "<EOI>\n"), count);
    // The second run reads the file, changes the tree by it and writes it
    // again about five seconds later: it is killed the moment it starts.
    {
        ServerUnderTest second(PLENWICK_BIN, args);
        ASSERT_TRUE(wait_until(
            [&] { return second.process->out().find("DB:writing DB\n") != std::string::npos; },
            20s));
        second.process->send_signal(SIGKILL);
        second.process->wait_exit(5s);
    }
    const std::string after_kill = read_file(db);
    EXPECT_EQ(count_occurrences(after_kill, "<SOI>\n"), count);
    EXPECT_EQ(count_occurrences(after_kill, "<EOI>\n"), count);
    ServerUnderTest third(PLENWICK_BIN, args);
    ASSERT_TRUE(wait_until(
        [&] {
            return third.process->out().find("read on persistance DB completed!") !=
                   std::string::npos;
        },
        20s));
    EXPECT_EQ(third.process->out().find("failed to add item"), std::string::npos);
    EXPECT_EQ(third.stop(), 0);
}

// Title and disk URL path of every item a Search of the whole tree finds.
std::map<std::string, std::string> item_urls(int port)
{
    const std::string answer = content_directory_call(
        port, "Search",
        "<ContainerID>0</ContainerID><SearchCriteria>upnp:class derivedfrom "
        "&quot;object.item&quot;</SearchCriteria><Filter>*</Filter><StartingIndex>0"
        "</StartingIndex><RequestedCount>0</RequestedCount><SortCriteria></SortCriteria>");
    const std::string didl = xml_unescape(xml_unescape(answer));
    static const std::regex item_re("<item (?![^>]*refID)[^>]*>.*?<dc:title>([^<]*)</dc:title>.*?"
                                    "<res[^>]*>http://[^/]*(/[^<]*)</res>");
    std::map<std::string, std::string> items;
    for (auto it = std::sregex_iterator(didl.begin(), didl.end(), item_re);
         it != std::sregex_iterator(); ++it) {
        items[(*it)[1]] = (*it)[2];
    }
    return items;
}

// Links out of the library bring nothing in, a link into another content
// directory does; and what the tree still holds from an earlier
// configuration is not served once it lies outside the content directories.
TEST(Scan, NothingOutsideTheContentDirectoriesIsServed)
{
    TempDir music;
    TempDir shared;
    TempDir outside;
    TempDir state;
    const Bytes frames = mpeg_frames(3);
    write_bytes(music.file("own.mp3"), concat({id3v2_tag({{"TIT2", id3_latin1("Own")}}), frames}));
    write_bytes(shared.file("shared.mp3"), frames);
    write_bytes(outside.file("away.mp3"), frames);
    std::filesystem::create_symlink(shared.file("shared.mp3"), music.file("linked.mp3"));
    std::filesystem::create_symlink("/etc/passwd", music.file("passwd.mp3"));
    std::filesystem::create_directory_symlink(outside.path, music.file("elsewhere"));
    const std::string db = state.file("library.db");
    {
        ServerUnderTest server(PLENWICK_BIN, {"-contentdir", music.path + "," + shared.path,
                                              "-dbfile", db, "-scantime", "0", "-v", "13"});
        ASSERT_TRUE(server.scan_completed(shared.path));
        const auto items = item_urls(server.port());
        EXPECT_EQ(items.size(), 2u);
        EXPECT_TRUE(items.count("Own"));
        ASSERT_TRUE(items.count("Shared"));
        EXPECT_FALSE(items.count("Linked"))
            << "a link into another content directory is the file it leads to";
        EXPECT_FALSE(items.count("Passwd"));
        EXPECT_FALSE(items.count("Away"));
        const auto answer =
            http_exchange(server.port(), "GET " + items.at("Shared") + " HTTP/1.1\r\n\r\n");
        ASSERT_TRUE(answer);
        EXPECT_EQ(answer->status, 200);
        EXPECT_EQ(answer->body.size(), frames.size());
        ASSERT_TRUE(wait_until([&] { return std::filesystem::exists(db); }, 20s));
        EXPECT_EQ(server.stop(), 0);
    }
    // Without the shared directory its file lies outside: the item read
    // back from the library file stays in the tree until a later pass, but
    // its file is not served.
    ServerUnderTest server(
        PLENWICK_BIN, {"-contentdir", music.path, "-dbfile", db, "-scantime", "0", "-v", "13"});
    ASSERT_TRUE(server.scan_completed(music.path));
    const auto items = item_urls(server.port());
    ASSERT_TRUE(items.count("Shared"));
    const auto refused =
        http_exchange(server.port(), "GET " + items.at("Shared") + " HTTP/1.1\r\n\r\n");
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->status, 404);
    EXPECT_EQ(refused->body.find('\xff'), std::string::npos) << "no frame bytes";

    const auto rescan = http_exchange(
        server.port(), "GET /rescan?" + music.path + "/../" +
                           outside.path.substr(outside.path.rfind('/') + 1) + " HTTP/1.1\r\n\r\n");
    ASSERT_TRUE(rescan);
    EXPECT_NE(rescan->body.find("rescan invalid for"), std::string::npos) << rescan->body;
    EXPECT_EQ(server.stop(), 0);
}

// The object id of each of the first files /disk/<id>.mp3 serves: the
// item's own, which it gets before the references of the views.
std::map<std::string, int> item_ids(int port, size_t files)
{
    std::map<std::string, int> ids;
    for (int id = 1; id < 5000 && ids.size() < files; ++id) {
        auto answer =
            http_exchange(port, "GET /disk/" + std::to_string(id) + ".mp3 HTTP/1.1\r\n\r\n");
        // The files differ in their title tag ("Song <n>").
        const size_t title =
            answer && answer->status == 200 ? answer->body.find("Song ") : std::string::npos;
        if (title != std::string::npos) {
            ids.emplace(answer->body.substr(title, answer->body.find("TPE1") - title), id);
        }
    }
    return ids;
}

// A player's saved link names the same file after a restart.
TEST(Scan, ObjectIdsNameTheSameFilesAfterARestart)
{
    TempDir music;
    make_library(music.path, 8);
    TempDir state;
    const std::string db = state.file("library.db");
    const std::vector<std::string> args = {"-contentdir", music.path, "-dbfile", db, "-v", "13"};
    std::map<std::string, int> before;
    {
        ServerUnderTest first(PLENWICK_BIN, args);
        ASSERT_GT(first.port(), 0);
        ASSERT_TRUE(wait_until([&] { return std::filesystem::exists(db); }, 20s));
        before = item_ids(first.port(), 8);
        EXPECT_EQ(first.stop(), 0);
    }
    ASSERT_EQ(before.size(), 8u);
    ServerUnderTest second(PLENWICK_BIN, args);
    ASSERT_GT(second.port(), 0);
    const std::string done = "DB:DB scan on " + music.path + " completed\n";
    ASSERT_TRUE(
        wait_until([&] { return second.process->out().find(done) != std::string::npos; }, 20s));
    EXPECT_EQ(item_ids(second.port(), 8), before);
    EXPECT_EQ(second.stop(), 0);
}

// A tag holding record lines of the persistence file stays a tag: after a
// restart the item is still the file scanned, and no object id serves
// /etc/passwd.
TEST(Scan, TagsCannotForgeRecordsAcrossRestarts)
{
    TempDir music;
    write_bytes(music.path + "/evil.mp3",
                concat({id3v2_tag({{"TIT2", id3_latin1("Evil\nRE:/etc/passwd")},
                                   {"TPE1", id3_latin1("\x01"
                                                       "Band\x1f\n<EOI>\n<SOI>")}}),
                        mpeg_frames(2)}));
    TempDir state;
    const std::string db = state.file("library.db");
    const std::vector<std::string> args = {"-contentdir", music.path, "-dbfile", db, "-v", "13"};
    {
        ServerUnderTest first(PLENWICK_BIN, args);
        ASSERT_TRUE(wait_until([&] { return std::filesystem::exists(db); }, 20s));
        EXPECT_EQ(first.stop(), 0);
    }
    const std::string text = read_file(db);
    EXPECT_EQ(count_occurrences(text, "<SOI>\n"), 1) << text;
    EXPECT_EQ(count_occurrences(text, "\nRE:"), 1) << text;
    EXPECT_NE(text.find("\nRE:" + music.path + "/evil.mp3\n"), std::string::npos) << text;
    ServerUnderTest second(PLENWICK_BIN, args);
    ASSERT_GT(second.port(), 0);
    ASSERT_TRUE(wait_until(
        [&] {
            return second.process->out().find("read on persistance DB completed!") !=
                   std::string::npos;
        },
        20s));
    const std::string passwd = read_file("/etc/passwd");
    int served = 0;
    for (int id = 1; id < 200; ++id) {
        auto answer = http_exchange(second.port(),
                                    "GET /disk/" + std::to_string(id) + ".mp3 HTTP/1.1\r\n\r\n");
        if (!answer || answer->status != 200) {
            continue;
        }
        ++served;
        EXPECT_NE(answer->body, passwd) << "object " << id;
        EXPECT_EQ(answer->body.find("root:"), std::string::npos) << "object " << id;
    }
    EXPECT_GE(served, 1) << "the MP3 itself is served";
    EXPECT_EQ(second.stop(), 0);
}

// The SystemUpdateID a running server reports.
std::string system_update_id(int port)
{
    const std::string answer = content_directory_call(port, "GetSystemUpdateID", "");
    static const std::regex id_re("<Id>([0-9]+)</Id>");
    std::smatch m;
    return std::regex_search(answer, m, id_re) ? m[1].str() : "";
}

// A library as people keep one: a playlist at its root over the albums, a
// content directory written with a trailing slash, a link back up. Every
// file is one item with its own track number, and a rescan that finds
// nothing new changes nothing: no new SystemUpdateID, no rewrite of the
// library file.
TEST(Scan, PlaylistsAndLinksLeaveTheLibraryAsItIs)
{
    TempDir music;
    std::string m3u;
    for (int album = 0; album < 3; ++album) {
        const std::string dir = music.path + "/Album " + std::to_string(album);
        std::filesystem::create_directories(dir);
        for (int track = 1; track <= 4; ++track) {
            const std::string name = std::to_string(track) + ".mp3";
            write_bytes(dir + "/" + name,
                        concat({id3v2_tag({{"TIT2", id3_latin1("A" + std::to_string(album) + "T" +
                                                               std::to_string(track))},
                                           {"TRCK", id3_latin1(std::to_string(track))}}),
                                mpeg_frames(2)}));
            m3u = "Album " + std::to_string(album) + "/" + name + "\n" + m3u;
        }
    }
    std::ofstream(music.file("all.m3u")) << m3u;
    std::filesystem::create_directory_symlink("..", music.path + "/Album 0/loop");
    TempDir state;
    const std::string db = state.file("library.db");
    ServerUnderTest server(PLENWICK_BIN, {"-contentdir", music.path + "/", "-dbfile", db,
                                          "-scantime", "0", "-v", "13"});
    ASSERT_TRUE(server.scan_completed(music.path + "/"));
    ASSERT_TRUE(wait_until([&] { return std::filesystem::exists(db); }, 20s));
    // The library file lists each item once with its path and own number.
    const std::string text = read_file(db);
    EXPECT_EQ(count_occurrences(text, "<SOI>\n"), 12) << text;
    EXPECT_EQ(text.find("//"), std::string::npos) << text;
    static const std::regex record_re(
        "RE:[^\n]*/([0-9])\\.mp3\n(?:[A-Z][A-Z]:[^\n]*\n)*?TR:([0-9]+)\n");
    int records = 0;
    for (auto it = std::sregex_iterator(text.begin(), text.end(), record_re);
         it != std::sregex_iterator(); ++it) {
        EXPECT_EQ((*it)[1], (*it)[2]) << (*it)[0];
        ++records;
    }
    EXPECT_EQ(records, 12) << text;
    const auto written = std::filesystem::last_write_time(db);
    const std::string id = system_update_id(server.port());
    ASSERT_FALSE(id.empty());
    const std::string done = "DB:DB scan on " + music.path + "/ completed\n";
    auto rescan = http_exchange(server.port(), "GET /rescan HTTP/1.1\r\n\r\n");
    ASSERT_TRUE(rescan);
    EXPECT_TRUE(
        wait_until([&] { return count_occurrences(server.process->out(), done) == 2; }, 10s));
    // Past the eventing interval and the writer's quiet time.
    std::this_thread::sleep_for(7s);
    EXPECT_EQ(system_update_id(server.port()), id);
    EXPECT_EQ(std::filesystem::last_write_time(db), written);
    EXPECT_EQ(server.stop(), 0);
}

} // namespace
