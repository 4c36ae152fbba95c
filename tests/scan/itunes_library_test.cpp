#include "core/paths.h"
#include "db/db_fixture.h"
#include "scan/itunes_library.h"
#include "scan/library_watch.h"
#include "scan/plist_reader.h"
#include "support/child_process.h"

#include <atomic>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace
{

using FilePtr = std::unique_ptr<FILE, decltype(&fclose)>;

// Every token of a property-list text, read in blocks of block_size bytes,
// as "kind depth text" lines; the last line says how the read ended.
std::vector<std::string> tokens(const std::string& text, size_t block_size)
{
    FilePtr f(fmemopen(const_cast<char*>(text.data()), text.size(), "rb"), fclose);
    PlistReader reader(f.get());
    reader.block.resize(block_size);
    std::vector<std::string> out;
    PlistToken t;
    for (;;) {
        const PlistStep step = plist_next(reader, t);
        if (step == PlistStep::End) {
            out.push_back("end");
            return out;
        }
        if (step == PlistStep::Malformed) {
            out.push_back("malformed: " + reader.error);
            return out;
        }
        out.push_back(std::to_string(static_cast<int>(t.kind)) + " " + std::to_string(t.depth) +
                      " " + t.text);
    }
}

// iTunes' own layout: a key and its value on one line.
const std::string kOneLine = R"(<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple Computer//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0">
<dict>
	<key>Major Version</key><integer>1</integer>
	<key>Tracks</key>
	<dict>
		<key>101</key>
		<dict>
			<key>Track ID</key><integer>101</integer>
			<key>Name</key><string>Caf&#233; &amp; Cr&#xE8;me</string>
			<key>Compilation</key><true/>
			<key>Artwork</key><data>AAEC
			AwQ=</data>
		</dict>
	</dict>
	<!-- a comment > with a bracket -->
	<key>Empty</key><dict/>
</dict>
</plist>
)";

// The same values as a re-saving tool writes them: every element on a line
// of its own, keys sorted.
const std::string kSplit = R"(<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0">
<dict>
	<key>Major Version</key>
	<integer>1</integer>
	<key>Tracks</key>
	<dict>
		<key>101</key>
		<dict>
			<key>Track ID</key>
			<integer>101</integer>
			<key>Name</key>
			<string>Café &amp; Crème</string>
			<key>Compilation</key>
			<true/>
			<key>Artwork</key>
			<data>
			AAECAwQ=
			</data>
		</dict>
	</dict>
	<key>Empty</key>
	<dict>
	</dict>
</dict>
</plist>
)";

TEST(PlistReader, LayoutAndBlockBoundariesDoNotChangeTheTokens)
{
    const std::vector<std::string> want = tokens(kOneLine, kPlistBlockSize);
    ASSERT_EQ(want.back(), "end");
    EXPECT_NE(std::find(want.begin(), want.end(), "1 3 Café & Crème"), want.end());
    EXPECT_NE(std::find(want.begin(), want.end(), "5 3 "), want.end()); // <true/> at depth 3
    // The empty dictionary gives its beginning and its end at depth 2.
    EXPECT_NE(std::find(want.begin(), want.end(), "8 2 "), want.end());
    EXPECT_NE(std::find(want.begin(), want.end(), "9 2 "), want.end());
    for (size_t block = 1; block <= 9; ++block) {
        EXPECT_EQ(tokens(kOneLine, block), want) << "block " << block;
        EXPECT_EQ(tokens(kSplit, block), want) << "block " << block;
    }
}

TEST(PlistReader, DamagedAndHostileInputEndsAsMalformed)
{
    // Every cut of a library ends the read as malformed, never as a normal end.
    for (size_t n = 0; n + 10 < kOneLine.size(); ++n) {
        const std::vector<std::string> got = tokens(kOneLine.substr(0, n), 7);
        ASSERT_TRUE(got.back() == "end" ? got.size() == 1 : got.back().starts_with("malformed"))
            << "cut at " << n << ": " << got.back();
    }
    std::string deep;
    for (int i = 0; i < kPlistMaxDepth + 1; ++i) {
        deep += "<array>";
    }
    const struct {
        std::string text;
        const char* why;
    } cases[] = {
        {"<plist><dict><key>" + std::string(kPlistValueLimit + 1, 'a') + "</key></dict></plist>",
         "a value longer than 65536 bytes"},
        {"<plist>" + deep, "nested deeper than 64 levels"},
        {"<plist><dict><script>x</script></dict></plist>", "the unknown element <script>"},
        {"<plist><dict></array></plist>", "the end tag </array> closes nothing open"},
        {"<plist><dict><key>a<b/></key></dict></plist>", "<key> holds markup or has no end tag"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(tokens(c.text, 4096).back(), std::string("malformed: ") + c.why);
    }
}

TEST(PlistReader, DatesAndIntegers)
{
    EXPECT_EQ(plist_date_seconds("1970-01-01T00:00:00Z"), 0);
    EXPECT_EQ(plist_date_seconds("2005-03-04T12:34:56Z"), 1109939696);
    EXPECT_EQ(plist_date_seconds("1969-12-31T23:59:59Z"), -1);
    EXPECT_FALSE(plist_date_seconds("2005-13-04T12:34:56Z"));
    EXPECT_FALSE(plist_date_seconds("2005-03-04 12:34:56"));
    EXPECT_EQ(plist_integer(" -42 "), -42);
    EXPECT_FALSE(plist_integer("42x"));
    EXPECT_FALSE(plist_integer(""));
}

TEST(ItunesLocation, FileUrlsBecomeLocalPaths)
{
    const struct {
        const char* location;
        const char* path;
    } rows[] = {
        {"file://localhost/C:/Music/a%20b.mp3", "C:/Music/a b.mp3"},
        {"file://localhost/Users/x/Music/a.mp3", "/Users/x/Music/a.mp3"},
        {"file:///home/u/Caf%C3%A9%20+%25.mp3", "/home/u/Café +%.mp3"},
        {"file://nas/share/a.mp3", "//nas/share/a.mp3"},
        {"/already/a/path.mp3", "/already/a/path.mp3"},
        {"file:///bad%2", "/bad%2"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(itunes_location_path(row.location), row.path) << row.location;
    }
    // A decoded control byte would name another file than the one meant.
    EXPECT_FALSE(itunes_location_path("file:///a%00b.mp3"));
    EXPECT_FALSE(itunes_location_path("file:///a%0Ab.mp3"));
}

class ItunesImport : public DbTest
{
protected:
    void SetUp() override
    {
        DbTest::SetUp();
        setting_set(KEY_ADAPTCASE, "0");
        db_create();
        library = dir.file("library.xml");
    }

    struct Track {
        int id;
        std::string name; // empty: no Name key
        std::string path; // empty: no Location key
        std::string extra;
    };

    // A library in iTunes' layout; playlists as (name, track ids), the
    // master list first.
    void write(const std::vector<Track>& tracks,
               const std::vector<std::pair<std::string, std::vector<int>>>& lists)
    {
        std::string x = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist "
                        "version=\"1.0\">\n<dict>\n";
        if (!music_folder.empty()) {
            x += "\t<key>Music Folder</key><string>" + music_folder + "</string>\n";
        }
        x += "\t<key>Tracks</key>\n\t<dict>\n";
        for (const Track& t : tracks) {
            x += "\t\t<key>" + std::to_string(t.id) + "</key>\n\t\t<dict>\n";
            x += "\t\t\t<key>Track ID</key><integer>" + std::to_string(t.id) + "</integer>\n";
            if (!t.name.empty()) {
                x += "\t\t\t<key>Name</key><string>" + t.name + "</string>\n";
            }
            x += t.extra;
            if (!t.path.empty()) {
                x += "\t\t\t<key>Location</key><string>" + t.path + "</string>\n";
            }
            x += "\t\t</dict>\n";
        }
        x += "\t</dict>\n\t<key>Playlists</key>\n\t<array>\n";
        for (const auto& [name, ids] : lists) {
            x += "\t\t<dict>\n\t\t\t<key>Name</key><string>" + name + "</string>\n";
            if (name == "Library") {
                x += "\t\t\t<key>Master</key><true/>\n";
            }
            x += "\t\t\t<key>Playlist Items</key>\n\t\t\t<array>\n";
            for (int id : ids) {
                x += "\t\t\t\t<dict>\n\t\t\t\t\t<key>Track ID</key><integer>" + std::to_string(id) +
                     "</integer>\n\t\t\t\t</dict>\n";
            }
            x += "\t\t\t</array>\n\t\t</dict>\n";
        }
        x += "\t</array>\n</dict>\n</plist>\n";
        write_text_file(library, x);
    }

    std::string url(const std::string& path)
    {
        return "file://localhost" + path;
    }

    std::vector<std::pair<int, std::string>> entries(const std::string& list)
    {
        const DbLock lock = db_lock();
        std::vector<std::pair<int, std::string>> out;
        const DbContainer* c = db_find_child(lock, g_db.playlists, list);
        for (DbNode* n = c ? db_first_child(lock, c) : nullptr; n; n = db_next_sibling(lock, n)) {
            out.emplace_back(db_as_reference(n)->order, db_text_of(db_target_item(lock, n)->title));
        }
        std::sort(out.begin(), out.end());
        return out;
    }

    std::vector<std::string> music()
    {
        const DbLock lock = db_lock();
        std::vector<std::string> out = titles(lock, g_db.all_tracks);
        std::sort(out.begin(), out.end());
        return out;
    }

    std::string library;
    std::string music_folder; // the library's "Music Folder", when not empty
};

TEST_F(ItunesImport, TracksAndPlaylistsAndASecondImportWithoutDuplicates)
{
    const std::string a = file("a.mp3");
    const std::string b = file("Ωδή b.mp3");
    const std::string c = file("c.mp3");
    const std::vector<Track> tracks{
        {11, "Café Crème", url(a), "\t\t\t<key>Track Number</key><integer>4</integer>\n"},
        {12, "東京の夜 &amp; Привет", url(b), "\t\t\t<key>Year</key><integer>1999</integer>\n"},
        {13, "It’s here", url(c), "\t\t\t<key>Total Time</key><integer>61500</integer>\n"},
        {14, "", "", ""},
    };
    write(tracks, {{"Library", {11, 12, 13, 14}}, {"Party", {13, 11, 12}}});
    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();
    ASSERT_TRUE(itunes_import(library));
    const std::string log =
        testing::internal::GetCapturedStdout() + testing::internal::GetCapturedStderr();
    // Titles keep their characters, the right single quotation mark included.
    EXPECT_EQ(music(), (std::vector<std::string>{"Café Crème", "It’s here", "東京の夜 & Привет"}));
    EXPECT_NE(log.find("failed to add item: Unknown"), std::string::npos) << log;
    const std::vector<std::pair<int, std::string>> party{
        {1, "It’s here"}, {2, "Café Crème"}, {3, "東京の夜 & Привет"}};
    EXPECT_EQ(entries("Party"), party);
    {
        const DbLock lock = db_lock();
        EXPECT_FALSE(db_find_child(lock, g_db.playlists, "Library"));
        const DbItem* item = item_by_path(lock, a);
        ASSERT_TRUE(item);
        EXPECT_STREQ(item->keywords.get(), "11");
        EXPECT_EQ(item->track, 4);
        EXPECT_STREQ(item_by_path(lock, b)->date.get(), "1999-01-01");
        EXPECT_STREQ(item_by_path(lock, c)->duration.get(), "0:01:01.500");
    }
    const DbStats before = db_stats();
    // Saved again unchanged: nothing is added twice.
    ASSERT_TRUE(itunes_import(library));
    EXPECT_EQ(db_stats().items, before.items);
    EXPECT_EQ(db_stats().references, before.references);
    EXPECT_EQ(entries("Party"), party);
    const DbLock lock = db_lock();
    EXPECT_EQ(db_check_consistency(lock), "");
}

TEST_F(ItunesImport, TracksAndPlaylistsThatLeftTheLibraryLeaveTheTree)
{
    // The library's files in its music folder; one file of a content
    // directory is listed too.
    setting_set(KEY_CONTENTDIR, "M|" + dir.file("content"));
    music_folder = url(dir.file("music/"));
    const std::string a = file("music/a.mp3");
    const std::string b = file("music/b.mp3");
    const std::string c = file("music/c.mp3");
    const std::string s = file("content/s.mp3");
    write({{1, "A", url(a), ""}, {2, "B", url(b), ""}, {3, "C", url(c), ""}, {5, "S", url(s), ""}},
          {{"Library", {1, 2, 3, 5}}, {"Party", {1, 2}}, {"Quiet", {3, 2}}});
    ASSERT_TRUE(itunes_import(library));
    EXPECT_EQ(music(), (std::vector<std::string>{"A", "B", "C", "S"}));
    // B left the library, and Quiet with it; Party lost B. S left too, but
    // its file lies in a content directory: it stays, as a scanned file.
    write({{1, "A", url(a), ""}, {3, "C", url(c), ""}}, {{"Library", {1, 3}}, {"Party", {1, 3}}});
    ASSERT_TRUE(itunes_import(library));
    EXPECT_EQ(music(), (std::vector<std::string>{"A", "C", "S"}));
    EXPECT_EQ(entries("Party"), (std::vector<std::pair<int, std::string>>{{1, "A"}, {2, "C"}}));
    EXPECT_TRUE(entries("Quiet").empty());
    {
        const DbLock lock = db_lock();
        EXPECT_FALSE(db_find_child(lock, g_db.playlists, "Quiet"));
        EXPECT_EQ(db_find_item_for_class(lock, s, kClassMusicTrack)->library, nullptr);
        EXPECT_EQ(db_check_consistency(lock), "");
    }
    // A library cut short or damaged (read while iTunes writes it) changes
    // nothing; read whole later, it is imported as usual.
    // So does a file that is no library at all: empty, as a writer leaves it
    // between truncating and writing, or another document.
    const std::string d = file("music/d.mp3");
    write({{1, "A", url(a), ""}, {3, "C", url(c), ""}, {4, "D", url(d), ""}},
          {{"Library", {1, 3, 4}}, {"Party", {4}}});
    const std::string whole = read_text_file(library);
    const size_t lists = whole.find("<key>Playlists</key>");
    const std::string plist = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">";
    for (const std::string& damaged :
         {whole.substr(0, whole.find("Party")),
          std::string(whole).insert(lists, "<script>x</script>"), std::string(),
          std::string(100, '\0'), std::string("hello world"), plist + "</plist>",
          plist + "<array/></plist>",
          plist + "<dict><key>Major Version</key><integer>1</integer>"
                  "</dict></plist>"}) {
        write_text_file(library, damaged);
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        EXPECT_FALSE(itunes_import(library)) << damaged;
        const std::string log =
            testing::internal::GetCapturedStdout() + testing::internal::GetCapturedStderr();
        EXPECT_NE(log.find("nothing of it imported"), std::string::npos) << log;
        EXPECT_EQ(music(), (std::vector<std::string>{"A", "C", "S"})) << damaged;
        EXPECT_EQ(entries("Party"), (std::vector<std::pair<int, std::string>>{{1, "A"}, {2, "C"}}));
    }
    write_text_file(library, whole);
    ASSERT_TRUE(itunes_import(library));
    EXPECT_EQ(music(), (std::vector<std::string>{"A", "C", "D", "S"}));
    EXPECT_EQ(entries("Party"), (std::vector<std::pair<int, std::string>>{{1, "D"}}));
    // And a scanner pass keeps the library's playlists while the file is there.
    db_purge_vanished();
    db_prune_empty();
    EXPECT_EQ(entries("Party").size(), 1u);
}

// What an import added is known after a restart too (the persistence file
// keeps each item's library): tracks removed while the server was stopped
// leave the tree at the first import, and items of no library stay.
TEST_F(ItunesImport, TracksRemovedWhileStoppedLeaveAtTheFirstImport)
{
    setting_set(KEY_CONTENTDIR, "M|" + dir.file("content"));
    music_folder = url(dir.file("music/"));
    const std::string a = file("music/a.mp3");
    const std::string b = file("music/b.mp3");
    const std::string c = file("music/c.mp3");
    write({{1, "A", url(a), ""}, {2, "B", url(b), ""}, {3, "C", url(c), ""}},
          {{"Library", {1, 2, 3}}, {"Party", {3, 2, 1}}});
    ASSERT_TRUE(itunes_import(library));
    add_music(file("content/scanned.mp3"), "Scanned", "X", "Y");
    db_restart_through_persistence();
    ASSERT_EQ(music(), (std::vector<std::string>{"A", "B", "C", "Scanned"}));
    write({{2, "B", url(b), ""}}, {{"Library", {2}}, {"Party", {2}}});
    ASSERT_TRUE(itunes_import(library));
    EXPECT_EQ(music(), (std::vector<std::string>{"B", "Scanned"}));
    EXPECT_EQ(entries("Party"), (std::vector<std::pair<int, std::string>>{{1, "B"}}));
}

// A library file names whatever it likes; what it names is served only when
// it is a music file the user already shares, or that lies in the music
// folder beside the library file the user named, links followed.
TEST_F(ItunesImport, LibraryCannotServeFilesOrFoldersTheUserDidNotShare)
{
    setting_set(KEY_CONTENTDIR, "M|" + dir.file("content"));
    library = dir.file("itunes/iTunes Music Library.xml");
    const std::string shared = file("content/ok.mp3");
    file("itunes/iTunes Media/Music/beside.mp3");
    const std::string outside = file("elsewhere/outside.mp3");
    ASSERT_EQ(symlink("/etc/passwd", dir.file("content/link.mp3").c_str()), 0);
    ASSERT_EQ(mkfifo(dir.file("content/pipe.mp3").c_str(), 0600), 0);
    std::filesystem::create_directories(dir.file("content/folder.mp3"));
    const std::string url_type = "\t\t\t<key>Track Type</key><string>URL</string>\n";
    const std::vector<Track> tracks{
        {1, "Shared", url(shared), ""},
        {2, "Beside", url(dir.file("itunes/iTunes Media/Music/beside.mp3")), ""},
        {3, "Outside", url(outside), ""},
        {4, "Link", url(dir.file("content/link.mp3")), ""},
        {5, "Pipe", url(dir.file("content/pipe.mp3")), ""},
        {6, "Folder", url(dir.file("content/folder.mp3")), ""},
        {7, "Key", url(file("content/id_rsa")), ""},
        {8, "Passwd", "file://localhost/etc/passwd", ""},
        {9, "Passwd stream", "/etc/passwd", url_type},
        {10, "File stream", "file:///etc/passwd", url_type},
        {11, "Ftp stream", "ftp://127.0.0.1/a.mp3", url_type},
    };
    const struct {
        std::string folder;
        std::vector<std::string> music;
    } rows[] = {
        {"file:///etc/", {"Shared"}},
        {"file:///", {"Shared"}},
        {url(dir.file("elsewhere/")), {"Shared"}},
        {"", {"Shared"}},
        // The library file's own folder would share all that lies beside it.
        // (Before the next row: a folder once served stays served.)
        {url(dir.file("itunes/")), {"Shared"}},
        {url(dir.file("itunes/iTunes%20Media/")), {"Beside", "Shared"}},
    };
    for (const auto& row : rows) {
        db_destroy();
        db_create();
        music_folder = row.folder;
        write(tracks, {{"Library", {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}}, {"Mix", {9, 10, 1}}});
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        ASSERT_TRUE(itunes_import(library)) << row.folder;
        const std::string log =
            testing::internal::GetCapturedStdout() + testing::internal::GetCapturedStderr();
        EXPECT_EQ(music(), row.music) << row.folder;
        EXPECT_EQ(db_stats().items, static_cast<int64_t>(row.music.size())) << "no station";
        EXPECT_FALSE(path_in_content_dir("/etc/passwd")) << row.folder;
        EXPECT_FALSE(path_in_content_dir(outside)) << row.folder;
        // A few refusals are logged one by one, the rest counted.
        size_t lines = 0;
        for (size_t at = log.find("failed to add item"); at != std::string::npos;
             at = log.find("failed to add item", at + 1)) {
            ++lines;
        }
        EXPECT_EQ(lines, static_cast<size_t>(kLibraryRefusalsLogged)) << log;
        EXPECT_NE(log.find("more tracks not added"), std::string::npos) << log;
    }
    // Nor is a library path that names no regular file read (/dev/zero
    // would be read forever).
    for (const std::string& odd : {std::string("/dev/zero"), dir.path}) {
        testing::internal::CaptureStdout();
        EXPECT_FALSE(itunes_import(odd));
        EXPECT_NE(testing::internal::GetCapturedStdout().find("not a regular file"),
                  std::string::npos);
    }
}

TEST_F(ItunesImport, StreamTracksBecomeStationsInTheFavourites)
{
    const std::string a = file("a.mp3");
    write({{1, "A", url(a), ""},
           {2, "Radio One", "http://127.0.0.1:9/stream",
            "\t\t\t<key>Track Type</key><string>URL</string>\n"}},
          {{"Library", {1, 2}}, {"Mix", {2, 1}}});
    ASSERT_TRUE(itunes_import(library));
    EXPECT_EQ(entries("Mix"),
              (std::vector<std::pair<int, std::string>>{{1, "Radio One"}, {2, "A"}}));
    EXPECT_EQ(entries(kItunesStationsList),
              (std::vector<std::pair<int, std::string>>{{1, "Radio One"}}));
    const DbLock lock = db_lock();
    const DbItem* station =
        db_find_item_for_class(lock, "http://127.0.0.1:9/stream", kClassBroadcast);
    ASSERT_TRUE(station);
    EXPECT_EQ(station->parent, g_db.radio_favorites->id);
}

} // namespace

namespace
{

// A library put back from a backup (cp -p, mv) has an older time than the
// one read last: it is read again all the same.
TEST(LibraryWatch, AnyChangeOfTheFileImportsAgain)
{
    TempDir dir;
    const std::string file = dir.file("library.xml");
    write_text_file(file, "one");
    ThreadFlag flag{1};
    const ThreadFlag reader{0};
    std::atomic<int> imports{0};
    std::thread worker([&] {
        library_watch_run(flag, reader, LibraryWatch{file, 5, 1, "test library"},
                          [&] { ++imports; });
    });
    auto set_time = [&](time_t seconds) {
        const timespec times[2] = {{seconds, 0}, {seconds, 0}};
        ASSERT_EQ(utimensat(AT_FDCWD, file.c_str(), times, 0), 0);
    };
    EXPECT_TRUE(wait_until([&] { return imports == 1; }, std::chrono::seconds(5)));
    set_time(time(nullptr) - 3600); // the backup, an hour older
    EXPECT_TRUE(wait_until([&] { return imports == 2; }, std::chrono::seconds(5)));
    write_text_file(file, "a longer text"); // and a plain save
    set_time(time(nullptr) - 3600);
    EXPECT_TRUE(wait_until([&] { return imports >= 3; }, std::chrono::seconds(5)));
    sleep_ms(30);
    const int seen = imports;
    sleep_ms(50);
    EXPECT_EQ(imports, seen) << "an unchanged file is not read again";
    thread_request_stop(flag);
    worker.join();
}

} // namespace
