#include "core/paths.h"
#include "core/settings.h"
#include "support/temp_dir.h"

#include <filesystem>
#include <gtest/gtest.h>

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

TEST(PathText, BackslashesBecomeSlashes)
{
    char text[] = "a\\b\\c";
    EXPECT_STREQ(backslash_to_slash(text), "a/b/c");
    EXPECT_EQ(backslash_to_slash(static_cast<char*>(nullptr)), nullptr);
}

} // namespace
