#include "db/auto_playlists.h"
#include "db_fixture.h"

namespace
{

using AutoPlaylists = DbTest;

std::string id_of(const std::string& path)
{
    const DbLock lock = db_lock();
    return std::to_string(db_find_item_for_class(lock, path, kClassMusicTrack)->id);
}

TEST_F(AutoPlaylists, LastPlayedKeepsTheNewestEntries)
{
    setting_set(KEY_PLAYLISTNUMENTRIES, "2");
    db_create();
    const std::string a = file("a.mp3"), b = file("b.mp3"), c = file("c.mp3");
    add_music(a, "A", "x", "y");
    add_music(b, "B", "x", "y");
    add_music(c, "C", "x", "y");
    // Plays a second apart, as the list tells them apart.
    const int64_t start = g_db.created_at + 10;
    db_item_played(id_of(a).c_str(), start);
    db_item_played(id_of(b).c_str(), start + 1);
    db_item_played(id_of(c).c_str(), start + 2);
    {
        const DbLock lock = db_lock();
        auto t = titles(lock, g_db.last_played_list);
        std::sort(t.begin(), t.end());
        EXPECT_EQ(t, (std::vector<std::string>{"B", "C"}));
    }
    db_item_played(id_of(a).c_str(), start + 3);
    const DbLock lock = db_lock();
    auto t = titles(lock, g_db.last_played_list);
    std::sort(t.begin(), t.end());
    EXPECT_EQ(t, (std::vector<std::string>{"A", "C"})) << "B had the smaller value";
    EXPECT_EQ(db_check_consistency(lock), "");
}

TEST_F(AutoPlaylists, PlayingTwiceUpdatesTheOneEntry)
{
    db_create();
    const std::string a = file("a.mp3");
    add_music(a, "A", "x", "y");
    db_item_played(id_of(a).c_str());
    db_item_played(id_of(a).c_str());
    const DbLock lock = db_lock();
    EXPECT_EQ(g_db.most_played_list->child_count, 1);
    EXPECT_EQ(g_db.last_played_list->child_count, 1);
    EXPECT_EQ(db_as_reference(db_first_child(lock, g_db.most_played_list))->order, 2);
    EXPECT_EQ(db_find_item_for_class(lock, a, kClassMusicTrack)->play_count, 2);
}

TEST_F(AutoPlaylists, EmptyListIsFilledWhenOpened)
{
    db_create();
    DbItemFields f;
    f.upnp_class = kClassMusicTrack;
    const std::string a = file("a.mp3"), b = file("b.mp3");
    f.path = a.c_str();
    f.play_count = 5;
    ASSERT_EQ(db_add_item(f), DB_ADDED);
    f.path = b.c_str();
    f.play_count = 9;
    ASSERT_EQ(db_add_item(f), DB_ADDED);
    NodeId most;
    {
        const DbLock lock = db_lock();
        most = g_db.most_played_list->id;
        EXPECT_EQ(g_db.most_played_list->child_count, 0);
    }
    EXPECT_EQ(db_resolve_object_id(std::to_string(most).c_str(), "10.0.0.1"), most);
    const DbLock lock = db_lock();
    EXPECT_EQ(g_db.most_played_list->child_count, 2);
}

TEST_F(AutoPlaylists, M3uListsItemIdsAsMp3)
{
    db_create();
    const std::string wma = file("a.wma");
    add_music(wma, "A", "x", "y", 1);
    add_music(wma, "A", "x", "y", 1, 1, "List");
    NodeId list;
    std::string item;
    {
        const DbLock lock = db_lock();
        list = db_find_child(lock, g_db.playlists, "List")->id;
        item = std::to_string(db_find_item_for_class(lock, wma, kClassMusicTrack)->id);
    }
    auto m3u = m3u_for_container(std::to_string(list).c_str(), "http://h:9000/");
    ASSERT_TRUE(m3u);
    EXPECT_EQ(strbuf_view(*m3u), "#EXTM3U\r\nhttp://h:9000/disk/" + item + ".mp3\r\n");
    EXPECT_FALSE(m3u_for_container(item.c_str(), "http://h:9000/")) << "an item is no container";
}

TEST_F(AutoPlaylists, M3uStopsAfterTheLimit)
{
    db_create();
    for (int i = 0; i < 40; ++i) {
        add_music(file(std::to_string(i) + ".mp3"), "T", "x", "y");
    }
    std::string base(30000, 'b');
    auto m3u = m3u_for_container("0", base.c_str());
    ASSERT_TRUE(m3u);
    EXPECT_GT(m3u->length, kM3uLimit);
    EXPECT_LT(m3u->length, kM3uLimit + 31000) << "cut after the entry that crossed the limit";
}

TEST_F(AutoPlaylists, DurationTotalsCountReferences)
{
    db_create();
    add_music(file("a.mp3"), "A", "x", "y");
    add_music(file("b.mp3"), "B", "x", "z");
    const DbLock lock = db_lock();
    EXPECT_EQ(music_duration_total(lock, g_db.all_tracks), 2 * 180000);
    EXPECT_EQ(music_duration_total(lock, db_find_child(lock, g_db.music_root, "Albums")),
              4 * 180000)
        << "each album and - All - reference counts";
    EXPECT_EQ(db_check_consistency(lock), "");
}

} // namespace
