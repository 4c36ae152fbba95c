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

// The ids of the objects of a page, and how many of them are references.
struct Objects {
    std::vector<int> items;
    std::vector<int> containers;
    int references = 0;
};

Objects objects_of(const Page& p)
{
    Objects o;
    const std::regex object("&lt;(item|container) id=\"(\\d+)\"( refID)?");
    for (auto it = std::sregex_iterator(p.body.begin(), p.body.end(), object);
         it != std::sregex_iterator(); ++it) {
        ((*it)[1] == "item" ? o.items : o.containers).push_back(std::stoi((*it)[2]));
        o.references += (*it)[3].matched ? 1 : 0;
    }
    return o;
}

bool all_different(std::vector<int> v)
{
    std::sort(v.begin(), v.end());
    return std::adjacent_find(v.begin(), v.end()) == v.end();
}

bool all_different(std::vector<std::string> v)
{
    std::sort(v.begin(), v.end());
    return std::adjacent_find(v.begin(), v.end()) == v.end();
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
    Page search(const char* criteria, const char* container = "0", const char* client = "10.0.0.1",
                uint32_t start = 0, uint32_t count = 0)
    {
        CapturedConnection cap("/ContentDirectory/Control");
        strcpy(cap.c.client_ip.data(), client);
        search_action(&cap.c, container, criteria, "dc:title", start, count, "+dc:title");
        return parse(cap.sent());
    }
    Page by_letter_id(const char* object_id)
    {
        CapturedConnection cap("/ContentDirectory/Control");
        browse_by_letter(&cap.c, object_id, "*", "A", 0, nullptr);
        return parse(cap.sent());
    }
    Page browse_id(const char* object_id)
    {
        CapturedConnection cap("/ContentDirectory/Control");
        browse_direct_children(&cap.c, object_id, "*", 0, 0, nullptr);
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
// must be the walk's, set for set, with each reference the walk finds
// answered by its item, once.
TEST_F(Browsing, IndexedSearchFindsWhatTheWalkFinds)
{
    add_music(file("i/1.mp3"), "Love Me", "Band", "Disc", 10, 1, "Mix");
    add_music(file("i/2.mp3"), "Other", "Band", "Disc", 3);
    add_music(file("i/3.mp3"), "Love You", "Solo", "Else", 1);
    DbLock lock = db_lock();
    for (const char* text : {"dc:title contains \"love\"", "upnp:artist = \"Band\"",
                             "upnp:class derivedfrom \"object.container\"",
                             "dc:title contains \"o\" and upnp:originalTrackNumber < 5", "*"}) {
        const SearchCriteria criteria = search_compile(text);
        for (DbContainer* from : {g_db.root, g_db.music_root}) {
            std::vector<DbNode*> indexed;
            std::vector<DbNode*> walked;
            ASSERT_EQ(search_collect(lock, indexed, from, criteria, false), 0);
            ASSERT_EQ(search_walk(lock, walked, from, criteria, false), 0);
            std::vector<DbNode*> once;
            for (DbNode* n : walked) {
                DbItem* item = db_target_item(lock, n);
                once.push_back(item ? item : n);
            }
            std::sort(once.begin(), once.end());
            once.erase(std::unique(once.begin(), once.end()), once.end());
            std::sort(indexed.begin(), indexed.end());
            EXPECT_EQ(indexed, once) << text << " from " << from->title.get();
            EXPECT_FALSE(indexed.empty() && from == g_db.root) << text;
            EXPECT_LE(indexed.size(), walked.size()) << text;
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
    EXPECT_EQ(search(criteria).total, 2) << "each item once, not its references in the views";
    EXPECT_EQ(search(criteria, "0", "10.0.0.9").total, 1);
    EXPECT_EQ(search("dc:title contains \"\u00E9t\u00E9\"", "0", "10.0.0.9").total, 1);
}

} // namespace

// A library of a few hundred tracks shows every track in each of the nine
// music views; a search over all of them answers each object once.
class SearchLibrary : public Browsing
{
protected:
    static constexpr int kTracks = 240;
    static constexpr int kAlbums = 24;
    static constexpr int kArtists = 8;
    void SetUp() override
    {
        Browsing::SetUp();
        for (int i = 0; i < kTracks; ++i) {
            const std::string title = "Song " + std::to_string(1000 + i);
            const std::string artist = "Artist " + std::to_string(i % kArtists);
            const std::string album = "Album " + std::to_string(i % kAlbums);
            const std::string genre = "Genre " + std::to_string(i % 4);
            ASSERT_EQ(add_music(file("lib/" + std::to_string(i) + ".mp3"), title.c_str(),
                                artist.c_str(), album.c_str(), i % 12 + 1, 1,
                                i < 3 ? "Mix" : nullptr, genre.c_str()),
                      DB_ADDED);
        }
    }
    // The id of the container with that title below parent.
    std::string child_id(DbContainer* parent, const char* title)
    {
        const DbLock lock = db_lock();
        const DbContainer* c = db_find_child(lock, parent, title);
        return c ? std::to_string(c->id) : "none";
    }
    std::string music_child(const char* title)
    {
        return child_id(g_db.music_root, title);
    }
};

TEST_F(SearchLibrary, EachTrackOnceFromTheRoot)
{
    const char* audio = "upnp:class derivedfrom \"object.item.audioItem\"";
    const Page all = search(audio);
    EXPECT_EQ(all.total, kTracks) << "not every view's references";
    EXPECT_EQ(all.returned, kTracks);
    const Objects o = objects_of(all);
    EXPECT_EQ(o.items.size(), static_cast<size_t>(kTracks));
    EXPECT_EQ(o.references, 0) << "items as themselves";
    EXPECT_TRUE(all_different(o.items));
    EXPECT_TRUE(all_different(all.titles));
    // Pages of the same set fit together and count the same total.
    std::vector<std::string> paged;
    for (uint32_t start = 0; start < kTracks + 50; start += 50) {
        const Page p = search(audio, "0", "10.0.0.1", start, 50);
        EXPECT_EQ(p.total, kTracks);
        paged.insert(paged.end(), p.titles.begin(), p.titles.end());
    }
    EXPECT_EQ(paged, all.titles);
    // The same from the music root, and with "*" (every object once).
    EXPECT_EQ(search(audio, music_child("Artists").c_str()).total, kTracks);
    const Objects everything = objects_of(search("*"));
    EXPECT_EQ(everything.references, 0);
    EXPECT_TRUE(all_different(everything.items));
    EXPECT_EQ(everything.items.size(), static_cast<size_t>(kTracks));
}

TEST_F(SearchLibrary, AlbumsArtistsAndGenresFromOneViewEach)
{
    const Page albums = search("upnp:class = \"object.container.album.musicAlbum\"");
    EXPECT_EQ(albums.total, kAlbums) << "not once per view that files by album";
    EXPECT_TRUE(all_different(albums.titles));
    // Those of the "Albums" view, whose albums hold every track of theirs.
    const std::string albums_view = music_child("Albums");
    EXPECT_EQ(objects_of(albums).containers,
              objects_of(
                  search("upnp:class = \"object.container.album.musicAlbum\"", albums_view.c_str()))
                  .containers);
    const Page artists = search("upnp:class = \"object.container.person.musicArtist\"");
    EXPECT_EQ(artists.total, kArtists);
    EXPECT_TRUE(all_different(artists.titles));
    EXPECT_EQ(search("dc:title = \"Genre 2\"").total, 1) << "one genre container";
    EXPECT_EQ(search("dc:title = \"Genre 2\" and @refID exists false").total, 1);
    const Page containers = search("upnp:class derivedfrom \"object.container\"");
    EXPECT_TRUE(all_different(objects_of(containers).containers));
    // Inside one view every container of that view is answered: an album
    // per artist below "Artists/Albums".
    const Page per_artist = search("upnp:class = \"object.container.album.musicAlbum\"",
                                   music_child("Artists/Albums").c_str());
    EXPECT_GT(per_artist.total, kAlbums);
    // Criteria that name the place ask for what is there.
    EXPECT_EQ(search(("@parentID = \"" + albums_view + "\"").c_str()).total, kAlbums + 1)
        << "every album and \"- All -\"";
}

TEST_F(SearchLibrary, ReferencesWhereTheyAreAskedFor)
{
    // Inside a playlist its entries are the references.
    std::string mix;
    {
        const DbLock lock = db_lock();
        mix = std::to_string(db_find_child(lock, g_db.playlists, "Mix")->id);
    }
    const Page in_mix = search("upnp:class derivedfrom \"object.item\"", mix.c_str());
    EXPECT_EQ(in_mix.total, 3);
    EXPECT_EQ(objects_of(in_mix).references, 3);
    // So with a condition on @refID.
    const Page refs =
        search("upnp:class derivedfrom \"object.item.audioItem\" and @refID exists true");
    EXPECT_GT(refs.total, kTracks);
    EXPECT_EQ(objects_of(refs).references, refs.returned);
    const Page items =
        search("upnp:class derivedfrom \"object.item.audioItem\" and @refID exists false");
    EXPECT_EQ(items.total, kTracks);
    EXPECT_EQ(objects_of(items).references, 0);
    // Inside a view the tracks are answered once each, as themselves.
    std::string album;
    {
        const DbLock lock = db_lock();
        const DbContainer* view = db_find_child(lock, g_db.music_root, "Albums");
        album = std::to_string(db_find_child(lock, view, "Album 5")->id);
    }
    const Page in_album = search("upnp:class derivedfrom \"object.item\"", album.c_str());
    EXPECT_EQ(in_album.total, kTracks / kAlbums);
    EXPECT_EQ(objects_of(in_album).references, 0);
}

// The ids a client sends are digits only; anything else names no object.
TEST_F(Browsing, ObjectIdsThatAreNoNumbersAreNoObjects)
{
    tracks({"a"});
    for (const char* id : {"abc", " 5", "", "5x", "0x1", "-1", "99999999999"}) {
        EXPECT_EQ(browse_id(id).fault, 701) << '"' << id << '"';
        EXPECT_EQ(metadata(id).fault, 701) << '"' << id << '"';
        EXPECT_EQ(by_letter_id(id).fault, 701) << '"' << id << '"';
        EXPECT_EQ(search("*", id).fault, 701) << '"' << id << '"';
    }
    EXPECT_EQ(browse_id("0").fault, 0);
    EXPECT_EQ(search("*", std::to_string(all_tracks()).c_str()).total, 1);
}

// The automatic playlists fill on their first showing, and the childCount
// their parent's listing shows is what a listing of them then returns.
TEST_F(Browsing, AutomaticPlaylistsShowTheChildCountTheyList)
{
    tracks({"a", "b", "c", "d"});
    NodeId playlists;
    {
        const DbLock lock = db_lock();
        playlists = g_db.playlists->id;
    }
    CapturedConnection cap("/ContentDirectory/Control");
    browse_direct_children(&cap.c, std::to_string(playlists).c_str(), "*", 0, 0, nullptr);
    const std::string listing = parse(cap.sent()).body;
    const std::regex list("&lt;container id=\"(\\d+)\"[^&]*childCount=\"(\\d+)\"[^&]*&gt;"
                          "&lt;dc:title&gt;(- [A-Za-z ]+ -)&lt;");
    int lists = 0;
    for (auto it = std::sregex_iterator(listing.begin(), listing.end(), list);
         it != std::sregex_iterator(); ++it, ++lists) {
        const int shown = std::stoi((*it)[2]);
        EXPECT_EQ(shown, 4) << (*it)[3];
        EXPECT_EQ(browse(std::stoi((*it)[1]), 0, 0).total, shown) << (*it)[3];
        EXPECT_EQ(browse(std::stoi((*it)[1]), 0, 0).returned, shown) << (*it)[3];
    }
    EXPECT_EQ(lists, 2) << listing;
}
