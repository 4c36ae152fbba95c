#include "db/db_fixture.h"
#include "db/db_internal.h"
#include "mp3_writer.h"
#include "scan/playlist_entries.h"
#include "scan/playlist_readers.h"
#include "scan/scanner.h"
#include "support/named_pipe.h"

#include <filesystem>
#include <map>

namespace
{

class Playlists : public DbTest
{
protected:
    void SetUp() override
    {
        DbTest::SetUp();
        db_create();
    }

    std::string write(const std::string& name, const std::string& text)
    {
        const std::string path = file(name);
        write_text_file(path, text);
        return path;
    }

    // The playlist's entries in order: (order, path).
    std::vector<std::pair<int, std::string>> entries(const std::string& name)
    {
        const DbLock lock = db_lock();
        std::vector<std::pair<int, std::string>> out;
        const DbContainer* list = db_find_child(lock, g_db.playlists, name);
        if (!list) {
            return out;
        }
        for (DbNode* n = db_first_child(lock, list); n; n = db_next_sibling(lock, n)) {
            const DbReference* ref = db_as_reference(n);
            const DbItem* item = db_target_item(lock, n);
            out.emplace_back(ref ? ref->order : -1, item ? db_text_of(item->path) : "");
        }
        std::sort(out.begin(), out.end());
        return out;
    }

    // A real MP3 file with a title and a track number.
    std::string mp3(const std::string& name, const std::string& title, int track = 0)
    {
        const std::string path = dir.file(name);
        std::filesystem::create_directories(std::filesystem::path(path).parent_path());
        std::vector<Id3Frame> frames{{"TIT2", id3_latin1(title)}};
        if (track) {
            frames.push_back({"TRCK", id3_latin1(std::to_string(track))});
        }
        write_bytes(path, concat({id3v2_tag(frames), mpeg_frames(3)}));
        return path;
    }

    // The change counter and whether a flush would send an event.
    std::pair<uint64_t, bool> changes()
    {
        const bool pending = db_flush_events().has_value();
        const DbLock lock = db_lock();
        return {db_tree(lock).change_count, pending};
    }

    void full_pass()
    {
        ThreadFlag running{1};
        scan_all(running);
        db_purge_vanished();
        db_prune_empty();
    }

    std::string title_of(const std::string& path)
    {
        const DbLock lock = db_lock();
        const DbItem* item = item_by_path(lock, path);
        return item ? std::string(db_text_of(item->title)) : "(none)";
    }

    std::string station_title(const std::string& url)
    {
        const DbLock lock = db_lock();
        const DbItem* item = db_find_item_by_path(lock, g_db.radio_favorites, url);
        return item ? std::string(db_text_of(item->title)) : "(none)";
    }
};

TEST_F(Playlists, EntriesAreLocatedByTheJoinRule)
{
    const std::string other = file("music/Other/track.mp3");
    const std::string windows = file("music/Lists/Music/Song.mp3");
    const std::string list = write("music/Lists/a.m3u", "../Other/track.mp3\r\n"
                                                        "Music\\Song.mp3\n"
                                                        "./Music/Song.mp3\n");
    EXPECT_EQ(playlist_locate_entry("../Other/track.mp3", list)->location, other);
    EXPECT_EQ(playlist_locate_entry("Music\\Song.mp3", list)->location, windows);
    EXPECT_EQ(playlist_locate_entry(other, list)->location, other) << "absolute";
    // Relative to a content directory when not beside the playlist.
    EXPECT_EQ(playlist_locate_entry("music/Other/track.mp3", list)->location, other);
    EXPECT_TRUE(playlist_locate_entry("http://radio.example/stream", list)->is_url);
    // Directories and missing files are no entries.
    EXPECT_FALSE(playlist_locate_entry("../Other", list));
    EXPECT_FALSE(playlist_locate_entry("missing.mp3", list));

    m3u_read(list.c_str(), 0);
    const auto read = entries("A");
    ASSERT_EQ(read.size(), 2u) << "the same file once";
    EXPECT_EQ(read[0], std::make_pair(1, other));
    EXPECT_EQ(read[1], std::make_pair(2, windows));
}

// A playlist is a file anyone who may write into the library can drop
// there: its entries bring in nothing from outside the content directories.
TEST_F(Playlists, EntriesOutsideTheContentDirectoriesAreNotFound)
{
    TempDir outside;
    const std::string secret = outside.file("secret.mp3");
    write_text_file(secret, "x");
    TempDir other;
    const std::string shared = other.file("shared.mp3");
    write_text_file(shared, "x");
    setting_set(KEY_CONTENTDIR, "M|" + dir.path + "," + other.path);
    const std::string own = file("music/own.mp3");
    std::filesystem::create_symlink(secret, dir.file("music/link.mp3"));
    // As many climbs as it takes to reach the root from the playlist.
    std::string climb;
    for (char c : dir.path) {
        climb += c == '/' ? "../" : "";
    }
    const std::string list =
        write("music/lists/evil.m3u", "/etc/passwd\n" + climb + "../etc/passwd.mp3\n" + climb +
                                          ".." + secret + "\n" + secret +
                                          "\nlink.mp3\n../link.mp3\n" + shared + "\n../own.mp3\n");
    EXPECT_FALSE(playlist_locate_entry("/etc/passwd", list));
    EXPECT_FALSE(playlist_locate_entry(secret, list));
    EXPECT_FALSE(playlist_locate_entry("../link.mp3", list)) << "a link out of the library";
    EXPECT_FALSE(playlist_locate_entry(climb + ".." + secret, list));
    EXPECT_EQ(playlist_locate_entry(shared, list)->location, shared) << "another content dir";

    m3u_read(list.c_str(), 0);
    const auto read = entries("Evil");
    ASSERT_EQ(read.size(), 2u);
    EXPECT_EQ(read[0].second, shared);
    EXPECT_EQ(read[1].second, own);

    const std::string pls = write("music/lists/evil.pls",
                                  "File1=" + secret + "\nFile2=../link.mp3\nFile3=../own.mp3\n");
    pls_read(pls.c_str(), 0);
    EXPECT_EQ(entries("Evil").size(), 1u) << "the pls has a container of its own";
    EXPECT_EQ(title_of(secret), "(none)");
    EXPECT_EQ(title_of(dir.file("music/link.mp3")), "(none)");
}

TEST_F(Playlists, M3uRebuiltOnEveryReadWithTitlesAndStations)
{
    // Only what a reader of the program reads is listed: a kind no reader
    // knows, or a picture, is no music track whatever the playlist says.
    const std::string song = file("songs/untagged.mp3");
    const std::string unknown = file("songs/untagged.ape");
    const std::string cover = file("songs/cover.jpg");
    const std::string list = write("party.m3u", "#EXTM3U\n"
                                                "#EXTINF:123,Artist - Name\n"
                                                "songs/untagged.ape\n"
                                                "songs/cover.jpg\n"
                                                "songs/untagged.mp3\n"
                                                "#EXTINF:-1,Jazz Radio\n"
                                                "http://radio.example/jazz\n"
                                                "x.mp\n");
    m3u_read(list.c_str(), 0);
    m3u_read(list.c_str(), 0);
    const auto read = entries("Party");
    ASSERT_EQ(read.size(), 2u) << "one reference per line after two reads";
    EXPECT_EQ(read[0].second, song);
    EXPECT_EQ(read[1].second, "http://radio.example/jazz");
    EXPECT_EQ(title_of(unknown), "(none)");
    EXPECT_EQ(title_of(cover), "(none)");
    const DbLock lock = db_lock();
    const DbItem* station =
        db_find_item_by_path(lock, g_db.radio_favorites, "http://radio.example/jazz");
    ASSERT_NE(station, nullptr);
    EXPECT_EQ(db_text_of(station->title), "Jazz Radio");
    EXPECT_EQ(station->upnp_class, kClassBroadcast);
}

TEST_F(Playlists, HostileM3uFiles)
{
    const std::string song = file("a.mp3");
    const std::string list = dir.file("odd.m3u");
    // A million lines, one of them a megabyte long, and a thousand entries
    // that name nothing: the log gets a bounded number of lines.
    std::string text;
    for (int i = 0; i < 1000000; ++i) {
        text += "#\n";
    }
    for (int i = 0; i < 1000; ++i) {
        text += "nothing-" + std::to_string(i) + ".mp3\n";
    }
    text += std::string(1024 * 1024, 'x') + "\n";
    text += "odd.m3u\n";     // itself
    text += dir.path + "\n"; // a directory
    text += "a.mp3";         // the last line needs no line feed
    write_text_file(list, text);
    testing::internal::CaptureStdout();
    m3u_read(list.c_str(), 0);
    const std::string log = testing::internal::GetCapturedStdout();
    EXPECT_LT(std::count(log.begin(), log.end(), '\n'), 60);
    EXPECT_NE(log.find("952 more playlist items not located in " + list), std::string::npos) << log;
    const auto read = entries("Odd");
    ASSERT_EQ(read.size(), 1u);
    EXPECT_EQ(read[0].second, song);
}

TEST_F(Playlists, PlsTakesMp3AndWmaEntriesOnly)
{
    const std::string a = file("pls/a.mp3");
    const std::string b = file("pls/sub/b.WMA");
    file("pls/song.ape");
    const std::string list = write("pls/mix.pls", "[playlist]\n"
                                                  "File1=a.mp3\n"
                                                  "Title1=ignored\n"
                                                  "File2=sub\\b.WMA\n"
                                                  "File3=song.ape\n"
                                                  "NumberOfEntries=3\n");
    pls_read(list.c_str(), 0);
    const auto read = entries("Mix");
    ASSERT_EQ(read.size(), 2u);
    EXPECT_EQ(read[0], std::make_pair(1, a));
    EXPECT_EQ(read[1], std::make_pair(2, b));
}

// A named pipe never ends until something writes to it, and a NUL byte in
// an entry would have the extension tested on text the opened path lacks:
// neither is read, in any of the three kinds of playlist.
TEST_F(Playlists, PipesAndNulBytesAreNotRead)
{
    const std::string a = file("p/a.mp3");
    const NamedPipe pipe(dir.file("p/pipe.mp3"));
    ASSERT_TRUE(pipe.made());
    const std::string nul("a.mp3\0.wma", 11);
    const std::string m3u = write("p/one.m3u", "pipe.mp3\n" + nul + "\na.mp3\n");
    const std::string pls =
        write("p/two.pls", "[playlist]\nFile1=pipe.mp3\nFile2=" + nul + "\nFile3=a.mp3\n");
    // The wpl text ends at a NUL byte, so that entry comes last.
    const std::string wpl = write("p/three.wpl", "<smil><body><seq><media src=\"pipe.mp3\"/>"
                                                 "<media src=\"a.mp3\"/><media src=\"" +
                                                     nul + "\"/></seq></body></smil>");
    testing::internal::CaptureStdout();
    EXPECT_TRUE(pipe.finishes_without_it([&] {
        m3u_read(m3u.c_str(), 0);
        pls_read(pls.c_str(), 0);
        wpl_read(wpl.c_str(), 0);
    }));
    testing::internal::GetCapturedStdout();
    for (const char* name : {"One", "Two", "Three"}) {
        const auto read = entries(name);
        ASSERT_EQ(read.size(), 1u) << name;
        EXPECT_EQ(read[0].second, a) << name;
    }
    const DbLock lock = db_lock();
    EXPECT_FALSE(item_by_path(lock, pipe.path()));
}

TEST_F(Playlists, WplTitleAndUnlocatableEntries)
{
    const std::string a = file("w/a.mp3");
    const std::string b = file("w/R&B.wma");
    const std::string party =
        write("w/list.wpl", "<?wpl version=\"1.0\"?><smil><head><title>Party</title></head>"
                            "<body><seq><media src=\"a.mp3\"/><media src=\"gone.mp3\"/>"
                            "<media src=\"R&amp;B.wma\"/><media src=\"cover.jpg\"/></seq></body>"
                            "</smil>");
    const std::string untitled =
        write("w/untitled.wpl", "<smil><body><seq><media src=\"a.mp3\"/></seq></body></smil>");
    testing::internal::CaptureStdout();
    wpl_read(party.c_str(), 0);
    const std::string log = testing::internal::GetCapturedStdout();
    wpl_read(untitled.c_str(), 0);
    const auto read = entries("Party");
    ASSERT_EQ(read.size(), 2u);
    EXPECT_EQ(read[0], std::make_pair(1, a));
    EXPECT_EQ(read[1], std::make_pair(2, b));
    size_t logged = 0;
    for (size_t at = 0;
         (at = log.find("failed to locate/add playlist item: gone.mp3", at)) != std::string::npos;
         ++at) {
        ++logged;
    }
    EXPECT_EQ(logged, 1u) << log;
    EXPECT_EQ(entries("Untitled").size(), 1u);
}

TEST_F(Playlists, RandomizedOrders)
{
    setting_set(KEY_RANDOMIZEPLAYLISTS, "1");
    std::string text;
    for (int i = 0; i < 6; ++i) {
        file("r/" + std::to_string(i) + ".mp3");
        text += std::to_string(i) + ".mp3\n";
    }
    const std::string list = write("r/shuffle.m3u", text);
    m3u_read(list.c_str(), 0);
    const auto read = entries("Shuffle");
    ASSERT_EQ(read.size(), 6u);
    std::vector<int> orders;
    for (const auto& [order, path] : read) {
        orders.push_back(order);
    }
    EXPECT_NE(orders, (std::vector<int>{1, 2, 3, 4, 5, 6}));
}

// A playlist at the root of a library names tracks of many albums: each
// keeps its own track number and compilation flag, and the position in the
// list is only the order of its reference there.
TEST_F(Playlists, EntriesKeepTheirOwnTrackNumbers)
{
    setting_set(KEY_COMPILATIONSDIR, "Sampler");
    std::vector<std::string> paths;
    std::string text;
    for (int album = 0; album < 4; ++album) {
        const std::string folder = album == 3 ? "Sampler" : "Album" + std::to_string(album);
        for (int track = 1; track <= 5; ++track) {
            paths.push_back(mp3(folder + "/" + std::to_string(track) + ".mp3",
                                "T" + std::to_string(album) + std::to_string(track), track));
        }
    }
    // Twenty lines, the albums interleaved.
    for (int track = 5; track >= 1; --track) {
        for (int album = 0; album < 4; ++album) {
            text += paths[static_cast<size_t>(album * 5 + track - 1)].substr(dir.path.size() + 1) +
                    "\n";
        }
    }
    const std::string list = write("all.m3u", text);
    for (int round = 0; round < 2; ++round) {
        if (round == 1) {
            full_pass(); // the files known now: the pass and the list meet them again
        } else {
            m3u_read(list.c_str(), 0);
        }
        const auto read = entries("All");
        ASSERT_EQ(read.size(), 20u);
        for (int i = 0; i < 20; ++i) {
            EXPECT_EQ(read[static_cast<size_t>(i)].first, i + 1);
        }
        EXPECT_EQ(read[0].second, paths[4]) << "the first line";
        const DbLock lock = db_lock();
        for (size_t i = 0; i < paths.size(); ++i) {
            const DbItem* item = item_by_path(lock, paths[i]);
            ASSERT_NE(item, nullptr) << paths[i];
            EXPECT_EQ(item->track, static_cast<int>(i % 5) + 1) << paths[i];
            EXPECT_EQ(item->compilation, i >= 15 ? 1 : 0) << paths[i];
        }
        EXPECT_EQ(db_tree(lock).all_tracks->child_count, 20);
    }
}

// One file, one item: "..", backslashes and links in entries lead to the
// path the scanner gives the file.
TEST_F(Playlists, EntriesAreNamedAsTheScannerNamesThem)
{
    const std::string song = mp3("Other/song.mp3", "Song", 3);
    std::filesystem::create_directory_symlink(dir.file("Other"), dir.file("Linked"));
    const std::string pls = write("Lists/mix.pls", "[playlist]\nFile1=../Other/song.mp3\n"
                                                   "File2=..\\Linked\\song.mp3\n"
                                                   "File3=" +
                                                       dir.path + "/Lists/../Other/song.mp3\n");
    const std::string m3u =
        write("Lists/mix.m3u", "../Linked/./song.mp3\n" + dir.path + "//Other/song.mp3\n");
    pls_read(pls.c_str(), 0);
    m3u_read(m3u.c_str(), 0);
    full_pass();
    const DbLock lock = db_lock();
    EXPECT_EQ(db_tree(lock).all_tracks->child_count, 1);
    ASSERT_NE(item_by_path(lock, song), nullptr);
    int lists = 0;
    for (DbNode* n = db_first_child(lock, g_db.playlists); n; n = db_next_sibling(lock, n)) {
        const DbContainer* list = db_as_container(n);
        if (list && db_text_of(list->title) == "Mix") {
            ++lists;
            EXPECT_EQ(list->child_count, 1) << "one reference per item";
            EXPECT_EQ(db_find_item_by_path(lock, list, song), item_by_path(lock, song));
        }
    }
    EXPECT_EQ(lists, 2) << "the pls and the m3u";
}

// Reading what did not change changes nothing: no change mark, no event,
// so no persistence write either.
TEST_F(Playlists, UnchangedPlaylistsChangeNothing)
{
    mp3("a/one.mp3", "One", 1);
    mp3("a/two.mp3", "Two", 2);
    write("a/list.m3u", "#EXTINF:-1,Jazz\nhttp://radio.example/jazz\ntwo.mp3\none.mp3\n");
    write("a/list.pls", "[playlist]\nFile1=one.mp3\nFile2=two.mp3\n");
    write("a/list.wpl", "<smil><head><title>W</title></head><body><seq><media src=\"two.mp3\"/>"
                        "</seq></body></smil>");
    full_pass();
    ASSERT_EQ(entries("List").size(), 2u);
    const auto before = changes();
    const std::string m3u = dir.file("a/list.m3u");
    m3u_read(m3u.c_str(), 0);
    m3u_read(m3u.c_str(), 0);
    EXPECT_EQ(changes(), std::make_pair(before.first, false));
    full_pass();
    EXPECT_EQ(changes(), std::make_pair(before.first, false)) << "a rescan of the same library";

    // A change is made, in place.
    write("a/list.m3u", "one.mp3\ntwo.mp3\n");
    m3u_read(m3u.c_str(), 0);
    EXPECT_GT(changes().first, before.first);
    std::vector<std::pair<int, std::string>> want{{1, dir.file("a/one.mp3")},
                                                  {2, dir.file("a/two.mp3")}};
    bool found = false;
    const DbLock lock = db_lock();
    for (DbNode* n = db_first_child(lock, g_db.playlists); n; n = db_next_sibling(lock, n)) {
        const DbContainer* c = db_as_container(n);
        found = found || (c && c->child_count == 2 && db_text_of(c->title) == "List" &&
                          db_find_item_by_path(lock, c, want[0].second) &&
                          !db_find_item_by_path(lock, c, "http://radio.example/jazz"));
    }
    EXPECT_TRUE(found) << "the m3u's container holds the new list";
}

TEST_F(Playlists, ContainersOfVanishedPlaylistsGo)
{
    mp3("a/one.mp3", "One", 1);
    write("a/old.m3u", "one.mp3\n");
    write("a/keep.pls", "[playlist]\nFile1=one.mp3\n");
    full_pass();
    ASSERT_EQ(entries("Old").size(), 1u);
    std::filesystem::rename(dir.file("a/old.m3u"), dir.file("a/new.m3u"));
    full_pass();
    EXPECT_TRUE(entries("Old").empty()) << "renamed";
    EXPECT_EQ(entries("New").size(), 1u);
    EXPECT_EQ(entries("Keep").size(), 1u);
    std::filesystem::remove(dir.file("a/new.m3u"));
    full_pass();
    const DbLock lock = db_lock();
    EXPECT_FALSE(db_find_child(lock, g_db.playlists, "New")) << "deleted";
    EXPECT_EQ(db_check_consistency(lock), "");
}

TEST_F(Playlists, ExtinfTitleNamesTheNextEntryOnly)
{
    const std::string list = write("t.m3u", "#EXTINF:-1,Jazz Radio\n"
                                            "http://radio.example/jazz\n"
                                            "http://radio.example/rock.mp3\n"
                                            "#EXTINF:-1,Named\n"
                                            "http://radio.example/a\n"
                                            "http://radio.example/b\n");
    m3u_read(list.c_str(), 0);
    ASSERT_EQ(entries("T").size(), 4u);
    EXPECT_EQ(station_title("http://radio.example/a"), "Named");
    EXPECT_NE(station_title("http://radio.example/b"), "Named");
    const DbLock lock = db_lock();
    const DbItem* rock =
        db_find_item_by_path(lock, g_db.radio_favorites, "http://radio.example/rock.mp3");
    ASSERT_NE(rock, nullptr);
    EXPECT_NE(db_text_of(rock->title), "Jazz Radio");
}

// Playlists name files in UTF-8 or Latin-1, whatever the file system uses.
TEST_F(Playlists, EncodingsOfTitlesAndNames)
{
    const std::string utf8_name = file("Cr\xC3\xA8me.mp3"); // "Crème" in UTF-8
    const std::string latin1_name = file("Br\xFBl\xE9"
                                         "e.mp3"); // "Brûlée" in Latin-1
    const std::string m3u = write("latin.m3u", "#EXTINF:1,Caf\xE9\n"
                                               "http://radio.example/cafe\n"
                                               "Cr\xE8me.mp3\n"
                                               "Br\xC3\xBBl\xC3\xA9"
                                               "e.mp3\n");
    m3u_read(m3u.c_str(), 0);
    auto read = entries("Latin");
    ASSERT_EQ(read.size(), 3u);
    EXPECT_EQ(read[1].second, utf8_name);
    EXPECT_EQ(read[2].second, latin1_name);
    EXPECT_EQ(station_title("http://radio.example/cafe"), "Caf\xC3\xA9")
        << "a Latin-1 title in UTF-8";

    const std::string m3u8 = write(
        "utf.m3u8", "\xEF\xBB\xBF#EXTM3U\n#EXTINF:1,\xCE\xA3\xCE\xBF\xCF\x86\xCE\xAF\xCE\xB1\n"
                    "http://radio.example/a\n");
    ASSERT_EQ(scan_playlist_entry(m3u8), ScanEntry::Other) << "a playlist is no entry";
    m3u_read(m3u8.c_str(), 0);
    ASSERT_EQ(entries("Utf").size(), 1u);
    {
        const DbLock lock = db_lock();
        const DbItem* station =
            db_find_item_by_path(lock, g_db.radio_favorites, "http://radio.example/a");
        ASSERT_NE(station, nullptr);
        EXPECT_EQ(db_text_of(station->title), "\xCE\xA3\xCE\xBF\xCF\x86\xCE\xAF\xCE\xB1");
    }

    const std::string song = mp3("Sub/Cr\xC3\xA8me.mp3", "Song");
    const std::string pls = write("win.pls", "[playlist]\nFile1=Sub\\Cr\xE8me.mp3\n");
    pls_read(pls.c_str(), 0);
    read = entries("Win");
    ASSERT_EQ(read.size(), 1u);
    EXPECT_EQ(read[0].second, song);

    const std::string wpl =
        write("w.wpl", "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><smil><head>"
                       "<title>Caf\xE9</title></head><body><seq><media src=\"Sub\\Cr\xE8me.mp3\"/>"
                       "</seq></body></smil>");
    wpl_read(wpl.c_str(), 0);
    EXPECT_EQ(entries("Caf\xC3\xA9").size(), 1u);
}

} // namespace
