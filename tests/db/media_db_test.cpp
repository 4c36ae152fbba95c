#include "core/edition.h"
#include "core/log.h"
#include "db/media_db.h"
#include "db_fixture.h"

#include <unistd.h>

namespace
{

using MediaTree = DbTest;

TEST_F(MediaTree, CreateBuildsTopContainersNewestFirst)
{
    db_create();
    const DbLock lock = db_lock();
    EXPECT_EQ(titles(lock, g_db.root), (std::vector<std::string>{"Videos", "Pictures", "Music"}));
    EXPECT_EQ(titles(lock, g_db.music_root),
              (std::vector<std::string>{"Alpha", "Year/Artist", "Year/Albums", "Genres/Artists",
                                        "Artists/Albums", "Folders", "Albums", "Genres", "Artists",
                                        "Internet Radio", "All Tracks", "Playlists"}));
    EXPECT_EQ(titles(lock, g_db.playlists),
              (std::vector<std::string>{"- Last Played -", "- Most Played -"}));
    EXPECT_EQ(titles(lock, g_db.radio), (std::vector<std::string>{"- Favorites- "}));
    EXPECT_EQ(titles(lock, g_db.picture_root),
              (std::vector<std::string>{"Date", "Folders", "All Pictures"}));
    EXPECT_EQ(g_db.root->id, 0);
    EXPECT_EQ(db_find_child(lock, g_db.music_root, "Artists")->view_number, 101);
    EXPECT_EQ(g_db.adobe_tags, nullptr);
}

TEST_F(MediaTree, EmptySettingsLeaveContainersOut)
{
    setting_set(KEY_ROOTPICTURE, "");
    setting_set(KEY_PLAYLISTS, "");
    setting_set(KEY_ALLTRACKS, "");
    db_create();
    const DbLock lock = db_lock();
    EXPECT_EQ(g_db.picture_root, nullptr);
    EXPECT_EQ(g_db.playlists, nullptr);
    EXPECT_EQ(g_db.last_played_list, nullptr);
    ASSERT_TRUE(g_db.all_tracks);
    EXPECT_STREQ(g_db.all_tracks->title.get(), "All Tracks [is needed]");
}

TEST_F(MediaTree, SamePathTwiceWithEqualAndLargerMtime)
{
    db_create();
    const std::string path = file("a.mp3");
    ASSERT_EQ(add_music(path, "Song", "Abba", "Gold", 1, 100), DB_ADDED);
    NodeId first_id;
    {
        const DbLock lock = db_lock();
        first_id = item_by_path(lock, path)->id;
    }
    EXPECT_EQ(add_music(path, "Song", "Abba", "Gold", 5, 100), DB_ALREADY_PRESENT);
    {
        const DbLock lock = db_lock();
        EXPECT_EQ(g_db.all_tracks->child_count, 1);
        EXPECT_EQ(item_by_path(lock, path)->track, 5) << "a non-zero track number is taken over";
    }
    EXPECT_EQ(add_music(path, "Song", "Queen", "Gold", 1, 200), DB_ADDED);
    const DbLock lock = db_lock();
    DbItem* second = item_by_path(lock, path);
    ASSERT_TRUE(second);
    EXPECT_EQ(second->id, first_id) << "a changed file keeps its object id";
    EXPECT_EQ(g_db.all_tracks->child_count, 1);
    EXPECT_EQ(
        db_find_child(lock, db_find_child(lock, g_db.music_root, "Artists"), "Abba")->child_count,
        0)
        << "the item left the folder of its old artist";
}

// A file read again because it changed is the same object to players and
// playlists: only its values and its places in the views follow the file.
TEST_F(MediaTree, ChangedFileIsUpdatedInPlace)
{
    db_create();
    const std::string path = file("a.mp3");
    ASSERT_EQ(add_music(path, "Song", "Abba", "Gold", 1, 100), DB_ADDED);
    // A playlist read earlier in the same pass names the file.
    ASSERT_EQ(add_music(path, "Song", "Abba", "Gold", 4, 100, "Mix"), DB_ALREADY_PRESENT);
    NodeId id;
    {
        const DbLock lock = db_lock();
        DbItem* item = item_by_path(lock, path);
        id = item->id;
        item->play_count = 3;
        item->last_played = 555;
    }
    db_flush_events();

    DbItemFields f;
    f.upnp_class = "object.item.audioItem.musicTrack";
    f.path = path.c_str();
    f.title = "Song Two";
    f.artist = "Queen";
    f.album = "Gold";
    f.duration = "0:05:00.000";
    f.track = 2;
    f.bitrate = 128000;
    f.mtime = 200;
    ASSERT_EQ(db_add_item(f), DB_ADDED);
    NodeId list_id;
    {
        const DbLock lock = db_lock();
        EXPECT_EQ(db_check_consistency(lock), "");
        DbItem* item = item_by_path(lock, path);
        ASSERT_TRUE(item);
        EXPECT_EQ(item->id, id);
        EXPECT_EQ(db_find_by_id(lock, id), item);
        EXPECT_STREQ(item->title.get(), "Song Two");
        EXPECT_EQ(item->track, 2);
        EXPECT_EQ(item->mtime, 200);
        EXPECT_EQ(item->play_count, 3);
        EXPECT_EQ(item->last_played, 555);
        EXPECT_EQ(g_db.all_tracks->child_count, 1);
        DbContainer* list = db_find_child(lock, g_db.playlists, "Mix");
        ASSERT_TRUE(list);
        list_id = list->id;
        ASSERT_EQ(list->child_count, 1) << "the playlist keeps its reference";
        EXPECT_EQ(db_target_item(lock, db_first_child(lock, list)), item);
        EXPECT_EQ(list->music_ms, 300000) << "totals follow the new duration";
        EXPECT_EQ(at(lock, g_db.music_root, {"Artists", "Abba"})->child_count, 0);
        DbContainer* queen = at(lock, g_db.music_root, {"Artists", "Queen"});
        ASSERT_TRUE(queen);
        EXPECT_EQ(titles(lock, queen), (std::vector<std::string>{"Song Two"}));
    }
    const std::optional<DbFlush> changed = db_flush_events();
    ASSERT_TRUE(changed);
    EXPECT_NE(("," + changed->container_update_ids).find("," + std::to_string(list_id) + ","),
              std::string::npos)
        << "the playlist shows the new title: " << changed->container_update_ids;

    // Newer again but showing the same: nothing is marked, the time is kept.
    f.mtime = 300;
    EXPECT_EQ(db_add_item(f), DB_ADDED);
    EXPECT_FALSE(db_flush_events());
    const DbLock lock = db_lock();
    EXPECT_EQ(item_by_path(lock, path)->mtime, 300);
    EXPECT_EQ(db_check_consistency(lock), "");
}

TEST_F(MediaTree, PlaylistReferenceIsAddedOnce)
{
    db_create();
    const std::string path = file("a.mp3");
    ASSERT_EQ(add_music(path, "Song", "Abba", "Gold"), DB_ADDED);
    EXPECT_EQ(add_music(path, "Song", "Abba", "Gold", 4, 1, "Party"), DB_ALREADY_PRESENT);
    EXPECT_EQ(add_music(path, "Song", "Abba", "Gold", 4, 1, "Party"), DB_ALREADY_PRESENT);
    const DbLock lock = db_lock();
    DbContainer* party = db_find_child(lock, g_db.playlists, "Party");
    ASSERT_TRUE(party);
    EXPECT_EQ(party->child_count, 1);
    EXPECT_EQ(db_as_reference(db_first_child(lock, party))->order, 4);
    EXPECT_STREQ(item_by_path(lock, path)->playlist.get(), "Party");
    EXPECT_STREQ(party->upnp_class, kClassPlaylist);
}

TEST_F(MediaTree, TitlesFallBackToTheFileName)
{
    db_create();
    const std::string plain = file("the dark side.mp3");
    const std::string bare = file(".mp3");
    ASSERT_EQ(add_music(plain, "", "a", "b"), DB_ADDED);
    ASSERT_EQ(add_music(bare, nullptr, "a", "b"), DB_ADDED);
    const DbLock lock = db_lock();
    EXPECT_STREQ(item_by_path(lock, plain)->title.get(), "Dark Side, The");
    EXPECT_STREQ(item_by_path(lock, bare)->title.get(), "No Title");
}

TEST_F(MediaTree, MissingFileIsNotAdded)
{
    db_create();
    log_open_file(dir.file("log.txt").c_str());
    EXPECT_EQ(add_music(dir.file("gone.mp3"), "x", "a", "b"), DB_ADD_FAILED);
    log_close();
    EXPECT_NE(
        read_text_file(dir.file("log.txt"))
            .find("[Problem]DB:item could not be found on disk: " + dir.file("gone.mp3") + "\n"),
        std::string::npos);
    const DbLock lock = db_lock();
    EXPECT_EQ(g_db.all_tracks->child_count, 0);
}

// A restart of the services destroys the tree and builds it again: its
// containers must get the ids they had, as in a new process, so that the ids
// players saved still name them (items get theirs from the library file).
TEST_F(MediaTree, RebuiltTreeNumbersItsContainersAsTheFirstBuild)
{
    db_create();
    NodeId music = kNoNode;
    NodeId all_tracks = kNoNode;
    {
        const DbLock lock = db_lock();
        music = g_db.music_root->id;
        all_tracks = g_db.all_tracks->id;
    }
    ASSERT_EQ(add_music(file("a.mp3"), "x", "a", "b"), DB_ADDED);
    db_destroy();
    db_create();
    const DbLock lock = db_lock();
    EXPECT_EQ(g_db.music_root->id, music);
    EXPECT_EQ(g_db.all_tracks->id, all_tracks);
}

TEST_F(MediaTree, UpdateIdsGrowOncePerFlushInTreeOrder)
{
    setting_set(KEY_ROOTPICTURE, "");
    setting_set(KEY_ROOTVIDEO, "");
    db_create();
    db_flush_events();
    const uint32_t before = g_db.system_update_id;
    DbContainer* a;
    DbContainer* b;
    {
        const DbLock lock = db_lock();
        a = db_add_container(lock, "A", g_db.root, kClassContainer, true);
        b = db_add_container(lock, "B", a, kClassContainer, true);
    }
    db_flush_events();
    {
        const DbLock lock = db_lock();
        for (int i = 0; i < 3; ++i) {
            db_mark_changed(lock, b);
        }
        db_mark_changed(lock, a);
    }
    auto flush = db_flush_events();
    ASSERT_TRUE(flush);
    EXPECT_EQ(flush->container_update_ids,
              std::to_string(a->id) + "," + std::to_string(a->update_id) + "," +
                  std::to_string(b->id) + "," + std::to_string(b->update_id));
    EXPECT_EQ(b->update_id, 1) << "three marks between flushes count once";
    EXPECT_EQ(flush->system_update_id, before + 2);
    EXPECT_FALSE(db_flush_events()) << "nothing changed, nothing to flush";
}

TEST_F(MediaTree, PruneRemovesEmptyViewBranchesButKeepsFolders)
{
    db_create();
    const std::string path = file("Jazz/Dozid/so what.mp3");
    ASSERT_EQ(add_music(path, "So What", "Miles", "Kind"), DB_ADDED);
    ASSERT_EQ(add_music(path, "So What", "Davis", "Kind", 0, 2), DB_ADDED);
    db_prune_empty();
    const DbLock lock = db_lock();
    DbContainer* artists = db_find_child(lock, g_db.music_root, "Artists");
    EXPECT_EQ(db_find_child(lock, artists, "Miles"), nullptr);
    EXPECT_TRUE(db_find_child(lock, artists, "Davis"));
    EXPECT_EQ(at(lock, g_db.music_root, {"Genres/Artists", "Rock", "Miles"}), nullptr);
    EXPECT_TRUE(at(lock, g_db.music_root, {"Folders", "Jazz", "Dozid"}));
    EXPECT_EQ(db_check_consistency(lock), "");
}

TEST_F(MediaTree, ObjectIdAliases)
{
    db_create();
    NodeId music, pictures, videos;
    {
        const DbLock lock = db_lock();
        music = g_db.music_root->id;
        pictures = g_db.picture_root->id;
        videos = g_db.video_root->id;
    }
    EXPECT_EQ(db_resolve_object_id("0\\Photo\\", false), pictures);
    EXPECT_EQ(db_resolve_object_id("0\\Movie\\", false), videos);
    EXPECT_EQ(db_resolve_object_id("0\\Music\\", false), music);
    EXPECT_EQ(db_resolve_object_id("0", true), music);
    EXPECT_EQ(db_resolve_object_id("0", false), 0);
    EXPECT_EQ(db_resolve_object_id("42", false), 42);
    // Any other text names no object, not the root.
    for (const char* id : {"42abc", "abc", " 5", "5 ", "", "+5", "2147483648"}) {
        EXPECT_EQ(db_resolve_object_id(id, false), kNoNode) << '"' << id << '"';
    }
    EXPECT_EQ(db_resolve_object_id("abc", true), kNoNode) << "not the music client's start";
    EXPECT_EQ(db_resolve_object_id("2147483647", false), 2147483647);
    EXPECT_EQ(db_resolve_object_id(nullptr, false), kNoNode);
}

TEST_F(MediaTree, PhotoAliasWithoutPicturesFallsThrough)
{
    setting_set(KEY_ROOTPICTURE, "");
    db_create();
    EXPECT_EQ(db_resolve_object_id("0\\Photo\\", false), 0);
}

TEST_F(MediaTree, UpdatePropertyResults)
{
    db_create();
    const std::string path = file("a.mp3");
    ASSERT_EQ(add_music(path, "Song", "Abba", "Gold"), DB_ADDED);
    std::string id;
    {
        const DbLock lock = db_lock();
        id = std::to_string(item_by_path(lock, path)->id);
    }
    EXPECT_EQ(db_update_property(id.c_str(), "ti", "Song", "Better"), 200);
    EXPECT_EQ(db_update_property(id.c_str(), "title", "Song", "Other"), 403);
    EXPECT_EQ(db_update_property(id.c_str(), "rating", "", "5"), 402);
    EXPECT_EQ(db_update_property(id.c_str(), "dc:description", nullptr, "nice"), 200);
    EXPECT_EQ(db_update_property(id.c_str(), "", "", "x"), 501);
    EXPECT_EQ(db_update_property("999999", "title", "", "x"), 501);
    EXPECT_EQ(db_update_property("0", "title", "", "x"), 501) << "containers cannot be updated";
    EXPECT_EQ(db_update_property(nullptr, "title", "", "x"), 501);
    const DbLock lock = db_lock();
    EXPECT_STREQ(item_by_path(lock, path)->title.get(), "Better");
    EXPECT_STREQ(item_by_path(lock, path)->description.get(), "nice");
}

TEST_F(MediaTree, RadioStationsByGenreAndFavourites)
{
    db_create();
    DbItemFields f;
    f.upnp_class = "object.item.audioItem.audioBroadcast";
    f.title = "Jazz FM";
    f.genre = "Jazz";
    f.path = "http://radio.invalid/jazz";
    ASSERT_EQ(db_add_item(f), DB_ADDED);
    f.path = "http://radio.invalid/mine";
    f.playlist = "My Radio";
    ASSERT_EQ(db_add_item(f), DB_ADDED);
    f.path = "http://radio.invalid/none";
    f.playlist = nullptr;
    f.genre = nullptr;
    EXPECT_EQ(db_add_item(f), DB_ADD_FAILED) << "no genre and no playlist: no place for it";
    {
        const DbLock lock = db_lock();
        DbContainer* jazz = db_find_child(lock, g_db.radio, "Jazz");
        ASSERT_TRUE(jazz);
        DbItem* station = db_as_item(db_first_child(lock, jazz));
        ASSERT_TRUE(station);
        EXPECT_EQ(db_parent(lock, station), jazz);
        EXPECT_EQ(g_db.radio_favorites->child_count, 1);
        EXPECT_EQ(db_find_child(lock, g_db.playlists, "My Radio")->child_count, 1);
    }
    db_clear_radio();
    const DbLock lock = db_lock();
    EXPECT_EQ(titles(lock, g_db.radio), (std::vector<std::string>{"- Favorites- "}));
    EXPECT_EQ(g_db.radio->child_count, 1);
    EXPECT_TRUE(g_db.radio->update_pending);
    EXPECT_EQ(db_check_consistency(lock), "");
}

TEST_F(MediaTree, LocationDurationNeedsABitrate)
{
    db_create();
    const std::string path = file("a.mp3");
    DbItemFields f;
    f.upnp_class = kClassMusicTrack;
    f.path = path.c_str();
    f.duration = "0:01:00.500";
    ASSERT_EQ(db_add_item(f), DB_ADDED);
    std::string id;
    {
        const DbLock lock = db_lock();
        id = std::to_string(item_by_path(lock, path)->id);
    }
    auto location = db_item_location(id.c_str());
    ASSERT_TRUE(location);
    EXPECT_EQ(location->path, path);
    EXPECT_EQ(location->duration_ms, 0);
    EXPECT_FALSE(db_item_location("0"));
}

TEST_F(MediaTree, VanishedFilesArePurged)
{
    db_create();
    const std::string keep = file("keep.mp3");
    const std::string gone = file("gone.mp3");
    ASSERT_EQ(add_music(keep, "Keep", "A", "B"), DB_ADDED);
    ASSERT_EQ(add_music(gone, "Gone", "A", "C"), DB_ADDED);
    unlink(gone.c_str());
    db_purge_vanished();
    db_prune_empty();
    const DbLock lock = db_lock();
    EXPECT_TRUE(item_by_path(lock, keep));
    EXPECT_EQ(item_by_path(lock, gone), nullptr);
    EXPECT_EQ(db_find_child(lock, db_find_child(lock, g_db.music_root, "Albums"), "C"), nullptr);
    EXPECT_EQ(db_check_consistency(lock), "");
}

TEST_F(MediaTree, MusicEditionHangsMusicBelowTheRoot)
{
    edition_select(Edition::MusicOnly);
    db_create();
    edition_select(Edition::Full);
    const DbLock lock = db_lock();
    EXPECT_EQ(g_db.music_root, g_db.root);
    EXPECT_EQ(g_db.picture_root, nullptr);
    EXPECT_EQ(g_db.video_root, nullptr);
    EXPECT_TRUE(db_find_child(lock, g_db.root, "All Tracks"));
    EXPECT_EQ(db_find_child(lock, g_db.root, "Alpha")->view_number, 109);
}

} // namespace
