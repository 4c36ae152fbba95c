#include "control/browse.h"
#include "control/clients.h"
#include "control/search.h"
#include "db/db_fixture.h"
#include "support/captured_connection.h"
#include "support/child_process.h"

#include <algorithm>
#include <regex>

namespace
{

struct Page {
    std::vector<std::string> titles;
    int returned = -1;
    int total = -1;
    int starting_index = -1;
    int fault = 0;
    std::string body;
};

Page parse(const std::string& all)
{
    Page p;
    p.body = all.substr(all.find("\r\n\r\n") + 4);
    std::smatch m;
    auto number = [&](const char* tag) {
        const std::regex re(std::string("<") + tag + ">(-?\\d+)</" + tag + ">");
        return std::regex_search(p.body, m, re) ? std::stoi(m[1]) : -1;
    };
    p.returned = number("NumberReturned");
    p.total = number("TotalMatches");
    p.starting_index = number("StartingIndex");
    p.fault = number("errorCode") < 0 ? 0 : number("errorCode");
    const std::regex title("&lt;dc:title&gt;([^&]*)&lt;/dc:title&gt;");
    for (auto it = std::sregex_iterator(p.body.begin(), p.body.end(), title);
         it != std::sregex_iterator(); ++it) {
        p.titles.push_back((*it)[1]);
    }
    return p;
}

class Browsing : public DbTest
{
protected:
    void SetUp() override
    {
        DbTest::SetUp();
        client_table_clear();
        db_create();
    }
    void TearDown() override
    {
        client_table_clear();
        DbTest::TearDown();
    }
    NodeId id_of(DbContainer* c)
    {
        const DbLock lock = db_lock();
        return c->id;
    }
    NodeId all_tracks()
    {
        const DbLock lock = db_lock();
        return g_db.all_tracks->id;
    }
    Page browse(NodeId id, uint32_t start, uint32_t count, const char* sort = nullptr,
                const char* client = "10.0.0.1")
    {
        CapturedConnection cap("/ContentDirectory/Control");
        strcpy(cap.c.client_ip.data(), client);
        strcpy(cap.c.base_url.data(), "http://h:1/");
        browse_direct_children(&cap.c, std::to_string(id).c_str(), "dc:title", start, count, sort);
        return parse(cap.sent());
    }
    Page metadata(const char* object_id, const char* client = "10.0.0.1")
    {
        CapturedConnection cap("/ContentDirectory/Control");
        strcpy(cap.c.client_ip.data(), client);
        browse_metadata(&cap.c, object_id, "*");
        return parse(cap.sent());
    }
    Page by_letter(NodeId id, const char* letter)
    {
        CapturedConnection cap("/ContentDirectory/Control");
        browse_by_letter(&cap.c, std::to_string(id).c_str(), "*", letter, 0, "+dc:title");
        return parse(cap.sent());
    }
    Page search(const char* criteria, const char* container = "0", const char* client = "10.0.0.1")
    {
        CapturedConnection cap("/ContentDirectory/Control");
        strcpy(cap.c.client_ip.data(), client);
        search_action(&cap.c, container, criteria, "dc:title", 0, 0, "+dc:title");
        return parse(cap.sent());
    }
    void tracks(const std::vector<std::string>& names)
    {
        int i = 0;
        for (const std::string& name : names) {
            const std::string path = file("t/" + std::to_string(i) + ".mp3");
            ++i;
            ASSERT_EQ(add_music(path, name.c_str(), "Band", "Disc", i), DB_ADDED);
        }
    }
};

TEST_F(Browsing, PagesCountsAndFaults)
{
    tracks({"c", "a", "b", "d"});
    const NodeId all = all_tracks();
    Page p = browse(all, 0, 0, "+dc:title");
    EXPECT_EQ(p.titles, (std::vector<std::string>{"A", "B", "C", "D"}));
    EXPECT_EQ(p.returned, 4);
    EXPECT_EQ(p.total, 4);
    p = browse(all, 1, 2, "+dc:title");
    EXPECT_EQ(p.titles, (std::vector<std::string>{"B", "C"}));
    p = browse(all, 4, 10);
    EXPECT_EQ(p.returned, 0);
    EXPECT_EQ(p.total, 4);
    EXPECT_EQ(browse(all, 0, 4294967295u).returned, 4) << "the largest ui4 count asks for all";
    EXPECT_EQ(browse(999999, 0, 0).fault, 701);
    NodeId item;
    {
        const DbLock lock = db_lock();
        item = db_first_child(lock, g_db.all_tracks)->id;
    }
    EXPECT_EQ(browse(item, 0, 0).fault, 402) << "an item has no children";
    CapturedConnection cap("/ContentDirectory/Control");
    browse_direct_children(&cap.c, nullptr, "*", 0, 0, nullptr);
    EXPECT_EQ(parse(cap.sent()).fault, 701);
}

TEST_F(Browsing, ShuffleRepeatsWithItsSeed)
{
    std::vector<std::string> names;
    for (int i = 0; i < 30; ++i) {
        names.push_back("T" + std::to_string(i));
    }
    tracks(names);
    const NodeId all = all_tracks();
    const Page first = browse(all, 0, 0, "Philips:shuffle:42");
    EXPECT_EQ(first.titles, browse(all, 0, 0, "Philips:shuffle:42").titles);
    EXPECT_NE(first.titles, browse(all, 0, 0, "+dc:title").titles);
    // A container of containers is sorted instead.
    NodeId music;
    {
        const DbLock lock = db_lock();
        music = g_db.music_root->id;
    }
    EXPECT_EQ(browse(music, 0, 0, "Philips:shuffle:42").titles,
              browse(music, 0, 0, "+dc:title").titles);
}

TEST_F(Browsing, MetadataOfTheMusicClientsStart)
{
    setting_set(KEY_MUSICCLIENT, "10.0.0.7");
    NodeId music;
    {
        const DbLock lock = db_lock();
        music = g_db.music_root->id;
    }
    const Page p = metadata("0", "10.0.0.7");
    EXPECT_NE(p.body.find("&lt;container id=\"" + std::to_string(music) + "\" parentID=\"0\""),
              std::string::npos)
        << p.body;
    EXPECT_EQ(p.returned, 1);
    EXPECT_EQ(p.total, 1);
    EXPECT_NE(metadata("0").body.find("&lt;container id=\"0\" parentID=\"-1\""), std::string::npos);
    EXPECT_EQ(metadata("987654").fault, 701);
}

TEST_F(Browsing, ByLetterStartsAtTheFirstTitleFromIt)
{
    tracks({"moby", "abba", "Metallica"});
    const NodeId all = all_tracks();
    Page p = by_letter(all, "M");
    EXPECT_EQ(p.starting_index, 1);
    EXPECT_EQ(p.titles, (std::vector<std::string>{"Metallica", "Moby"}));
    p = by_letter(all, "z");
    EXPECT_EQ(p.starting_index, 3);
    EXPECT_EQ(p.returned, 0);
    EXPECT_EQ(by_letter(all, nullptr).starting_index, 0);
    EXPECT_NE(p.body.find("</u:X_BrowseByLetterResponse>"), std::string::npos);
}

TEST_F(Browsing, ByLetterFindsAccentedTitlesUnderTheirLetter)
{
    tracks({"Zebra", "\u00C9lan", "Dune", "Eagle"});
    const Page p = by_letter(all_tracks(), "E");
    EXPECT_EQ(p.starting_index, 1);
    EXPECT_EQ(p.titles, (std::vector<std::string>{"Eagle", "\u00C9lan", "Zebra"}));
    EXPECT_EQ(by_letter(all_tracks(), "\u00C9").starting_index, 1)
        << "the letter alone sorts before every title that starts with it";
    EXPECT_EQ(by_letter(all_tracks(), "f").starting_index, 3);
}

// Literals arrive as UTF-8 or as character references, and contains
// ignores case beyond ASCII.
TEST_F(Browsing, SearchFindsTitlesInAnyScript)
{
    add_music(file("u/1.mp3"), "Caf\u00E9 Cr\u00E8me", "Band", "Disc", 1);
    add_music(file("u/2.mp3"), "\u0414\u043E\u0440\u043E\u0433\u0430", "Band", "Disc", 2);
    add_music(file("u/3.mp3"), "Cafe Noir", "Band", "Disc", 3);
    add_music(file("u/4.mp3"), "\u0130stanbul", "Solo", "Disc", 4);
    auto titles = [&](const std::string& criteria) {
        return search(criteria.c_str(), std::to_string(all_tracks()).c_str()).titles;
    };
    const std::vector<std::string> cafe{"Caf\u00E9 Cr\u00E8me"};
    EXPECT_EQ(titles("dc:title contains \"caf\u00E9\""), cafe);
    EXPECT_EQ(titles("dc:title contains \"CAF\u00C9\""), cafe);
    EXPECT_EQ(titles("dc:title contains \"caf&#233;\""), cafe);
    EXPECT_EQ(titles("dc:title contains \"caf&#xC9;\""), cafe);
    EXPECT_EQ(titles("dc:title = \"Caf\u00E9 Cr\u00E8me\""), cafe);
    EXPECT_EQ(titles("dc:title contains \"\u0414\u041E\u0420\u041E\u0413\u0410\""),
              (std::vector<std::string>{"\u0414\u043E\u0440\u043E\u0433\u0430"}));
    EXPECT_EQ(titles("dc:title contains \"ISTAN\""), (std::vector<std::string>{"\u0130stanbul"}))
        << "a letter beyond ASCII that folds to an ASCII one";
    EXPECT_EQ(titles("dc:title doesNotContain \"\u00C9\" and upnp:artist = \"Band\""),
              (std::vector<std::string>{"Cafe Noir", "\u0414\u043E\u0440\u043E\u0433\u0430"}));
}

TEST_F(Browsing, LargePagesStopAtTheSizeLimit)
{
    std::vector<std::string> names;
    for (int i = 0; i < 1200; ++i) {
        names.push_back("Title number " + std::to_string(1000 + i) + std::string(100, 'x'));
    }
    tracks(names);
    const Page p = browse(all_tracks(), 0, 0);
    EXPECT_GT(p.returned, 100);
    EXPECT_LT(p.returned, 1200);
    EXPECT_EQ(static_cast<int>(p.titles.size()), p.returned);
    EXPECT_EQ(p.total, 1200);
    // The limit is reached by the last object rendered, not before it.
    const size_t result_end = p.body.find("&lt;/DIDL-Lite&gt;");
    EXPECT_GE(result_end, 195001u - 1000);
}

TEST_F(Browsing, KeptOrderFollowsEveryChange)
{
    std::vector<std::string> names;
    for (int i = 0; i < 300; ++i) {
        names.push_back("Song " + std::to_string(1000 + i));
    }
    tracks(names);
    const NodeId all = all_tracks();
    EXPECT_EQ(browse(all, 0, 1, "+dc:title").titles, (std::vector<std::string>{"Song 1000"}));
    // A title change marks only the item's parent, yet the order must move.
    NodeId last;
    {
        const DbLock lock = db_lock();
        last = db_first_child(lock, g_db.all_tracks)->id; // the newest: Song 1299
    }
    ASSERT_EQ(db_update_property(std::to_string(last).c_str(), "title", "Song 1299", "Aaa"), 200);
    EXPECT_EQ(browse(all, 0, 1, "+dc:title").titles, (std::vector<std::string>{"Aaa"}));
}

TEST_F(Browsing, SearchExamples)
{
    add_music(file("s/1.mp3"), "Love Me", "Band", "Disc", 10);
    add_music(file("s/2.mp3"), "love song", nullptr, "Disc", 3);
    add_music(file("s/3.mp3"), "Other", "x", "Disc", 1);
    const char* music_only = "upnp:class derivedfrom \"object.item.audioItem\"";
    auto titles = [&](const std::string& criteria) {
        std::vector<std::string> t =
            search(criteria.c_str(), std::to_string(all_tracks()).c_str()).titles;
        return t;
    };
    EXPECT_EQ(titles(std::string(music_only) + " and dc:title contains \"love\""),
              (std::vector<std::string>{"Love Me", "Love Song"}));
    EXPECT_EQ(titles("dc:title = \"Other\" or dc:title = \"Love Me\" and dc:creator = \"x\""),
              (std::vector<std::string>{"Other"}))
        << "a or (b and x)";
    EXPECT_EQ(titles("upnp:artist exists false"), (std::vector<std::string>{"Love Song"}));
    EXPECT_EQ(titles("upnp:originalTrackNumber > 9"), (std::vector<std::string>{"Love Me"}));
    EXPECT_EQ(titles("dc:title = \"other\"").size(), 0u) << "= is case-sensitive";
    EXPECT_EQ(titles("dc:title contains \"OTHER\""), (std::vector<std::string>{"Other"}));
    EXPECT_EQ(titles("upnp:artist = \"Unknown\""), (std::vector<std::string>{"Love Song"}))
        << "no artist is found as Unknown";
    EXPECT_EQ(titles("dc:title =\"Other\"").size(), 0u) << "the quote after = is stepped over";
    EXPECT_EQ(titles("(dc:title = \"Other\")"), (std::vector<std::string>{"Other"}));
    EXPECT_EQ(search("*").total, search("*").returned);
    EXPECT_GT(search("*").total, 20) << "every container and item";
    const Page below_root = search("@parentID = \"0\"");
    EXPECT_EQ(below_root.titles, (std::vector<std::string>{"Music", "Pictures", "Videos"}));
    EXPECT_EQ(search(nullptr).total, 0);
    EXPECT_EQ(search("dc:foo = \"x\"").fault, 708);
    EXPECT_EQ(search("(dc:title = \"x\"").fault, 708);
    EXPECT_EQ(search(std::string(100000, '(').c_str()).fault, 708) << "no unbounded recursion";
    EXPECT_EQ(search("*", "987654").fault, 710);
    CapturedConnection cap("/");
    search_action(&cap.c, nullptr, "*", "*", 0, 0, nullptr);
    EXPECT_EQ(parse(cap.sent()).fault, 701);
}

// Criteria on item properties are answered from the indexes; the answer
// must be the walk's, set for set.
TEST_F(Browsing, IndexedSearchFindsWhatTheWalkFinds)
{
    add_music(file("i/1.mp3"), "Love Me", "Band", "Disc", 10, 1, "Mix");
    add_music(file("i/2.mp3"), "Other", "Band", "Disc", 3);
    add_music(file("i/3.mp3"), "Love You", "Solo", "Else", 1);
    DbLock lock = db_lock();
    for (const char* text : {"dc:title contains \"love\"", "upnp:artist = \"Band\"",
                             "upnp:class derivedfrom \"object.container\"",
                             "dc:title contains \"o\" and upnp:originalTrackNumber < 5"}) {
        const SearchCriteria criteria = search_compile(text);
        for (DbContainer* from : {g_db.root, g_db.music_root, g_db.playlists}) {
            std::vector<DbNode*> indexed;
            std::vector<DbNode*> walked;
            ASSERT_EQ(search_collect(lock, indexed, from, criteria, false), 0);
            ASSERT_EQ(search_walk(lock, walked, from, criteria, false), 0);
            std::sort(indexed.begin(), indexed.end());
            std::sort(walked.begin(), walked.end());
            EXPECT_EQ(indexed, walked) << text << " from " << from->title.get();
            EXPECT_FALSE(walked.empty() && from == g_db.root) << text;
        }
    }
}

TEST_F(Browsing, RokuGetsEachTitleOnce)
{
    add_music(file("r/1.mp3"), "Same", "A", "One");
    add_music(file("r/2.mp3"), "same", "B", "Two");
    // Kept as written, so that the two differ in case.
    const std::string adapt = setting_str(KEY_ADAPTCASE);
    setting_set(KEY_ADAPTCASE, "0");
    add_music(file("r/3.mp3"), "\u00C9T\u00C9", "C", "Three");
    add_music(file("r/4.mp3"), "\u00E9t\u00E9", "D", "Four");
    setting_set(KEY_ADAPTCASE, adapt);
    client_register(9, "10.0.0.9");
    const char* criteria = "dc:title = \"Same\"";
    EXPECT_GT(search(criteria).total, 2) << "items and their references in the views";
    EXPECT_EQ(search(criteria, "0", "10.0.0.9").total, 1);
    EXPECT_EQ(search("dc:title contains \"\u00E9t\u00E9\"", "0", "10.0.0.9").total, 1);
}

} // namespace
