#include "core/paths.h"
#include "core/settings.h"
#include "support/temp_dir.h"

#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <unistd.h>

namespace
{

class Paths : public ::testing::Test
{
protected:
    void SetUp() override
    {
        std::filesystem::create_directories(dir.file("data/music/album"));
        std::filesystem::create_directories(dir.file("data/pics"));
        write_text_file(dir.file("data/pics/a.jpg"), "x");
        write_text_file(dir.file("data/music/album/song.mp3"), "x");
        write_text_file(dir.file("data/music/top.mp3"), "x");
        setting_set(KEY_CONTENTDIR, "");
    }
    void TearDown() override
    {
        setting_set(KEY_CONTENTDIR, "");
    }
    TempDir dir;
};

TEST_F(Paths, ResolveClimbsOneLevelPerDotDot)
{
    EXPECT_EQ(resolve_path(dir.file("data/music"), "../pics/a.jpg"), dir.file("data/pics/a.jpg"));
    EXPECT_EQ(resolve_path(dir.file("data/music/album"), "../../pics/a.jpg"),
              dir.file("data/pics/a.jpg"));
    EXPECT_EQ(resolve_path(dir.file("data/music/"), "./top.mp3"), dir.file("data/music/top.mp3"));
    EXPECT_EQ(resolve_path(dir.file("data/music"), "..\\pics\\a.jpg"), dir.file("data/pics/a.jpg"))
        << "playlists written on other systems use backslashes";
    EXPECT_EQ(resolve_path(dir.file("data/music"), "album/song.mp3\r"),
              dir.file("data/music/album/song.mp3"));
    EXPECT_EQ(resolve_path(dir.file("data/music"), "missing.mp3"), std::nullopt);
}

TEST_F(Paths, LocateTriesReferenceDirectoryThenContentDirectories)
{
    auto url = locate_file("http://radio.invalid/stream", "/x/list.m3u");
    ASSERT_TRUE(url);
    EXPECT_TRUE(url->is_url);

    auto absolute = locate_file(dir.file("data/pics/a.jpg"), "/x/list.m3u");
    ASSERT_TRUE(absolute);
    EXPECT_FALSE(absolute->is_url);

    auto beside = locate_file("album/song.mp3", dir.file("data/music/list.m3u"));
    ASSERT_TRUE(beside);
    EXPECT_EQ(beside->path, dir.file("data/music/album/song.mp3"));

    EXPECT_EQ(locate_file("a.jpg", "/nowhere/list.m3u"), std::nullopt);
    setting_set(KEY_CONTENTDIR, "/nowhere,P|" + dir.file("data/pics"));
    auto in_content = locate_file("a.jpg", "/nowhere/list.m3u");
    ASSERT_TRUE(in_content);
    EXPECT_EQ(in_content->path, dir.file("data/pics/a.jpg"));
}

TEST_F(Paths, LocateFallsBackToStartDirectoryWithoutContentDirectories)
{
    set_program_paths("/usr/bin/plenwick", dir.file("data"));
    auto hit = locate_file("music/top.mp3", "/nowhere/list.m3u");
    ASSERT_TRUE(hit);
    EXPECT_EQ(hit->path, dir.file("data/music/top.mp3"));
    EXPECT_EQ(start_directory(), dir.file("data"));
    EXPECT_EQ(program_path(), "/usr/bin/plenwick");
}

TEST(PathText, BelowComparesWholeComponents)
{
    struct Row {
        const char* path;
        const char* root;
        bool below;
    };
    const Row rows[] = {
        {"/srv/music", "/srv/music", true},
        {"/srv/music/a/b.mp3", "/srv/music", true},
        {"/srv/music/a", "/srv/music/", true},
        {"/srv/music2", "/srv/music", false},
        {"/srv/music2/a.mp3", "/srv/music", false},
        {"/srv", "/srv/music", false},
        {"/etc/passwd", "/", true},
        {"/srv/music", "", false},
        {"srv/music", "srv", false},
    };
    for (const Row& r : rows) {
        EXPECT_EQ(path_is_below(r.path, r.root), r.below) << r.path << " in " << r.root;
    }
    EXPECT_TRUE(path_is_system("/proc"));
    EXPECT_TRUE(path_is_system("/proc/self/fd/3"));
    EXPECT_TRUE(path_is_system("/sys/kernel"));
    EXPECT_TRUE(path_is_system("/dev/zero"));
    EXPECT_FALSE(path_is_system("/devices"));
    EXPECT_FALSE(path_is_system("/srv/proc"));
}

TEST_F(Paths, CanonicalFormsResolveDotsAndLinks)
{
    const std::string music = *path_canonical(dir.file("data/music"));
    EXPECT_EQ(path_canonical(dir.file("data/pics/../music/./album")), music + "/album");
    std::filesystem::create_directory_symlink(dir.file("data/music"), dir.file("data/tunes"));
    EXPECT_EQ(path_canonical(dir.file("data/tunes/top.mp3")), music + "/top.mp3");
    EXPECT_EQ(path_canonical(dir.file("data/missing")), std::nullopt);
    EXPECT_EQ(path_canonical(""), std::nullopt);
    EXPECT_EQ(path_canonical(std::string("/etc\0/passwd", 12)), std::nullopt);

    // A directory that does not exist yet: what exists is resolved, the rest
    // may not climb.
    EXPECT_EQ(path_canonical_allow_missing(dir.file("data/tunes/new/cd1/")), music + "/new/cd1");
    EXPECT_EQ(path_canonical_allow_missing(dir.file("data/new/../../../etc")), std::nullopt);
    EXPECT_EQ(path_canonical_allow_missing(dir.file("data/new/./x")), std::nullopt);
    EXPECT_EQ(path_canonical_allow_missing("relative/missing"), std::nullopt);

    const int fd = open(dir.file("data/tunes/top.mp3").c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(path_canonical_of_fd(fd), music + "/top.mp3");
    close(fd);
}

TEST_F(Paths, ContentDirectoriesHoldOnlyWhatLiesInsideThemOnDisk)
{
    TempDir outside;
    write_text_file(outside.file("secret.mp3"), "x");
    setting_set(KEY_CONTENTDIR,
                "M|" + dir.file("data/music") + ",/does/not/exist," + dir.file("data/pics"));
    const std::vector<ContentRoot> roots = content_roots();
    ASSERT_EQ(roots.size(), 2u) << "a missing directory holds nothing";
    EXPECT_EQ(roots[0].kind, 'M');
    EXPECT_EQ(roots[0].written, dir.file("data/music"));
    EXPECT_EQ(roots[1].kind, 0);

    std::filesystem::create_symlink(outside.file("secret.mp3"), dir.file("data/music/out.mp3"));
    std::filesystem::create_symlink(dir.file("data/pics/a.jpg"), dir.file("data/music/in.jpg"));
    std::filesystem::create_symlink("/etc/passwd", dir.file("data/music/passwd.mp3"));
    EXPECT_TRUE(path_in_content_dir(dir.file("data/music/top.mp3")));
    EXPECT_TRUE(path_in_content_dir(dir.file("data/music/in.jpg"))) << "into another content dir";
    EXPECT_FALSE(path_in_content_dir(dir.file("data/music/out.mp3")));
    EXPECT_FALSE(path_in_content_dir(dir.file("data/music/passwd.mp3")));
    EXPECT_FALSE(path_in_content_dir(dir.file("data/music/../music2/x.mp3")));
    EXPECT_FALSE(path_in_content_dir(dir.file("data/music/album/../../../") + "..")) << "climbs";

    // The descriptor judges what was opened, not what the name says now.
    const int fd = open(outside.file("secret.mp3").c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    EXPECT_FALSE(path_in_content_dir(dir.file("data/music/top.mp3"), fd));
    close(fd);

    // Without content directories the start directory is the one.
    setting_set(KEY_CONTENTDIR, "");
    set_program_paths("/usr/bin/plenwick", dir.file("data/pics"));
    EXPECT_TRUE(path_in_content_dir(dir.file("data/pics/a.jpg")));
    EXPECT_FALSE(path_in_content_dir(dir.file("data/music/top.mp3")));
}

TEST(PathText, BackslashesBecomeSlashes)
{
    char text[] = "a\\b\\c";
    EXPECT_STREQ(backslash_to_slash(text), "a/b/c");
    EXPECT_EQ(backslash_to_slash(static_cast<char*>(nullptr)), nullptr);
}

} // namespace
