#include "core/edition.h"
#include "core/log.h"
#include "db/db_fixture.h"
#include "http/http_connection.h"
#include "mp3_writer.h"
#include "scan/file_types.h"
#include "scan/music_tags.h"
#include "scan/rescan_handler.h"
#include "scan/scanner.h"
#include "support/captured_connection.h"
#include "support/child_process.h"
#include "support/named_pipe.h"

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

namespace
{

class Scanner : public DbTest
{
protected:
    void SetUp() override
    {
        DbTest::SetUp();
        running = 1;
        log_path = dir.file("log.txt");
        setting_set(KEY_V, "4");
        log_open_file(log_path.c_str());
    }
    void TearDown() override
    {
        log_close();
        DbTest::TearDown();
    }

    // A real MP3 file with a title tag.
    std::string mp3(const std::string& name, const std::string& title,
                    const std::string& artist = "Artist")
    {
        const std::string path = dir.file(name);
        std::filesystem::create_directories(std::filesystem::path(path).parent_path());
        write_bytes(path,
                    concat({id3v2_tag({{"TIT2", id3_latin1(title)}, {"TPE1", id3_latin1(artist)}}),
                            mpeg_frames(3)}));
        return path;
    }

    std::optional<std::string> title_of(const std::string& path)
    {
        const DbLock lock = db_lock();
        const DbItem* item = item_by_path(lock, path);
        return item ? std::optional<std::string>(item->title.get()) : std::nullopt;
    }

    int tracks()
    {
        const DbLock lock = db_lock();
        return g_db.all_tracks->child_count;
    }

    std::string log()
    {
        std::ifstream in(log_path);
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    }

    ThreadFlag running{0};
    std::string log_path;
};

TEST_F(Scanner, PrefixesFilterKinds)
{
    setting_set(KEY_CONTENTDIR, "P|" + dir.path + "/pics,M|" + dir.path + "/music");
    db_create();
    const std::string song = mp3("music/a.mp3", "Song");
    const std::string misplaced = mp3("pics/b.mp3", "Misplaced");
    scan_all(running);
    EXPECT_EQ(title_of(song), "Song");
    EXPECT_FALSE(title_of(misplaced)) << "no music from a picture directory";
    const std::string text = log();
    EXPECT_NE(text.find("DB:DB scanning M|" + dir.path + "/music\n"), std::string::npos) << text;
    EXPECT_NE(text.find("DB:DB scan on M|" + dir.path + "/music completed\n"), std::string::npos);
}

TEST_F(Scanner, DepthIgnoreListCompilationsAndDotlessNames)
{
    db_create();
    std::string deep;
    for (int i = 1; i <= 21; ++i) {
        deep += "/d" + std::to_string(i);
    }
    const std::string at_20 = mp3(deep.substr(0, deep.rfind('/')).substr(1) + "/twenty.mp3", "20");
    const std::string at_21 = mp3(deep.substr(1) + "/deeper.mp3", "21");
    const std::string ignored_dir = mp3("x.appledouble/in.mp3", "Ignored");
    const std::string ignored_file = mp3("y/._APPLEDOUBLE.mp3", "Ignored too");
    const std::string sampler = mp3("Summer sampler 2/hit.mp3", "Hit");
    const std::string dotless = mp3("z/mp3", "Dotless");
    scan_all(running);
    EXPECT_EQ(title_of(at_20), "20");
    EXPECT_FALSE(title_of(at_21));
    EXPECT_NE(log().find("do not descend further"), std::string::npos);
    EXPECT_FALSE(title_of(ignored_dir));
    EXPECT_FALSE(title_of(ignored_file));
    EXPECT_EQ(title_of(dotless), "Dotless");
    const DbLock lock = db_lock();
    ASSERT_TRUE(item_by_path(lock, sampler));
    EXPECT_EQ(item_by_path(lock, sampler)->compilation, 1);
}

TEST_F(Scanner, FilesAreReadAgainWhenTheirTimeOrSizeChanges)
{
    db_create();
    const std::string path = mp3("a/song.mp3", "Before");
    scan_all(running);
    ASSERT_EQ(title_of(path), "Before");
    struct stat st {
    };
    stat(path.c_str(), &st);
    const auto rewrite = [&](const char* title, time_t mtime) {
        mp3("a/song.mp3", title);
        const utimbuf times{st.st_atime, mtime};
        utime(path.c_str(), &times);
        scan_all(running);
        return title_of(path);
    };
    // New tags of the same size under the old time: not read.
    EXPECT_EQ(rewrite("Bravo!", st.st_mtime), "Before");
    // An older time is a change too: a file restored from a backup.
    EXPECT_EQ(rewrite("Bravo!", st.st_mtime - 1000), "Bravo!");
    // So is another size under the same time.
    EXPECT_EQ(rewrite("After", st.st_mtime - 1000), "After");
    EXPECT_EQ(rewrite("Later", st.st_mtime + 10), "Later");
    EXPECT_EQ(tracks(), 1);
}

TEST_F(Scanner, VanishedFilesAndEmptyViewsGo)
{
    db_create();
    const std::string keep = mp3("k/keep.mp3", "Keep", "Stays");
    const std::string gone = mp3("g/gone.mp3", "Gone", "Leaves");
    scan_all(running);
    ASSERT_EQ(tracks(), 2);
    std::filesystem::remove(gone);
    scan_all(running);
    db_purge_vanished();
    db_prune_empty();
    EXPECT_EQ(tracks(), 1);
    const DbLock lock = db_lock();
    EXPECT_TRUE(at(lock, g_db.music_root, {"Artists", "Stays"}));
    EXPECT_FALSE(at(lock, g_db.music_root, {"Artists", "Leaves"}))
        << "the emptied view branch is pruned";
    EXPECT_TRUE(at(lock, g_db.music_root, {"Folders", "k"}));
    EXPECT_FALSE(at(lock, g_db.music_root, {"Folders", "g"})) << "and so is the emptied folder";
    EXPECT_EQ(db_check_consistency(lock), "");
}

TEST(ScanFileTypes, MusicEditionReadsMusicOnly)
{
    const auto has = [](std::span<const FileTypeRow> types, std::string_view extension) {
        for (const FileTypeRow& t : types) {
            if (extension == t.extension) {
                return true;
            }
        }
        return false;
    };
    const auto full = scan_file_types();
    // The older rows keep their place ahead of the newer ones.
    EXPECT_STREQ(full[0].extension, "mp3");
    EXPECT_STREQ(full[18].extension, "mpeg");
    EXPECT_TRUE(has(full, "mkv"));
    EXPECT_TRUE(has(full, "m2ts"));
    edition_select(Edition::MusicOnly);
    const auto types = scan_file_types();
    edition_select(Edition::Full);
    std::string music;
    for (const FileTypeRow& t : types) {
        EXPECT_EQ(t.kind, 'M') << t.extension;
        music += std::string(t.extension) + " ";
    }
    EXPECT_EQ(music.find("mp3 wav m4a pcm lpcm wma m3u m3u8 wpl pls "), 0u) << music;
    for (const char* later : {"flac", "ogg", "oga", "opus"}) {
        EXPECT_NE(music.find(std::string(" ") + later + " "), std::string::npos) << later;
    }
    EXPECT_STREQ(types[9].extension, "pls");
    for (const char* extension : {"mp3", "m4a", "m4b", "aac"}) {
        EXPECT_TRUE(has(types, extension)) << extension;
    }
    EXPECT_FALSE(has(types, "mp4"));
    EXPECT_FALSE(has(types, "webm"));
    EXPECT_EQ(scan_extension("Song.MP3"), "MP3");
    EXPECT_EQ(scan_extension("mp3"), "mp3");
}

TEST_F(Scanner, NamedPipeAmongTheFilesDoesNotHoldTheScan)
{
    db_create();
    const NamedPipe pipe(dir.file("pipe.mp3"));
    ASSERT_TRUE(pipe.made());
    const std::string song = mp3("song.mp3", "Song");
    EXPECT_TRUE(pipe.finishes_without_it([&] { scan_all(running); }));
    EXPECT_EQ(title_of(song), "Song");
    EXPECT_FALSE(title_of(pipe.path()));
}

TEST_F(Scanner, StopRequestEndsTheWalk)
{
    db_create();
    mp3("a/one.mp3", "One");
    running = -1;
    scan_all(running);
    EXPECT_EQ(tracks(), 0);
}

// The rescan page's answer to a request for url.
std::string rescan_page(const std::string& url)
{
    CapturedConnection cap(url.c_str());
    EXPECT_EQ(rescan_handler(&cap.c), HTTP_KEEP);
    const std::string all = cap.sent();
    return all.substr(all.find("\r\n\r\n") + 4);
}

TEST_F(Scanner, RescanOnlyFromTheServersOwnNames)
{
    setting_set(KEY_CONTENTDIR, "M|" + dir.path);
    db_create();
    CapturedConnection cap("/rescan");
    snprintf(cap.c.base_url.data(), cap.c.base_url.size(), "http://127.0.0.1:9000/");
    ASSERT_TRUE(http_set_head(&cap.c, "GET /rescan HTTP/1.1\r\nHost: evil.example:9000\r\n\r\n"));
    rescan_handler(&cap.c);
    EXPECT_EQ(cap.sent().rfind("HTTP/1.1 403 Forbidden\r\n", 0), 0u);
    EXPECT_FALSE(scan_requested());

    // Shown as text, whatever the request names.
    EXPECT_EQ(rescan_page("/rescan?<b>x"), "<html><head><title>Rescan</title></head><body>rescan "
                                           "invalid for &lt;b&gt;x!</body></html>");
}

TEST_F(Scanner, RescanPages)
{
    setting_set(KEY_CONTENTDIR, "M|" + dir.path);
    db_create();
    EXPECT_EQ(rescan_page("/rescan?/elsewhere"),
              "<html><head><title>Rescan</title></head><body>rescan invalid for "
              "/elsewhere!</body></html>");
    EXPECT_EQ(rescan_page("/rescan?/%3Cscript%3E%01a&b"),
              "<html><head><title>Rescan</title></head><body>rescan invalid for "
              "/&lt;script&gt;a&amp;b!</body></html>")
        << "the directory is text on the page";
    EXPECT_EQ(rescan_page("/rescan?/Cr%E8me"),
              "<html><head><title>Rescan</title></head><body>rescan invalid for "
              "/Cr\xC3\xA8me!</body></html>")
        << "a Latin-1 name is shown in UTF-8";
    EXPECT_FALSE(scan_requested());
    EXPECT_EQ(rescan_page("/rescan"), "<html><head><title>Rescan</title></head><body>rescan "
                                      "initiated on content root directories!</body></html>");
    EXPECT_TRUE(scan_requested());
    EXPECT_EQ(rescan_page("/rescan?m%7C" + dir.path + "/sub"),
              "<html><head><title>Rescan</title></head><body>rescan allready "
              "running!</body></html>");
    scan_all(running);
    EXPECT_FALSE(scan_requested()) << "a pass ends the request";
    EXPECT_EQ(rescan_page("/rescan?m%7C" + dir.path + "/sub"),
              "<html><head><title>Rescan</title></head><body>rescan initiated on m|" + dir.path +
                  "/sub!</body></html>")
        << "the prefix is compared ignoring case";
    EXPECT_EQ(scan_requested_dir(), "m|" + dir.path + "/sub");
    const std::string inside = mp3("sub/in.mp3", "Inside");
    const std::string outside = mp3("other/out.mp3", "Outside");
    scan_all(running);
    EXPECT_EQ(title_of(inside), "Inside");
    EXPECT_FALSE(title_of(outside)) << "only the requested directory was scanned";
}

} // namespace

namespace
{

const char kInvalid[] = "<html><head><title>Rescan</title></head><body>rescan invalid for ";

// A rescan asks only for a directory inside a content directory of its own
// kind, once "..", "." and links are resolved.
TEST_F(Scanner, RescanStaysInsideTheContentDirectories)
{
    const std::string music = dir.file("music");
    std::filesystem::create_directories(music + "/sub");
    std::filesystem::create_directories(dir.file("music2"));
    std::filesystem::create_directories(dir.file("elsewhere"));
    std::filesystem::create_directory_symlink(dir.file("elsewhere"), music + "/out");
    std::filesystem::create_directory_symlink(music + "/sub", music + "/again");
    setting_set(KEY_CONTENTDIR, "M|" + music);
    db_create();
    const std::string outside = mp3("elsewhere/away.mp3", "Away");
    const std::string refused[] = {
        "M|" + music + "/../elsewhere",
        "M|" + music + "/..%2Felsewhere",
        "M|" + music + "/../../../",
        "M|" + music + "2",
        "M|" + music + "/out",
        "M|" + music + "/new/../../elsewhere",
        "P|" + music + "/sub",
        music + "/sub",
        "M|/proc/self",
    };
    for (const std::string& asked : refused) {
        const std::string page = rescan_page("/rescan?" + asked);
        EXPECT_EQ(page.rfind(kInvalid, 0), 0u) << asked << ": " << page;
        EXPECT_FALSE(scan_requested()) << asked;
    }
    // A way in through a link or a climb back is walked under the content
    // directory's own name, as a full pass names the files.
    EXPECT_EQ(rescan_dir_resolve("m|" + music + "/again/../sub/"), "m|" + music + "/sub");
    EXPECT_EQ(rescan_dir_resolve("M|" + music + "/again"), "M|" + music + "/sub");
    EXPECT_EQ(rescan_dir_resolve("M|" + music + "/new/cd"), "M|" + music + "/new/cd");
    EXPECT_EQ(rescan_dir_resolve("M|" + music), "M|" + music);
    EXPECT_EQ(rescan_dir_resolve(""), "");

    // Even a request that slipped through is not walked outside.
    ASSERT_TRUE(scan_request("M|" + music + "/out"));
    scan_all(running);
    EXPECT_FALSE(title_of(outside));
    EXPECT_FALSE(title_of(music + "/out/away.mp3"));
    EXPECT_NE(log().find("do not descend into " + music + "/out\n"), std::string::npos) << log();
}

// Links leading out of the content directories, into /proc or back up the
// tree neither bring in files nor keep the walk going.
TEST_F(Scanner, WalkFollowsLinksOnlyInsideTheContentDirectories)
{
    namespace fs = std::filesystem;
    const std::string music = dir.file("music");
    const std::string pics = dir.file("pics");
    TempDir outside;
    setting_set(KEY_CONTENTDIR, music + "," + pics);
    db_create();
    const std::string own = mp3("music/a/own.mp3", "Own");
    const std::string shared = mp3("pics/shared.mp3", "Shared");
    const std::string secret = outside.file("secret.mp3");
    write_bytes(secret, concat({id3v2_tag({{"TIT2", id3_latin1("Secret")}}), mpeg_frames(3)}));
    fs::create_symlink("/etc/passwd", music + "/a/passwd.mp3");
    fs::create_symlink(secret, music + "/a/secret.mp3");
    fs::create_directory_symlink(outside.path, music + "/a/elsewhere");
    fs::create_directory_symlink("/proc/self", music + "/a/proc");
    fs::create_directory_symlink("/", music + "/a/root");
    fs::create_directory_symlink(music, music + "/a/loop");
    fs::create_directory_symlink("..", music + "/a/up");
    fs::create_symlink(shared, music + "/a/linked.mp3");
    fs::create_symlink(music + "/a/missing.mp3", music + "/a/dangling.mp3");

    const auto start = std::chrono::steady_clock::now();
    scan_all(running);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_EQ(title_of(own), "Own");
    EXPECT_EQ(title_of(shared), "Shared") << "into another content directory";
    EXPECT_FALSE(title_of(music + "/a/linked.mp3")) << "a linked file is the file it leads to";
    EXPECT_FALSE(title_of(music + "/a/passwd.mp3"));
    EXPECT_FALSE(title_of(music + "/a/secret.mp3"));
    EXPECT_FALSE(title_of(music + "/a/elsewhere/secret.mp3"));
    // Links back to a directory already open on the way down are not
    // entered.
    EXPECT_FALSE(title_of(music + "/a/loop/a/own.mp3"));
    EXPECT_FALSE(title_of(music + "/a/up/a/own.mp3"));
    const DbLock lock = db_lock();
    const DbContainer* all_tracks = db_tree(lock).all_tracks;
    for (DbNode* n = db_first_child(lock, all_tracks); n; n = db_next_sibling(lock, n)) {
        const DbItem* item = db_target_item(lock, n);
        const std::string path = item ? item->path.get() : "";
        EXPECT_EQ(path.find("/proc"), std::string::npos) << path;
        EXPECT_EQ(path.find("/root/"), std::string::npos) << path;
        EXPECT_EQ(path.find("secret"), std::string::npos) << path;
    }
    EXPECT_EQ(all_tracks->child_count, 2) << "own and shared, once for its link";
}

// A content directory written with a trailing slash or through a link, a
// link back up and a link to a sibling folder: each file gets one item
// under its canonical path, and each directory is read once per pass.
TEST_F(Scanner, EveryFileHasOneNameAndEveryDirectoryOneWalk)
{
    namespace fs = std::filesystem;
    const std::string real = dir.file("real");
    mp3("real/top.mp3", "Top");
    mp3("real/Album/song.mp3", "Song");
    mp3("real/b/other.mp3", "Other");
    fs::create_directory_symlink("..", real + "/Album/loop");
    fs::create_directory_symlink("../Album", real + "/b/album");
    fs::create_directory_symlink(real, dir.file("link"));
    setting_set(KEY_CONTENTDIR, dir.file("link") + "/," + real + "/");
    db_create();
    // As a library file of an earlier version may hold it.
    ASSERT_EQ(add_music(real + "//top.mp3", "Top", "Artist", "Album"), DB_ADDED);
    scan_all(running);
    db_purge_vanished();
    const std::string text = log();
    size_t walks = 0;
    for (size_t at = 0; (at = text.find("DB:scanning ", at)) != std::string::npos; ++at) {
        ++walks;
    }
    EXPECT_EQ(walks, 3u) << text;
    const DbLock lock = db_lock();
    const DbContainer* all_tracks = db_tree(lock).all_tracks;
    EXPECT_EQ(all_tracks->child_count, 3);
    for (DbNode* n = db_first_child(lock, all_tracks); n; n = db_next_sibling(lock, n)) {
        const std::string path = db_target_item(lock, n)->path.get();
        EXPECT_EQ(path.rfind(real + "/", 0), 0u) << path;
        EXPECT_EQ(path.find("//"), std::string::npos) << path;
    }
    // The folder view finds each file's place below its content directory.
    const DbContainer* album = at(lock, g_db.music_root, {"Folders", "Album"});
    ASSERT_NE(album, nullptr);
    EXPECT_EQ(album->child_count, 1);
    EXPECT_FALSE(at(lock, g_db.music_root, {"Folders", "real"}));
    // A rescan request names the same paths.
    EXPECT_EQ(rescan_dir_resolve(dir.file("link") + "//Album/"), real + "/Album");
}

} // namespace

namespace
{

TEST_F(Scanner, FolderCoverIsTheArtOfTracksWithoutTheirOwn)
{
    setting_set(KEY_CONTENTDIR, dir.path);
    db_create();
    const std::string covered = mp3("covered/a.mp3", "Covered");
    const std::string cover = dir.file("covered/Cover.JPG");
    write_bytes(cover, {0xFF, 0xD8, 0xFF, 0xE0, 0xFF, 0xD9});
    const std::string plain = mp3("plain/b.mp3", "Plain");
    // Names that only resemble a cover are pictures like any other.
    const std::string photo = dir.file("plain/covers.jpg");
    write_bytes(photo, {0xFF, 0xD8, 0xFF, 0xE0, 0xFF, 0xD9});
    scan_all(running);
    const DbLock lock = db_lock();
    const DbItem* a = item_by_path(lock, covered);
    const DbItem* b = item_by_path(lock, plain);
    ASSERT_TRUE(a && b);
    EXPECT_EQ(a->album_art, kAlbumArtFromFolder);
    EXPECT_EQ(b->album_art, 0);
    EXPECT_FALSE(item_by_path(lock, cover)) << "a cover is not listed among the pictures";
}

} // namespace
