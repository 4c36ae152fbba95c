#include "db/views.h"
#include "db_fixture.h"

namespace
{

using Views = DbTest;

TEST_F(Views, ArtistsAlbumsPlacesAnItemFourTimes)
{
    db_create();
    ASSERT_EQ(add_music(file("a.mp3"), "Song", "A", "B"), DB_ADDED);
    const DbLock lock = db_lock();
    DbContainer* view = db_find_child(lock, g_db.music_root, "Artists/Albums");
    for (const auto& path : std::vector<std::vector<std::string>>{
             {"A", "B"}, {"A", "- All -"}, {"- All -", "B"}, {"- All -", "- All -"}}) {
        DbContainer* c = at(lock, view, path);
        ASSERT_TRUE(c) << path[0] << "/" << path[1];
        EXPECT_EQ(titles(lock, c), std::vector<std::string>{"Song"});
    }
    EXPECT_STREQ(db_find_child(lock, view, "A")->upnp_class, kClassArtist);
    EXPECT_STREQ(at(lock, view, {"A", "B"})->upnp_class, kClassAlbum);
    EXPECT_STREQ(db_find_child(lock, view, "- All -")->upnp_class, kClassMusicFolder);
    int references = 0;
    for (NodeId r = item_by_path(lock, dir.file("a.mp3"))->first_reference; r != kNoNode;
         r = db_as_reference(db_find_by_id(lock, r))->next_reference) {
        ++references;
    }
    EXPECT_EQ(references, 33) << "the default views reference a track 33 times";
}

TEST_F(Views, UnknownArtistCompilationsAndEmptyValues)
{
    db_create();
    ASSERT_EQ(add_music(file("a.mp3"), "Untagged", nullptr, "B"), DB_ADDED);
    DbItemFields f;
    f.upnp_class = kClassMusicTrack;
    const std::string comp = file("c.mp3");
    f.path = comp.c_str();
    f.title = "Comp";
    f.artist = "Somebody";
    f.compilation = 1;
    ASSERT_EQ(db_add_item(f), DB_ADDED);
    ASSERT_EQ(add_music(file("e.mp3"), "EmptyArtist", "", "B"), DB_ADDED);
    const DbLock lock = db_lock();
    DbContainer* artists = db_find_child(lock, g_db.music_root, "Artists");
    EXPECT_EQ(titles(lock, db_find_child(lock, artists, "Unknown")),
              std::vector<std::string>{"Untagged"});
    EXPECT_EQ(titles(lock, db_find_child(lock, artists, "Various")),
              std::vector<std::string>{"Comp"});
    EXPECT_EQ(db_find_child(lock, artists, "Somebody"), nullptr);
    EXPECT_EQ(db_find_child(lock, artists, ""), nullptr);
    EXPECT_EQ(db_find_child(lock, artists, "- All -")->child_count, 3)
        << "the empty artist lands in - All - only";
}

TEST_F(Views, AlphaGroupsFoldAccentsAndHaveNoAllContainer)
{
    db_create();
    const std::pair<const char*, std::vector<std::string>> rows[] = {
        {"Abba", {"ABC", "Abba"}},
        {"Zappa", {"YZ", "Zappa"}},
        {"\u00C9dith", {"DEF", "\u00C9dith"}},
        {"\u0141ucja", {"JKL", "\u0141ucja"}},
        {"\u0414\u043E\u0440\u043E\u0433\u0430", {"YZ", "\u0414\u043E\u0440\u043E\u0433\u0430"}},
        {"10cc", {"ABC", "10cc"}},
    };
    int n = 0;
    for (const auto& [artist, place] : rows) {
        ASSERT_EQ(add_music(file("t" + std::to_string(n++) + ".mp3"), "T", artist, "X"), DB_ADDED);
    }
    const DbLock lock = db_lock();
    DbContainer* alpha = db_find_child(lock, g_db.music_root, "Alpha");
    for (const auto& [artist, place] : rows) {
        EXPECT_TRUE(at(lock, alpha, place)) << artist;
    }
    EXPECT_EQ(db_find_child(lock, alpha, "- All -"), nullptr);
}

TEST_F(Views, GroupNames)
{
    EXPECT_EQ(view_group_name("abba", 3), "ABC");
    EXPECT_EQ(view_group_name("Y", 3), "YZ");
    EXPECT_EQ(view_group_name("~", 3), "YZ");
    EXPECT_EQ(view_group_name("1999", 3), "ABC");
    EXPECT_EQ(view_group_name("", 3), "ABC");
    EXPECT_EQ(view_group_name("~", 1), "") << "above Z with groups of one: no title";
    EXPECT_EQ(view_group_name("~", 2), "");
    EXPECT_EQ(view_group_name("m", 26), "ABCDEFGHIJKLMNOPQRSTUVWXYZ");
    EXPECT_EQ(view_group_name("m", 0), "");
    EXPECT_EQ(view_group_name("m", -3), "");
}

// The first character is read as UTF-8, whatever its length: accented
// Latin letters go under their base letter, other scripts where the
// characters that are not letters go.
TEST_F(Views, GroupNamesOfUtf8Titles)
{
    EXPECT_EQ(view_group_name("\u00C9lan", 1), "E");
    EXPECT_EQ(view_group_name("\u00E9cole", 3), "DEF");
    EXPECT_EQ(view_group_name("\u00F1", 1), "N");
    EXPECT_EQ(view_group_name("\u0141\u00F3d\u017A", 1), "L");
    EXPECT_EQ(view_group_name("\u00DFe", 1), "S");
    EXPECT_EQ(view_group_name("\u0414\u043E\u0440\u043E\u0433\u0430", 3), "YZ");
    EXPECT_EQ(view_group_name("\u6771\u4EAC", 3), "YZ");
    EXPECT_EQ(view_group_name("\u00D7", 3), "YZ") << "the multiplication sign is no letter";
    EXPECT_EQ(view_group_name("\xC9", 3), "YZ") << "a stray byte is no letter either";
}

TEST_F(Views, OddGroupPrefixesNeitherCrashNorDivideByZero)
{
    setting_set(KEY_MUSICNODE1 + 9, "Odd,[0]%ARTIST,[-2]%ALBUM,[x%GENRE");
    db_create();
    ASSERT_EQ(add_music(file("a.mp3"), "Song", "Abba", "Gold"), DB_ADDED);
    const DbLock lock = db_lock();
    DbContainer* odd = db_find_child(lock, g_db.music_root, "Odd");
    ASSERT_TRUE(odd);
    EXPECT_TRUE(at(lock, odd, {"Abba", "Gold"})) << "a group of 0 or below is no group";
    EXPECT_EQ(at(lock, odd, {"Abba", "Gold"})->child_count, 0)
        << "a prefix without ']' places nothing";
}

TEST_F(Views, PictureDatesAndMissingDates)
{
    db_create();
    DbItemFields f;
    f.upnp_class = kClassPhoto;
    const std::string dated = file("p1.jpg");
    const std::string undated = file("p2.jpg");
    f.path = dated.c_str();
    f.title = "Dated";
    f.date = "2004-07-15";
    ASSERT_EQ(db_add_item(f), DB_ADDED);
    f.path = undated.c_str();
    f.title = "Undated";
    f.date = nullptr;
    ASSERT_EQ(db_add_item(f), DB_ADDED);
    const DbLock lock = db_lock();
    DbContainer* date = db_find_child(lock, g_db.picture_root, "Date");
    EXPECT_EQ(titles(lock, at(lock, date, {"2004", "07", "15"})),
              std::vector<std::string>{"Dated"});
    EXPECT_EQ(titles(lock, at(lock, date, {"- All -", "07", "- All -"})),
              std::vector<std::string>{"Dated"});
    EXPECT_EQ(titles(lock, at(lock, date, {"0000", "0000", "0000"})),
              std::vector<std::string>{"Undated"});
    EXPECT_EQ(at(lock, date, {"- All -", "- All -", "- All -"})->child_count, 2);
    EXPECT_STREQ(db_find_child(lock, date, "2004")->upnp_class, kClassPictureFolder);
}

TEST_F(Views, TitleOnlyDefinitionAndUnknownKeys)
{
    setting_set(KEY_MUSICNODE1 + 9, "Everything");
    setting_set(KEY_MUSICNODE1 + 8, "Weird,%RATING,%ALBUM");
    db_create();
    ASSERT_EQ(add_music(file("a.mp3"), "Song", "Abba", "Gold"), DB_ADDED);
    const DbLock lock = db_lock();
    EXPECT_EQ(titles(lock, db_find_child(lock, g_db.music_root, "Everything")),
              std::vector<std::string>{"Song"});
    DbContainer* weird = db_find_child(lock, g_db.music_root, "Weird");
    EXPECT_EQ(titles(lock, weird), std::vector<std::string>{"- All -"})
        << "an unknown key places nothing";
    EXPECT_EQ(titles(lock, at(lock, weird, {"- All -", "Gold"})), std::vector<std::string>{"Song"});
}

TEST_F(Views, PathFoldersFollowTheContentDirectory)
{
    setting_set(KEY_CONTENTDIR, "/elsewhere,M|" + dir.path);
    db_create();
    ASSERT_EQ(add_music(file("Jazz/Dozid/So What.mp3"), "So What", "Miles", "Kind"), DB_ADDED);
    ASSERT_EQ(add_music(file("x.mp3"), "X", "Miles", "Kind"), DB_ADDED);
    const DbLock lock = db_lock();
    DbContainer* folders = db_find_child(lock, g_db.music_root, "Folders");
    EXPECT_EQ(titles(lock, at(lock, folders, {"Jazz", "Dozid"})),
              std::vector<std::string>{"So What"});
    EXPECT_FALSE(at(lock, folders, {"Jazz"})->permanent) << "an emptied folder leaves the view";
    const std::vector<std::string> top = titles(lock, folders);
    EXPECT_NE(std::find(top.begin(), top.end(), "X"), top.end())
        << "a file directly in the content directory sits in the view root";
}

// Directory names are shown as UTF-8 whatever the system that named them
// used.
TEST_F(Views, PathFoldersOfAnyEncodingAreUtf8)
{
    db_create();
    ASSERT_EQ(add_music(file("Cr\xE8me/a.mp3"), "A", "B", "C"), DB_ADDED);
    ASSERT_EQ(add_music(file("\u00C9t\u00E9/b.mp3"), "B", "B", "C"), DB_ADDED);
    const DbLock lock = db_lock();
    DbContainer* folders = db_find_child(lock, g_db.music_root, "Folders");
    const DbContainer* latin1 = at(lock, folders, {"Cr\u00E8me"});
    ASSERT_TRUE(latin1);
    EXPECT_EQ(titles(lock, latin1), std::vector<std::string>{"A"});
    const DbContainer* utf8 = at(lock, folders, {"\u00C9t\u00E9"});
    ASSERT_TRUE(utf8);
    EXPECT_EQ(titles(lock, utf8), std::vector<std::string>{"B"});
}

TEST_F(Views, KeywordFoldersMirrorTagPaths)
{
    setting_set(KEY_ADOBEDSN, "catalog");
    db_create();
    DbItemFields f;
    f.upnp_class = kClassPhoto;
    const std::string path = file("p.jpg");
    f.path = path.c_str();
    f.keywords = "People/Anna,Places/Rome";
    ASSERT_EQ(db_add_item(f), DB_ADDED);
    std::string id;
    {
        const DbLock lock = db_lock();
        DbItem* item = db_find_item_for_class(lock, path, kClassPhoto);
        keyword_folders_rebuild(lock, item);
        id = std::to_string(item->id);
        EXPECT_EQ(at(lock, g_db.adobe_tags, {"People", "Anna"})->child_count, 1);
        EXPECT_EQ(at(lock, g_db.adobe_tags, {"Places", "Rome"})->child_count, 1);
    }
    EXPECT_EQ(
        db_update_property(id.c_str(), "upnp:keywords", "People/Anna,Places/Rome", "Places/Oslo"),
        200);
    const DbLock lock = db_lock();
    EXPECT_EQ(at(lock, g_db.adobe_tags, {"People", "Anna"})->child_count, 0);
    EXPECT_EQ(at(lock, g_db.adobe_tags, {"Places", "Oslo"})->child_count, 1);
    EXPECT_EQ(db_find_item_by_keywords(lock, g_db.picture_root, "Places/Oslo"),
              db_find_item_for_class(lock, path, kClassPhoto));
    EXPECT_EQ(db_find_item_by_keywords(lock, g_db.picture_root, "People/Anna,Places/Rome"),
              nullptr);
}

} // namespace
