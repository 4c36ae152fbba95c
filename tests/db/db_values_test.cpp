#include "db/db_values.h"
#include "db_fixture.h"

#include <string>

namespace
{

TEST(DbValues, ControlBytesAreDroppedAndTabsBecomeBlanks)
{
    const struct {
        std::string in;
        std::string out;
    } rows[] = {
        {"Evil\nRE:/etc/passwd", "EvilRE:/etc/passwd"},
        {"a\tb", "a b"},
        {std::string("\x01x\x1f\r\n\x7f\xc3\xa9", 8), "x\x7f\xc3\xa9"},
        {std::string("a\0b", 3), "ab"},
        {"\x01\x02", ""},
        {"plain", "plain"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(db_clean_text(row.in), row.out) << "input of " << row.in.size() << " bytes";
        EXPECT_TRUE(db_text_is_clean(db_clean_text(row.in)));
    }
}

TEST(DbValues, BoundCutsAtCharacterBoundaries)
{
    EXPECT_EQ(db_clean_text(std::string(5000, 'x')), std::string(kDbMaxText, 'x'));
    EXPECT_EQ(db_clean_text(std::string(kDbMaxText, 'x')).size(), kDbMaxText);
    // Control bytes do not count towards the bound.
    EXPECT_EQ(db_clean_text(std::string(10, '\n') + std::string(kDbMaxText, 'y')).size(),
              kDbMaxText);
    // A two-byte UTF-8 character across the bound goes whole.
    const std::string utf8 = std::string(kDbMaxText - 1, 'a') + "\xc3\xa9";
    EXPECT_EQ(db_clean_text(utf8), std::string(kDbMaxText - 1, 'a'));
    // So does a four-byte one that would be cut after its second byte.
    const std::string wide = std::string(kDbMaxText - 2, 'a') + "\xf0\x9f\x8e\xb5";
    EXPECT_EQ(db_clean_text(wide), std::string(kDbMaxText - 2, 'a'));
    // Bytes that are not UTF-8 never reach the tree as they are.
    std::string replaced;
    for (size_t i = 0; i < kDbMaxText / 3; ++i) {
        replaced += "\uFFFD";
    }
    EXPECT_EQ(db_clean_text(std::string(kDbMaxText + 5, '\xe9')), replaced);
    EXPECT_EQ(db_clean_text("Caf\xe9 \xC3"), "Caf\uFFFD \uFFFD");
    EXPECT_EQ(db_clean_text("Caf\u00E9 \u0414 \U0001F3B5"), "Caf\u00E9 \u0414 \U0001F3B5");
    EXPECT_EQ(db_clean_text("abcdef", 3), "abc");
    EXPECT_EQ(db_clean_text(std::string(3000, 'z'), SIZE_MAX).size(), 3000u);
}

TEST(DbValues, PathsAreAcceptedOnlyWhole)
{
    EXPECT_TRUE(db_path_acceptable("/music/a b.mp3"));
    EXPECT_TRUE(db_path_acceptable("/" + std::string(kDbMaxPath - 1, 'p')));
    EXPECT_FALSE(db_path_acceptable("/" + std::string(kDbMaxPath, 'p')));
    EXPECT_FALSE(db_path_acceptable("/music/a\nRE:/etc/passwd"));
    EXPECT_FALSE(db_path_acceptable("/music/a\tb.mp3"));
    EXPECT_FALSE(db_path_acceptable(""));
}

using DbEntry = DbTest;

// Every text field of an add, whichever reader made it, enters clean.
TEST_F(DbEntry, AddedValuesHoldNoControlBytes)
{
    setting_set(KEY_ADAPTCASE, "0"); // the values exactly as cleaned
    db_create();
    const std::string path = file("a.mp3");
    DbItemFields f;
    f.title = "Evil\nRE:/etc/passwd";
    f.upnp_class = "object.item.audioItem.musicTrack";
    f.artist = "Art\x01ist";
    f.album = "Al\tbum";
    f.genre = "Ge\x1fnre";
    f.date = "2001-02-03\n";
    f.path = path.c_str();
    f.duration = "0:03:00.000\r";
    f.description = "De\nscription";
    f.keywords = "key\x02words";
    f.playlist = "Play\nlist";
    f.mtime = 1;
    ASSERT_EQ(db_add_item(f), DB_ADDED);
    const DbLock lock = db_lock();
    const DbItem* item = item_by_path(lock, path);
    ASSERT_TRUE(item);
    EXPECT_STREQ(item->title.get(), "EvilRE:/etc/passwd");
    EXPECT_STREQ(item->artist.get(), "Artist");
    EXPECT_STREQ(item->album.get(), "Al bum");
    EXPECT_STREQ(item->genre.get(), "Genre");
    EXPECT_STREQ(item->date.get(), "2001-02-03");
    EXPECT_STREQ(item->duration.get(), "0:03:00.000");
    EXPECT_EQ(item->duration_ms, 180000);
    EXPECT_STREQ(item->description.get(), "Description");
    EXPECT_STREQ(item->keywords.get(), "keywords");
    EXPECT_STREQ(item->playlist.get(), "Playlist");
    EXPECT_TRUE(at(lock, g_db.playlists, {"Playlist"}))
        << "the playlist container has the clean name";
    // Every container made on the way (views, playlists) has a clean title.
    db_for_each_container(lock, [](DbContainer* c) {
        EXPECT_TRUE(db_text_is_clean(c->title.get())) << c->title.get();
    });
    EXPECT_EQ(db_check_consistency(lock), "");
}

TEST_F(DbEntry, ThePlaylistOfAKnownItemIsNamedCleanToo)
{
    db_create();
    const std::string path = file("a.mp3");
    ASSERT_EQ(add_music(path, "Song", "Abba", "Gold", 1, 1, "Party\x01"), DB_ADDED);
    ASSERT_EQ(add_music(path, "Song", "Abba", "Gold", 1, 1, "Party\x02"), DB_ALREADY_PRESENT);
    const DbLock lock = db_lock();
    const DbContainer* party = at(lock, g_db.playlists, {"Party"});
    ASSERT_TRUE(party);
    EXPECT_EQ(party->child_count, 1) << "both names are one playlist";
    EXPECT_EQ(titles(lock, g_db.playlists).size(), 3u)
        << "Party beside the two automatic playlists";
}

TEST_F(DbEntry, LongValuesAreBounded)
{
    db_create();
    const std::string path = file("a.mp3");
    const std::string huge(500000, 'x');
    DbItemFields f;
    f.title = huge.c_str();
    f.upnp_class = "object.item.audioItem.musicTrack";
    f.description = huge.c_str();
    f.path = path.c_str();
    ASSERT_EQ(db_add_item(f), DB_ADDED);
    const DbLock lock = db_lock();
    const DbItem* item = item_by_path(lock, path);
    ASSERT_TRUE(item);
    EXPECT_EQ(strlen(item->title.get()), kDbMaxText);
    EXPECT_EQ(strlen(item->description.get()), kDbMaxText);
}

// A file whose name holds a control byte cannot be named by a clean path:
// it is refused, never stored under another path.
TEST_F(DbEntry, PathsWithControlBytesAreRefused)
{
    db_create();
    const std::string path = file("bad\nname.mp3");
    EXPECT_EQ(add_music(path, "T", "A", "B"), DB_ADD_FAILED);
    EXPECT_EQ(add_music("http://radio.example/\x01stream", "T", "A", "B"), DB_ADD_FAILED);
    EXPECT_EQ(db_stats().items, 0);
    const DbLock lock = db_lock();
    EXPECT_FALSE(item_by_path(lock, path));
    EXPECT_FALSE(item_by_path(lock, "bad"));
}

class DbUpdate : public DbTest
{
protected:
    std::string add(const char* title)
    {
        db_create();
        path = file("a.mp3");
        EXPECT_EQ(add_music(path, title, "Abba", "Gold"), DB_ADDED);
        const DbLock lock = db_lock();
        return std::to_string(item_by_path(lock, path)->id);
    }
    std::string title()
    {
        const DbLock lock = db_lock();
        return item_by_path(lock, path)->title.get();
    }
    std::string path;
};

TEST_F(DbUpdate, NewValuesEnterClean)
{
    const std::string id = add("Song");
    EXPECT_EQ(
        db_update_property(id.c_str(), "title", "Song",
                           "x\n<EOI>\n<SOI>\nRE:/etc/shadow\nCL:object.item.audioItem.musicTrack"),
        200);
    EXPECT_EQ(title(), "x<EOI><SOI>RE:/etc/shadowCL:object.item.audioItem.musicTrack");
    // A value set with a tab is named with the tab next time.
    EXPECT_EQ(db_update_property(id.c_str(), "title", title().c_str(), "a\tb"), 200);
    EXPECT_EQ(title(), "a b");
    EXPECT_EQ(db_update_property(id.c_str(), "title", "a\tb", "c"), 200);
    EXPECT_EQ(title(), "c");
}

TEST_F(DbUpdate, OverlongValuesAreRefused)
{
    const std::string id = add("Song");
    const std::string huge(500 * 1024, 'v');
    EXPECT_EQ(db_update_property(id.c_str(), "title", "Song", huge.c_str()), 402);
    EXPECT_EQ(db_update_property(id.c_str(), "dc:description", "", huge.c_str()), 402);
    EXPECT_EQ(title(), "Song") << "nothing changed";
    const std::string longest(kDbMaxText, 'w');
    EXPECT_EQ(db_update_property(id.c_str(), "title", "Song", longest.c_str()), 200);
    EXPECT_EQ(title(), longest);
    // Control bytes do not count: the value is measured as it would be kept.
    const std::string padded = std::string(100, '\n') + "Short";
    EXPECT_EQ(db_update_property(id.c_str(), "title", longest.c_str(), padded.c_str()), 200);
    EXPECT_EQ(title(), "Short");
}

} // namespace
