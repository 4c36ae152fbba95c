#include "control/clients.h"
#include "control/didl.h"
#include "control/xml.h"
#include "core/utf8.h"
#include "db/db_fixture.h"
#include "db/node_store.h"
#include "scan/music_tags.h"
#include "support/child_process.h"

#include <cstring>

namespace
{

HttpConnection connection_from(const char* client)
{
    HttpConnection c;
    strcpy(c.base_url.data(), "http://192.168.0.2:9000/");
    strcpy(c.client_ip.data(), client);
    return c;
}

// Nodes made by hand under chosen ids, freed again by the test.
struct HandMade {
    ~HandMade()
    {
        for (DbNode* n : nodes) {
            node_store_free(n);
        }
    }
    DbContainer* container(NodeId id, const char* title, const char* cls)
    {
        auto* c = new DbContainer;
        c->kind = DB_CONTAINER;
        c->title = DbText(title);
        c->upnp_class = cls;
        node_store_put(id, c);
        nodes.push_back(c);
        return c;
    }
    DbItem* item(NodeId id, NodeId parent, const char* cls, const char* title, const char* path)
    {
        auto* i = new DbItem;
        i->kind = DB_ITEM;
        i->upnp_class = cls;
        i->title = DbText(title);
        i->path = DbText(path);
        i->parent = parent;
        node_store_put(id, i);
        nodes.push_back(i);
        return i;
    }
    std::vector<DbNode*> nodes;
};

std::string render(const DbLock& lock, const DbNode* node, const char* filter,
                   const char* client = "10.0.0.1")
{
    const HttpConnection c = connection_from(client);
    StrBuf out;
    didl_render_object(lock, out, node, filter, &c);
    return std::string(strbuf_view(out));
}

class Didl : public DbTest
{
protected:
    void SetUp() override
    {
        DbTest::SetUp();
        client_table_clear();
    }
    void TearDown() override
    {
        client_table_clear();
        DbTest::TearDown();
    }
    HandMade made;
};

TEST_F(Didl, WorkedExampleByteForByte)
{
    const DbLock lock = db_lock();
    made.container(7, "Album", kClassAlbum);
    DbItem* song = made.item(42, 7, kClassMusicTrack, "Song", "/music/song.mp3");
    song->artist = DbText("Band");
    song->album = DbText("Album");
    song->genre = DbText("Rock");
    song->date = DbText("2004-01-01");
    song->duration = DbText("0:03:25.000");
    song->size = 3300000;
    song->track = 5;
    song->album_art = 1234;
    EXPECT_EQ(
        render(lock, song, "*"),
        "&lt;item id=\"42\" parentID=\"7\" restricted=\"1\"&gt;&lt;dc:title&gt;Song&lt;/"
        "dc:title&gt;&lt;dc:creator&gt;Band&lt;/dc:creator&gt;&lt;upnp:artist&gt;Band&lt;/"
        "upnp:artist&gt;&lt;upnp:album&gt;Album&lt;/upnp:album&gt;&lt;upnp:genre&gt;Rock&lt;/"
        "upnp:genre&gt;&lt;upnp:playlist&gt;&lt;/upnp:playlist&gt;&lt;dc:date&gt;2004-01-01&lt;"
        "/dc:date&gt;&lt;upnp:originalTrackNumber&gt;5&lt;/upnp:originalTrackNumber&gt;&lt;"
        "upnp:albumArtURI dlna:profileID=\"JPEG_TN\" "
        "xmlns:dlna=\"urn:schemas-dlna-org:metadata-1-0\"&gt;http://192.168.0.2:9000/"
        "albumart-mp3/42_tn.jpg&lt;/upnp:albumArtURI&gt;&lt;res size=\"3300000\" "
        "duration=\"0:03:25.000\" protocolInfo=\"http-get:*:audio/mpeg:DLNA.ORG_OP=01;"
        "DLNA.ORG_FLAGS=01700000000000000000000000000000\" "
        "&gt;http://192.168.0.2:9000/disk/42.mp3&lt;/res&gt;&lt;upnp:class&gt;object.item."
        "audioItem.musicTrack&lt;/upnp:class&gt;&lt;/item&gt;");
    EXPECT_EQ(render(lock, song, "dc:title"),
              "&lt;item id=\"42\" parentID=\"7\" restricted=\"1\"&gt;&lt;dc:title&gt;Song&lt;/"
              "dc:title&gt;&lt;upnp:class&gt;object.item.audioItem.musicTrack&lt;/"
              "upnp:class&gt;&lt;/item&gt;")
        << "no res: neither wanted nor given a size or duration";
    // The older player types keep the listing they know.
    client_register(9, "10.0.0.9");
    EXPECT_NE(render(lock, song, "res@size", "10.0.0.9")
                  .find("&lt;res size=\"3300000\" "
                        "protocolInfo=\"http-get:*:audio/mpeg:*\" &gt;"),
              std::string::npos);
}

TEST_F(Didl, AlbumArtOnlyForItemsWithArt)
{
    const DbLock lock = db_lock();
    DbContainer* album = made.container(7, "Album", kClassAlbum);
    DbItem* bare = made.item(43, 7, kClassMusicTrack, "Bare", "/music/bare.flac");
    EXPECT_EQ(render(lock, bare, "*").find("albumArtURI"), std::string::npos);
    // Folder art is art like any other, named by the track's own format.
    bare->album_art = kAlbumArtFromFolder;
    EXPECT_NE(render(lock, bare, "*").find("albumart-flac/43_tn.jpg&lt;/upnp:albumArtURI"),
              std::string::npos);
    // The album shows the art of its first item that has some, as a
    // thumbnail to today's players; the older ones keep the full-size URL,
    // items with the profile they always had, containers without.
    album->first_child = 43;
    album->child_count = 1;
    const std::string listed = render(lock, album, "*");
    EXPECT_NE(listed.find("upnp:albumArtURI dlna:profileID=\"JPEG_TN\" "
                          "xmlns:dlna=\"urn:schemas-dlna-org:metadata-1-0\"&gt;"
                          "http://192.168.0.2:9000/albumart-flac/7_tn.jpg&lt;"),
              std::string::npos)
        << listed;
    client_register(9, "10.0.0.9");
    EXPECT_NE(render(lock, album, "*", "10.0.0.9")
                  .find("&lt;upnp:albumArtURI&gt;http://192.168.0.2:9000/albumart-flac/7.jpg&lt;"),
              std::string::npos);
    EXPECT_NE(render(lock, bare, "*", "10.0.0.9")
                  .find("dlna:profileID=\"JPEG_TN\" xmlns:dlna=\"urn:schemas-dlna-org:metadata-1-"
                        "0\"&gt;http://192.168.0.2:9000/albumart-flac/43.jpg&lt;"),
              std::string::npos);
}

TEST_F(Didl, FilterMatchesWholePropertyNames)
{
    EXPECT_TRUE(didl_filter_wants(nullptr, "res"));
    EXPECT_TRUE(didl_filter_wants("*", "res"));
    EXPECT_TRUE(didl_filter_wants("dc:title,upnp:artist", "artist"));
    EXPECT_TRUE(didl_filter_wants("res@size", "size"));
    EXPECT_TRUE(didl_filter_wants("res@size", "res"));
    EXPECT_FALSE(didl_filter_wants("upnp:artistX", "artist"));
    EXPECT_TRUE(didl_filter_wants("upnp:artistX,upnp:artist", "artist"));
    EXPECT_FALSE(didl_filter_wants("dc:title", "date"));
}

TEST_F(Didl, ReferencesRadioAndLinearPcm)
{
    const DbLock lock = db_lock();
    made.container(3, "Mix", kClassPlaylist);
    DbItem* song = made.item(10, 7, kClassMusicTrack, "Song", "/m/a.mp3");
    song->track = 9;
    auto* ref = new DbReference;
    ref->kind = DB_REFERENCE;
    ref->target = 10;
    ref->order = 2;
    ref->parent = 3;
    node_store_put(11, ref);
    made.nodes.push_back(ref);
    const std::string r = render(lock, ref, "*");
    EXPECT_EQ(r.rfind("&lt;item id=\"11\" refID=\"10\" parentID=\"3\" restricted=\"1\"&gt;", 0),
              0u);
    EXPECT_NE(r.find("&lt;upnp:originalTrackNumber&gt;2&lt;"), std::string::npos)
        << "the playlist's order";
    EXPECT_NE(r.find("&gt;http://192.168.0.2:9000/disk/11.mp3&lt;/res&gt;"), std::string::npos);

    DbItem* station = made.item(20, 3, kClassBroadcast, "Station", "http://radio.example/s");
    EXPECT_NE(render(lock, station, "*")
                  .find("&lt;res protocolInfo=\"http-get:*:audio/mpeg:*\" "
                        "&gt;http://192.168.0.2:9000/httpproxy/20.mp3&lt;/res&gt;"),
              std::string::npos);

    DbItem* pcm = made.item(30, 3, kClassMusicTrack, "Pcm", "/m/Mono48.lpcm");
    client_register(9, "10.0.0.9");
    EXPECT_NE(render(lock, pcm, "*", "10.0.0.9")
                  .find("protocolInfo=\"http-get:*:audio/L16;rate=48000;channels=1:"
                        "DLNA.ORG_PN=LPCM;DLNA.ORG_OP=11\" &gt;http://192.168.0.2:9000/"
                        "disk/30_DLNA_LPCM.lpcm&lt;/res&gt;"),
              std::string::npos);
    // Today's players learn that this file has no rate to seek by.
    EXPECT_NE(render(lock, pcm, "*")
                  .find("protocolInfo=\"http-get:*:audio/L16;rate=48000;channels=1:"
                        "DLNA.ORG_PN=LPCM;DLNA.ORG_OP=01;DLNA.ORG_FLAGS="),
              std::string::npos);
}

TEST_F(Didl, VideosCarryTheirDurationAndSize)
{
    const DbLock lock = db_lock();
    DbItem* film = made.item(40, 3, kClassMovie, "Film", "/v/film.mkv");
    film->duration = DbText("0:01:30.500");
    film->width = 1920;
    film->height = 1080;
    const std::string r = render(lock, film, "*");
    EXPECT_NE(r.find("duration=\"0:01:30.500\" resolution=\"1920x1080\" "
                     "protocolInfo=\"http-get:*:video/x-matroska:DLNA.ORG_OP=01;"),
              std::string::npos)
        << r;
    EXPECT_EQ(render(lock, film, "res@duration").find("resolution="), std::string::npos);
    // A video nothing was read from has neither.
    DbItem* old = made.item(41, 3, kClassMovie, "Old", "/v/old.mp4");
    const std::string o = render(lock, old, "*");
    EXPECT_EQ(o.find("duration="), std::string::npos);
    EXPECT_EQ(o.find("resolution="), std::string::npos);
    EXPECT_NE(o.find("video/mp4"), std::string::npos);
}

TEST_F(Didl, PicturesBySetOfTheClient)
{
    const DbLock lock = db_lock();
    DbItem* photo = made.item(50, 3, kClassPhoto, "Photo", "/p/a.jpg");
    photo->width = 1600;
    photo->height = 1200;
    // The older types of the default set (here a Roku) keep their listing.
    client_register(9, "10.0.0.9");
    const std::string generic = render(lock, photo, "*", "10.0.0.9");
    EXPECT_NE(generic.find("&lt;res resolution=\"1600x1200\" "
                           "protocolInfo=\"http-get:*:image/jpeg:*\"&gt;http://192.168.0.2:9000/"
                           "disk/50(1600x1200,0).jpg&lt;/res&gt;&lt;res resolution=\"684x456\" "
                           "protocolInfo=\"http-get:*:image/x-ycbcr-yuv420:*\"&gt;http://"
                           "192.168.0.2:9000/picture/50(684x456,3).yuv&lt;/res&gt;"),
              std::string::npos)
        << generic;
    EXPECT_EQ(count_occurrences(generic, "&lt;res "), 9);
    EXPECT_NE(generic.find("protocolInfo=\"http-get:*:image/pjpeg:*\"&gt;http://192.168.0.2:9000/"
                           "picture/50(800x600,1).pjpg"),
              std::string::npos);
    struct Row {
        int type;
        int resources;
        const char* marker;
    };
    const Row rows[] = {
        {2, 1, "&lt;desc&gt;&lt;DA dir=\"0\"&gt;http://192.168.0.2:9000/picture/50(120x90,1).jpg"},
        {7, 1, "disk/50(1600x1200,0).jpg"},
        {5, 2, "picture/50(120x105,1).jpg"},
        {8, 4, "picture/50(69x51,1).jpg"},
    };
    for (const Row& row : rows) {
        const std::string address = "10.0.1." + std::to_string(row.type);
        setting_set(row.type == 2 ? KEY_DLINKCLIENT : KEY_NOXONCLIENT, address);
        client_register(row.type, address.c_str());
        const std::string out = render(lock, photo, "*", address.c_str());
        EXPECT_EQ(count_occurrences(out, "&lt;res "), row.resources) << row.type;
        EXPECT_NE(out.find(row.marker), std::string::npos) << row.type << out;
    }
    // The generic type: the same renditions, each described as sent.
    const std::string today = render(lock, photo, "*");
    EXPECT_EQ(count_occurrences(today, "&lt;res "), 9);
    const char* described[] = {
        "resolution=\"1600x1200\" protocolInfo=\"http-get:*:image/jpeg:DLNA.ORG_PN=JPEG_LRG;"
        "DLNA.ORG_OP=01;DLNA.ORG_FLAGS=00D00000000000000000000000000000\"&gt;http://"
        "192.168.0.2:9000/disk/50(1600x1200,0).jpg",
        "protocolInfo=\"http-get:*:image/x-ycbcr-yuv420:DLNA.ORG_CI=1;DLNA.ORG_FLAGS=",
        "protocolInfo=\"http-get:*:image/jpeg:DLNA.ORG_PN=JPEG_TN;DLNA.ORG_CI=1;DLNA.ORG_FLAGS="
        "00D00000000000000000000000000000\"&gt;http://192.168.0.2:9000/picture/"
        "50(160x160,1).jpg",
        "image/jpeg:DLNA.ORG_PN=JPEG_SM_ICO;DLNA.ORG_CI=1;",
        "image/jpeg:DLNA.ORG_PN=JPEG_SM;DLNA.ORG_CI=1;",
        "image/jpeg:DLNA.ORG_PN=JPEG_MED;DLNA.ORG_CI=1;",
        "image/jpeg:DLNA.ORG_PN=JPEG_LRG_ICO;DLNA.ORG_CI=1;",
        "image/pjpeg:DLNA.ORG_CI=1;",
    };
    for (const char* d : described) {
        EXPECT_NE(today.find(d), std::string::npos) << d << "\n" << today;
    }
    setting_set(KEY_NORESCALE, "1");
    EXPECT_NE(render(lock, photo, "*", "10.0.0.9")
                  .find("&lt;res resolution=\"1600x1200\" "
                        "protocolInfo=\"http-get:*:image/jpeg:*\" "
                        "&gt;http://192.168.0.2:9000/disk/50.jpg&lt;/res&gt;"),
              std::string::npos);
    EXPECT_NE(render(lock, photo, "*")
                  .find("protocolInfo=\"http-get:*:image/jpeg:DLNA.ORG_PN="
                        "JPEG_LRG;DLNA.ORG_OP=01;"),
              std::string::npos);
}

TEST_F(Didl, ContainersAndClientQuirks)
{
    db_create();
    const std::string a = file("a.mp3");
    const std::string b = file("b.mp3");
    add_music(a, "One", "Band", "Disc", 1);
    add_music(b, "Two", "Band", "Disc", 2);
    const DbLock lock = db_lock();
    const DbContainer* album = at(lock, g_db.music_root, {"Albums", "Disc"});
    ASSERT_TRUE(album);
    const std::string id = std::to_string(album->id);
    const std::string out = render(lock, album, "*");
    EXPECT_EQ(
        out.rfind("&lt;container id=\"" + id + "\" parentID=\"" + std::to_string(album->parent) +
                      "\" childCount=\"2\" restricted=\"0\" searchable=\"1\"&gt;&lt;dc:title&gt;"
                      "Disc&lt;/dc:title&gt;&lt;dc:date&gt;2001-02-03&lt;/dc:date&gt;&lt;"
                      "upnp:artist&gt;Band&lt;/upnp:artist&gt;&lt;upnp:genre&gt;Rock&lt;/"
                      "upnp:genre&gt;",
                  0),
        0u)
        << out;
    EXPECT_NE(out.find("&lt;res duration=\"00:06:00\"  "
                       "protocolInfo=\"http-get:*:audio/x-mpegurl:*\"&gt;http://192.168.0.2:9000/"
                       "m3u/" +
                       id + ".m3u&lt;/res&gt;&lt;upnp:class&gt;object.container.album.musicAlbum"),
              std::string::npos)
        << out;
    client_register(8, "10.0.0.8");
    EXPECT_NE(render(lock, album, "*", "10.0.0.8").find("object.container.storageFolder"),
              std::string::npos);
    setting_set(KEY_DLINKCLIENT, "10.0.0.2");
    client_register(2, "10.0.0.2");
    EXPECT_EQ(render(lock, album, "*", "10.0.0.2").find("m3u/"), std::string::npos);
    EXPECT_NE(render(lock, g_db.root, "*").find("parentID=\"-1\""), std::string::npos);
}

// A value that reaches the rendering with control bytes (from a request,
// say) still gives well-formed XML; the forbidden bytes are left out.
TEST_F(Didl, ControlBytesNeverReachTheResult)
{
    const DbLock lock = db_lock();
    DbItem* song = made.item(61, 3, kClassMusicTrack,
                             "A\x01"
                             "B\x1f"
                             "C\td",
                             "/m/c.mp3");
    song->artist = DbText("Art\x08ist");
    const std::string out = render(lock, song, "*");
    EXPECT_NE(out.find("&lt;dc:title&gt;ABC&amp;#9;d&lt;/dc:title&gt;"), std::string::npos) << out;
    EXPECT_NE(out.find("&lt;upnp:artist&gt;Artist&lt;/upnp:artist&gt;"), std::string::npos);
    for (const char* bad : {"&amp;#1;", "&amp;#31;", "&amp;#8;", "\x01", "\x1f", "\x08"}) {
        EXPECT_EQ(out.find(bad), std::string::npos) << bad;
    }
    // The document a client gets after the SOAP level is undone parses.
    std::string didl = "<DIDL-Lite>" + out + "</DIDL-Lite>";
    xml_decode_entities(didl);
    const XmlTree tree = xml_parse(didl.c_str());
    ASSERT_TRUE(tree);
    EXPECT_STREQ(xml_text(tree.get(), "dc:title"), "ABC\td");
}

// The title a client reads out of the answer: the SOAP level undone, then
// the DIDL-Lite document parsed.
std::string title_as_read(const std::string& rendered)
{
    std::string didl = "<DIDL-Lite>" + rendered + "</DIDL-Lite>";
    xml_decode_entities(didl);
    const XmlTree tree = xml_parse(didl.c_str());
    const char* title = tree ? xml_text(tree.get(), "dc:title") : nullptr;
    return title ? title : "(none)";
}

TEST_F(Didl, TitlesInAnyScriptReachClientsAsUtf8AndNoxonAsLatin1)
{
    const DbLock lock = db_lock();
    struct Case {
        const char* title;
        const char* latin1;
    };
    const Case cases[] = {
        {"Caf\u00E9 Cr\u00E8me", "Caf\xe9 Cr\xe8me"},
        {"\u0414\u043E\u0440\u043E\u0433\u0430", "??????"},
        {"\u6771\u4EAC & Co", "?? &amp;amp; Co"},
        {"\U0001F3B5", "?"},
    };
    setting_set(KEY_NOXONCLIENT, "10.0.0.10");
    client_register(10, "10.0.0.10");
    NodeId id = 60;
    for (const Case& c : cases) {
        DbItem* song = made.item(id++, 3, kClassMusicTrack, c.title, "/m/c.mp3");
        const std::string out = render(lock, song, "dc:title");
        EXPECT_TRUE(utf8_valid(out)) << c.title;
        EXPECT_EQ(title_as_read(out), c.title);
        const std::string noxon = render(lock, song, "dc:title", "10.0.0.10");
        EXPECT_NE(noxon.find(std::string("&lt;dc:title&gt;") + c.latin1 + "&lt;/dc:title&gt;"),
                  std::string::npos)
            << noxon;
    }
}

// A value that would reach the tree in another encoding is a reader's fault,
// but the document must stay readable: the broken bytes show as U+FFFD.
TEST_F(Didl, BrokenUtf8NeverReachesTheClient)
{
    const DbLock lock = db_lock();
    DbItem* song = made.item(70, 3, kClassMusicTrack, "Caf\xe9", "/m/c.mp3");
    const std::string out = render(lock, song, "dc:title");
    EXPECT_TRUE(utf8_valid(out));
    EXPECT_EQ(title_as_read(out), "Caf\uFFFD");
}

} // namespace
