#include "db/db_internal.h"
#include "db/node_store.h"
#include "db/sort.h"
#include "db_fixture.h"

namespace
{

class Sorting : public DbTest
{
protected:
    // 300 tracks with few distinct titles and tracks, so that many keys
    // compare equal; the children of All Tracks in list order.
    std::vector<DbNode*> tracks_with_equal_keys()
    {
        db_create();
        for (int i = 0; i < 300; ++i) {
            const std::string title = "t" + std::to_string((i * 37) % 23);
            add_music(file(std::to_string(i) + ".mp3"), title.c_str(), "x", "y", (i * 11) % 7);
        }
        const DbLock lock = db_lock();
        std::vector<DbNode*> all;
        for (DbNode* n = db_first_child(lock, g_db.all_tracks); n; n = db_next_sibling(lock, n)) {
            all.push_back(n);
        }
        return all;
    }
};

// "track/title" of nodes[first, last).
std::vector<std::string> track_keys(const DbLock& lock, const std::vector<DbNode*>& nodes,
                                    size_t first, size_t last)
{
    std::vector<std::string> out;
    for (size_t i = first; i < last; ++i) {
        const DbItem* item = db_target_item(lock, nodes[i]);
        out.push_back(std::to_string(item->track) + "/" + item->title.get());
    }
    return out;
}

std::vector<std::string> sorted_titles(const DbLock& lock, DbContainer* c, const char* criteria)
{
    std::vector<DbNode*> nodes;
    for (DbNode* n = db_first_child(lock, c); n; n = db_next_sibling(lock, n)) {
        nodes.push_back(n);
    }
    sort_nodes(lock, nodes, sort_parse(criteria));
    std::vector<std::string> out;
    for (DbNode* n : nodes) {
        if (DbContainer* child = db_as_container(n)) {
            out.push_back(std::string("[") + child->title.get() + "]");
        } else {
            DbItem* item = db_target_item(lock, n);
            out.push_back(item->title ? item->title.get() : "(missing)");
        }
    }
    return out;
}

TEST_F(Sorting, TrackNumbersThenTitles)
{
    db_create();
    add_music(file("1.mp3"), "Two", "A", "B", 2);
    add_music(file("2.mp3"), "Ten", "A", "B", 10);
    add_music(file("3.mp3"), "One", "A", "B", 1);
    add_music(file("4.mp3"), "zulu", "A", "B", 0);
    add_music(file("5.mp3"), "Alpha", "A", "B", 0);
    const DbLock lock = db_lock();
    EXPECT_EQ(sorted_titles(lock, g_db.all_tracks, "+upnp:originalTrackNumber,+dc:title"),
              (std::vector<std::string>{"Alpha", "Zulu", "One", "Two", "Ten"}));
}

// Titles in any script, as a reader of the listing expects them: accented
// letters among their base letters, not after "Z".
TEST_F(Sorting, TitlesByLettersThenAccents)
{
    db_create();
    const char* titles[] = {"Zebra",
                            "\u00C9lan",
                            "Eagle",
                            "Elan",
                            "\u0414\u043E\u0440\u043E\u0433\u0430",
                            "\u00C4rzte",
                            "Apple",
                            "\u0395\u03BB\u03BB\u03AC\u03B4\u03B1",
                            "\u00C9cole"};
    int n = 0;
    for (const char* title : titles) {
        add_music(file("u" + std::to_string(n++) + ".mp3"), title, "A", "B", 0);
    }
    const DbLock lock = db_lock();
    EXPECT_EQ(sorted_titles(lock, g_db.all_tracks, "+dc:title"),
              (std::vector<std::string>{
                  "Apple", "\u00C4rzte", "Eagle", "\u00C9cole", "Elan", "\u00C9lan", "Zebra",
                  "\u0395\u03BB\u03BB\u03AC\u03B4\u03B1", "\u0414\u043E\u0440\u043E\u0433\u0430"}));
}

TEST_F(Sorting, MissingTitlesFirstAndDescendingFlipsTheTieBreak)
{
    db_create();
    const DbLock lock = db_lock();
    DbContainer* c = db_add_container(lock, "C", g_db.root, kClassContainer, true);
    for (const char* t : {"beta", "Alpha", "(missing)"}) {
        auto* item = new DbItem;
        item->kind = DB_ITEM;
        item->upnp_class = kClassMusicTrack;
        if (strcmp(t, "(missing)") != 0) {
            item->title = DbText(t);
        }
        item->path = DbText(std::string("/x/") + t);
        ASSERT_NE(node_store_assign(item), kNoNode);
        db_link_child(lock, c, item);
    }
    db_add_container(lock, "Sub", c, kClassContainer, true);
    EXPECT_EQ(sorted_titles(lock, c, "+dc:title"),
              (std::vector<std::string>{"[Sub]", "(missing)", "Alpha", "beta"}));
    EXPECT_EQ(sorted_titles(lock, c, "-dc:title"),
              (std::vector<std::string>{"[Sub]", "beta", "Alpha", "(missing)"}));
    EXPECT_EQ(sorted_titles(lock, c, "+upnp:rating"),
              (std::vector<std::string>{"[Sub]", "(missing)", "Alpha", "beta"}));
    EXPECT_EQ(sorted_titles(lock, c, "-upnp:rating"),
              (std::vector<std::string>{"[Sub]", "beta", "Alpha", "(missing)"}))
        << "an unknown token still sets the sign of the final title comparison";
}

TEST_F(Sorting, DescendingDateThenDescendingTitle)
{
    db_create();
    add_music(file("1.mp3"), "A", "x", "y", 0, 1, nullptr, "g", "2001-01-01");
    add_music(file("2.mp3"), "B", "x", "y", 0, 1, nullptr, "g", "2003-01-01");
    add_music(file("3.mp3"), "C", "x", "y", 0, 1, nullptr, "g", "2001-01-01");
    const DbLock lock = db_lock();
    EXPECT_EQ(sorted_titles(lock, g_db.all_tracks, "-dc:date"),
              (std::vector<std::string>{"B", "C", "A"}));
}

TEST_F(Sorting, PlaylistOrderWinsOverTrackTag)
{
    db_create();
    const std::string a = file("a.mp3");
    const std::string b = file("b.mp3");
    add_music(a, "Seven", "x", "y", 7);
    add_music(b, "One", "x", "y", 1);
    add_music(a, "Seven", "x", "y", 3, 1, "List");
    add_music(b, "One", "x", "y", 0, 1, "List");
    const DbLock lock = db_lock();
    EXPECT_EQ(sorted_titles(lock, db_find_child(lock, g_db.playlists, "List"),
                            "+upnp:originalTrackNumber"),
              (std::vector<std::string>{"One", "Seven"}))
        << "order 0 falls back to the track tag (1); order 3 sorts as 3";
}

TEST_F(Sorting, DefaultCriteriaByContainerClass)
{
    EXPECT_EQ(sort_criteria_for("+dc:date", kClassMusicFolder), "+dc:date");
    EXPECT_EQ(sort_criteria_for("", kClassAlbum), "+upnp:originalTrackNumber,+dc:title");
    EXPECT_EQ(sort_criteria_for(nullptr, kClassPictureFolder), "+dc:date,+dc:title");
    EXPECT_EQ(sort_criteria_for(nullptr, kClassArtist), "+dc:title,+dc:date");
    EXPECT_EQ(sort_criteria_for(nullptr, nullptr), "+dc:title,+dc:date");
    EXPECT_FALSE(sort_parse(nullptr).present);
}

// A page of a long result is put in order alone; the windows a listing
// takes one after the other must give the full order, equal keys included.
TEST_F(Sorting, WindowsGiveTheOrderOfTheFullSort)
{
    const std::vector<DbNode*> all = tracks_with_equal_keys();
    const DbLock lock = db_lock();
    auto keys = [&](const std::vector<DbNode*>& nodes, size_t first, size_t last) {
        return track_keys(lock, nodes, first, last);
    };
    const SortCriteria criteria = sort_parse("-upnp:originalTrackNumber,+dc:title");
    std::vector<DbNode*> sorted = all;
    sort_nodes(lock, sorted, criteria);
    struct Window {
        size_t first, last;
    };
    for (const Window w : {Window{0, 10}, Window{0, 300}, Window{137, 190}, Window{290, 400},
                           Window{299, 300}, Window{50, 50}}) {
        std::vector<DbNode*> nodes = all;
        sort_nodes_window(lock, nodes, criteria, w.first, w.last);
        const size_t last = std::min<size_t>(w.last, 300);
        EXPECT_EQ(keys(nodes, w.first, last), keys(sorted, w.first, last))
            << "window " << w.first << "-" << w.last;
    }
    // Windows of 64 one after another, each over what the last one left.
    std::vector<DbNode*> nodes = all;
    sort_nodes_window(lock, nodes, criteria, 20, 84);
    for (size_t from = 84; from < nodes.size(); from += 64) {
        sort_nodes_window(lock, std::span(nodes).subspan(from), criteria, 0, 64);
    }
    EXPECT_EQ(keys(nodes, 20, 300), keys(sorted, 20, 300));
}

// The window sort of a long Search works a slice at a time and lets the
// lock go between slices: the windows are the same, and a tree that changed
// while the lock was free is noticed before any node is touched.
TEST_F(Sorting, PausedWindowsGiveTheSameOrderOrNoticeAChange)
{
    const std::vector<DbNode*> all = tracks_with_equal_keys();
    DbLock lock = db_lock();
    const SortCriteria criteria = sort_parse("-upnp:originalTrackNumber,+dc:title");
    auto keys = [&](const std::vector<DbNode*>& nodes, size_t first, size_t last) {
        return track_keys(lock, nodes, first, last);
    };
    std::vector<DbNode*> sorted = all;
    sort_nodes(lock, sorted, criteria);
    // A pause that is always due: the lock is let go after every slice.
    auto due_pause = [&] {
        DbPause pause = db_pause_start(lock);
        pause.since = {};
        return pause;
    };
    for (const auto& [first, last] : std::vector<std::pair<size_t, size_t>>{
             {0, 10}, {0, 300}, {137, 190}, {290, 400}, {299, 300}}) {
        std::vector<DbNode*> nodes = all;
        DbPause pause = due_pause();
        ASSERT_TRUE(sort_nodes_window_paused(lock, nodes, criteria, first, last, &pause, 16));
        if (last * 2 < all.size()) {
            EXPECT_GT(pause.pauses, 0) << "a slice is at least the window's end";
        }
        const size_t end = std::min<size_t>(last, 300);
        EXPECT_EQ(keys(nodes, first, end), keys(sorted, first, end)) << first << "-" << last;
        // Nothing is lost: the nodes are the same set.
        std::vector<DbNode*> a = nodes;
        std::vector<DbNode*> b = all;
        std::sort(a.begin(), a.end());
        std::sort(b.begin(), b.end());
        EXPECT_EQ(a, b);
    }
    std::vector<DbNode*> nodes = all;
    DbPause stale = due_pause();
    --stale.changes; // as if the tree had changed while the lock was free
    EXPECT_FALSE(sort_nodes_window_paused(lock, nodes, criteria, 0, 10, &stale, 16));
    EXPECT_EQ(nodes, all);
}

TEST(SortTokens, CountsTheKeysAClientSends)
{
    EXPECT_EQ(sort_token_count(""), 0);
    EXPECT_EQ(sort_token_count("+dc:title"), 1);
    EXPECT_EQ(sort_token_count("+dc:title,-dc:date"), 2);
    EXPECT_EQ(sort_token_count("+upnp:genre,+upnp:genre,"), 2) << "a trailing comma adds none";
    EXPECT_EQ(sort_token_count(",,+x,,"), 1);
}

} // namespace
