#include "db/db_fixture.h"
#include "scan/scanner.h"
#include "scan/subtitle_sidecars.h"
#include "scan/visual_readers.h"

#include <filesystem>

namespace
{

TEST(SubtitleSidecars, NamesThatBelongToAVideo)
{
    struct Row {
        const char* video;
        const char* subtitle;
        bool matches;
    };
    const Row rows[] = {
        {"Movie.mkv", "Movie.srt", true},
        {"Movie.mkv", "Movie.SRT", true},
        {"Movie.mkv", "Movie.en.srt", true},
        {"Movie.mkv", "Movie.pt-BR.Ass", true},
        {"Movie.mkv", "Movie.forced.ssa", true},
        {"Movie.mkv", "Movie.eng.smi", true},
        {"Movie.mkv", "Movie.sub", true},
        {"Movie.Part.1.avi", "Movie.Part.1.en.srt", true},
        {"Movie.mkv", "movie.srt", false},   // another name on a case-sensitive disk
        {"Movie.mkv", "Movie2.srt", false},  // another film
        {"Movie.mkv", "Movie 2.srt", false}, // another film
        {"Movie.mkv", "Movie.txt", false},
        {"Movie.mkv", "Movie.idx", false},
        {"Movie.mkv", "Movie.directors-cut.srt", false}, // too long for a language
        {"Movie.mkv", "Movie.en.fr.srt", false},
        {"Movie.mkv", "Movie..srt", false},
        {"Movie.mkv", "Mov.srt", false},
        {"Movie.mkv", ".srt", false},
        {"Movie.mkv", "srt", false},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(subtitle_matches_video(row.video, row.subtitle), row.matches)
            << row.video << " / " << row.subtitle;
    }
    EXPECT_TRUE(subtitle_is_sidecar_name("a.SMI"));
    EXPECT_FALSE(subtitle_is_sidecar_name("a.mkv"));
}

// The choice does not depend on the order in which the directory lists its
// files.
TEST(SubtitleSidecars, PickPrefersThePlainNameThenSubRipThenTheName)
{
    std::vector<std::string> names = {"Movie.de.srt", "Other.srt", "Movie.ass", "Movie.en.srt",
                                      "Movie.srt"};
    for (int round = 0; round < 2; ++round) {
        EXPECT_EQ(subtitle_pick_sidecar("Movie.mkv", names), "Movie.srt");
        std::reverse(names.begin(), names.end());
    }
    EXPECT_EQ(subtitle_pick_sidecar("Movie.mkv", {"Movie.ass", "Movie.smi"}), "Movie.ass");
    EXPECT_EQ(subtitle_pick_sidecar("Movie.mkv", {"Movie.en.srt", "Movie.de.srt"}), "Movie.de.srt");
    EXPECT_EQ(subtitle_pick_sidecar("Movie.mkv", {"Movie.en.ass", "Movie.fr.srt"}), "Movie.fr.srt");
    EXPECT_EQ(subtitle_pick_sidecar("Movie.mkv", {"Film.srt", "Movie.txt"}), "");
}

class SubtitleScan : public DbTest
{
protected:
    void SetUp() override
    {
        DbTest::SetUp();
        visual_readers_register();
        setting_set(KEY_CONTENTDIR, dir.path);
        db_create();
        running = 1;
    }

    std::string subtitle_of(const std::string& video)
    {
        const DbLock lock = db_lock();
        const DbItem* item = db_find_item_for_class(lock, dir.file(video), kClassMovie);
        if (!item) {
            return "(no item)";
        }
        return item->subtitle ? item->subtitle.get() : "";
    }

    int videos()
    {
        const DbLock lock = db_lock();
        return g_db.all_videos->child_count;
    }

    ThreadFlag running{0};
};

TEST_F(SubtitleScan, SidecarsAreRecordedOnTheirVideosAndAreNoItems)
{
    std::filesystem::create_directories(dir.file("films"));
    write_text_file(dir.file("films/Film.avi"), "video");
    write_text_file(dir.file("films/Film.EN.SRT"), "1\n00:00:01,000 --> 00:00:02,000\nHi\n");
    write_text_file(dir.file("films/Clip.mpg"), "video");
    write_text_file(dir.file("films/Clip.ass"), "[Script Info]\n");
    write_text_file(dir.file("films/Clip.fr.srt"), "1\n");
    write_text_file(dir.file("films/Bare.avi"), "video");
    write_text_file(dir.file("films/Orphan.srt"), "1\n");
    scan_all(running);

    EXPECT_EQ(videos(), 3) << "subtitle files are not videos";
    EXPECT_EQ(subtitle_of("films/Film.avi"), dir.file("films/Film.EN.SRT"));
    EXPECT_EQ(subtitle_of("films/Clip.mpg"), dir.file("films/Clip.ass"));
    EXPECT_EQ(subtitle_of("films/Bare.avi"), "");
    {
        const DbLock lock = db_lock();
        EXPECT_EQ(db_check_consistency(lock), "");
    }

    // The next pass sees a sidecar gone, another added.
    std::filesystem::remove(dir.file("films/Clip.ass"));
    write_text_file(dir.file("films/Bare.srt"), "1\n");
    scan_all(running);
    EXPECT_EQ(subtitle_of("films/Clip.mpg"), dir.file("films/Clip.fr.srt"));
    EXPECT_EQ(subtitle_of("films/Bare.avi"), dir.file("films/Bare.srt"));
    EXPECT_EQ(subtitle_of("films/Film.avi"), dir.file("films/Film.EN.SRT"));
    EXPECT_EQ(videos(), 3);
}

// The persistence file does not carry sidecars: the first pass after a
// restart, which walks every directory, records them again.
TEST_F(SubtitleScan, FirstPassAfterARestartRecordsTheSidecarsAgain)
{
    write_text_file(dir.file("Film.avi"), "video");
    write_text_file(dir.file("Film.srt"), "1\n");
    scan_all(running);
    ASSERT_EQ(subtitle_of("Film.avi"), dir.file("Film.srt"));
    ASSERT_EQ(db_restart_through_persistence(), 1);
    EXPECT_EQ(subtitle_of("Film.avi"), "");
    scan_all(running);
    EXPECT_EQ(subtitle_of("Film.avi"), dir.file("Film.srt"));
    EXPECT_EQ(videos(), 1);
}

// A directory taken for music only gives no videos, and its subtitle files
// stay out of the tree as well.
TEST_F(SubtitleScan, MusicOnlyDirectoryTakesNoSubtitles)
{
    setting_set(KEY_CONTENTDIR, "M|" + dir.path);
    write_text_file(dir.file("Film.avi"), "video");
    write_text_file(dir.file("Film.srt"), "1\n");
    scan_all(running);
    EXPECT_EQ(videos(), 0);
    const DbLock lock = db_lock();
    EXPECT_EQ(db_find_item_for_class(lock, dir.file("Film.srt"), kClassMusicTrack), nullptr);
}

} // namespace
