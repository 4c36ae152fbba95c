#include "core/titles.h"
#include "db/db_fixture.h"
#include "db/db_values.h"
#include "scan/radio_thread.h"
#include "scan/station_list.h"
#include "support/loopback.h"
#include "support/scripted_server.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cstdlib>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace
{

// The classic answer as list servers send it: a declaration, indentation
// and line breaks between the elements.
const char* const kClassicList =
    "<?xml version=\"1.0\" encoding='UTF-8' standalone=\"yes\"?>\n"
    "<WinampXML>\n"
    "  <playlist num_entries=\"5\" label=\"Top\">\n"
    "    <entry Playstring=\"http://127.0.0.1:8001/jazz?id=1&amp;t=.pls\">\n"
    "      <Name>Caf&#233; &#x65E5;&#x672C; &#1056;&#1072;&#1076;&#1080;&#1086; &amp; "
    "&#x1F3B5;</Name>\n"
    "      <Genre>Jazz Classical</Genre>\n"
    "      <Nowplaying>Someone - Something</Nowplaying>\n"
    "      <Listeners>321</Listeners>\n"
    "      <Bitrate>128</Bitrate>\n"
    "    </entry>\n"
    "    <entry\r\n\tPlaystring=\"http://127.0.0.1:8001/drone\">\n"
    "      <Name>\r\n\t\tHum\r\n\t</Name>\n"
    "      <Genre>Drone</Genre>\n"
    "    </entry>\n"
    "    <entry Playstring=\"http://127.0.0.1:8001/alt\">\n"
    "      <Name>Alt</Name><Genre>Alternative Rock</Genre><Bitrate>64</Bitrate>\n"
    "    </entry>\n"
    "    <entry Playstring=\"http://127.0.0.1:8001/classic\">\n"
    "      <Name>Old</Name><Genre>classic rock</Genre>\n"
    "    </entry>\n"
    "    <entry>\n"
    "      <Name>No address</Name><Genre>Pop</Genre><Bitrate>256</Bitrate>\n"
    "    </entry>\n"
    "  </playlist>\n"
    "</WinampXML>\n";

const char* const kDirectoryList =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<result>\n"
    "  <station name=\"Secure\" url=\"https://127.0.0.1/s\" url_resolved=\"https://127.0.0.1/s\" "
    "tags=\"jazz\" bitrate=\"128\" votes=\"900\" hls=\"0\"/>\n"
    "  <station name=\"Resolved\" url=\"http://127.0.0.1/listen.pls\" "
    "url_resolved=\"http://127.0.0.1:8002/live\" tags=\"alternative rock,indie\" bitrate=\"192\" "
    "votes=\"800\" hls=\"0\"/>\n"
    "  <station name=\"Segments\" url=\"http://127.0.0.1/h.m3u8\" url_resolved=\"\" tags=\"pop\" "
    "bitrate=\"64\" votes=\"700\" hls=\"1\"/>\n"
    "  <station name=\"Plain &#x00E9;t&#233; &amp; more\" url=\"http://127.0.0.1:8002/p?a=1&amp;b=2\" "
    "url_resolved=\"\" tags=\"\" bitrate=\"0\" votes=\"5\" hls=\"0\"/>\n"
    "</result>\n";

TEST(StationList, ClassicEntriesWithTheGenreRule)
{
    const std::vector<StationEntry> s = station_list_read(kClassicList, 50);
    ASSERT_EQ(s.size(), 5u);
    EXPECT_EQ(s[0].title,
              "Caf\xC3\xA9 \xE6\x97\xA5\xE6\x9C\xAC \xD0\xA0\xD0\xB0\xD0\xB4\xD0\xB8\xD0\xBE "
              "& \xF0\x9F\x8E\xB5");
    EXPECT_EQ(s[0].path, "http://127.0.0.1:8001/jazz?id=1&t=.pls");
    EXPECT_EQ(s[0].genre, "Jazz");
    EXPECT_EQ(s[0].artist, "Someone - Something");
    EXPECT_EQ(s[0].album, "321");
    EXPECT_EQ(s[0].bitrate, 128);
    EXPECT_EQ(s[1].title, "Hum") << "line breaks and tabs are blanks";
    EXPECT_EQ(s[1].path, "http://127.0.0.1:8001/drone");
    EXPECT_EQ(s[1].genre, "Other");
    EXPECT_EQ(s[1].bitrate, 0);
    EXPECT_EQ(s[2].genre, "Rock") << "Rock comes before Alternative in the table";
    EXPECT_EQ(s[2].bitrate, 64);
    EXPECT_EQ(s[3].genre, "Classic Rock");
    EXPECT_EQ(s[4].title, "No address");
    EXPECT_EQ(s[4].path, "");
    EXPECT_EQ(s[4].bitrate, 0) << "a bitrate counts only with a Playstring";

    EXPECT_EQ(station_list_read(kClassicList, 2).size(), 2u);
    EXPECT_TRUE(station_list_read(kClassicList, 0).empty());
}

TEST(StationList, DirectoryStationsSkipHttpsAndSegmentLists)
{
    const std::vector<StationEntry> s = station_list_read(kDirectoryList, 50);
    ASSERT_EQ(s.size(), 2u);
    EXPECT_EQ(s[0].title, "Resolved");
    EXPECT_EQ(s[0].path, "http://127.0.0.1:8002/live") << "url_resolved before url";
    EXPECT_EQ(s[0].genre, "Rock");
    EXPECT_EQ(s[0].album, "800");
    EXPECT_EQ(s[0].bitrate, 192);
    EXPECT_EQ(s[1].title, "Plain \xC3\xA9t\xC3\xA9 & more");
    EXPECT_EQ(s[1].path, "http://127.0.0.1:8002/p?a=1&b=2") << "an empty url_resolved gives url";
    EXPECT_EQ(s[1].genre, "Other");

    const std::vector<StationEntry> one = station_list_read(kDirectoryList, 1);
    ASSERT_EQ(one.size(), 1u);
    EXPECT_EQ(one[0].title, "Resolved") << "skipped stations do not use up the limit";
}

TEST(StationList, AnswersThatAreNoListGiveNone)
{
    for (const char* body :
         {"", "garbage \x01\xFF without any tag",
          "<html><body><h1>502 Bad Gateway</h1></body></html>", "<?xml version=\"1.0\"?>",
          "<result></result>", "<entry", "<station name=\"x"}) {
        for (const StationEntry& s : station_list_read(body, 50)) {
            EXPECT_TRUE(s.path.empty()) << body;
        }
    }
    EXPECT_TRUE(station_list_read("<html><body><p>Not found</p></body></html>", 50).empty());
    EXPECT_TRUE(station_list_read(nullptr, 50).empty());
}

class RadioSource : public ::testing::Test
{
protected:
    void TearDown() override
    {
        unsetenv(kRadioHostVariable);
        unsetenv(kRadioDirectoryVariable);
    }
};

TEST_F(RadioSource, RequestUrlByTheEnvironment)
{
    unsetenv(kRadioHostVariable);
    unsetenv(kRadioDirectoryVariable);
    EXPECT_EQ(station_list_url(25), std::string(kDefaultRadioDirectory) +
                                        "/xml/stations/search?limit=25&order=votes&reverse=true&"
                                        "hidebroken=true&is_https=false");
    setenv(kRadioDirectoryVariable, "http://127.0.0.1:7000/api//", 1);
    EXPECT_EQ(
        station_list_url(0).rfind("http://127.0.0.1:7000/api/xml/stations/search?limit=1&", 0), 0u);
    setenv(kRadioHostVariable, "127.0.0.1:7001", 1);
    EXPECT_EQ(station_list_url(25),
              "http://127.0.0.1:7001/sbin/xmllister.phtml?limit=25&service=winamp2&no_compress=1");
    EXPECT_NE(station_list_url(1000000).find("limit=" + std::to_string(kMaxRadioStations) + "&"),
              std::string::npos);
    EXPECT_NE(station_list_url(-3).find("limit=1&"), std::string::npos);
    setenv(kRadioHostVariable, "", 1);
    EXPECT_EQ(station_list_url(5).rfind("http://127.0.0.1:7000/api/", 0), 0u)
        << "an empty host names none";
}

std::string answer(const std::string& body)
{
    return "HTTP/1.1 200 OK\r\nContent-Type: text/xml\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\n\r\n" + body;
}

class RadioFetch : public DbTest
{
protected:
    void SetUp() override
    {
        DbTest::SetUp();
        db_create();
        DbItemFields f;
        f.title = "Mine";
        f.upnp_class = kClassBroadcast;
        f.path = "http://127.0.0.1:8003/mine";
        f.playlist = "My Radio";
        ASSERT_EQ(db_add_item(f), DB_ADDED);
    }
    void TearDown() override
    {
        unsetenv(kRadioHostVariable);
        DbTest::TearDown();
    }

    // Fetches from a loopback server sending answer; the request it got.
    std::string fetch(const std::string& text)
    {
        ScriptedServer server(text);
        setenv(kRadioHostVariable, ("127.0.0.1:" + std::to_string(server.port)).c_str(), 1);
        radio_fetch(flag);
        // The answer arrived, so the request was read in full before.
        return server.request;
    }

    void fetch_refused()
    {
        setenv(kRadioHostVariable, ("127.0.0.1:" + std::to_string(loopback_free_port())).c_str(),
               1);
        radio_fetch(flag);
    }

    // A genre container's name as the tree writes it.
    static std::string placed(const char* genre)
    {
        return db_clean_text(adapt_case(genre));
    }

    // The radio container's children, sorted.
    std::vector<std::string> genres()
    {
        const DbLock lock = db_lock();
        std::vector<std::string> out = titles(lock, g_db.radio);
        std::sort(out.begin(), out.end());
        return out;
    }

    std::vector<std::string> stations(const char* genre)
    {
        const DbLock lock = db_lock();
        const DbContainer* c = db_find_child(lock, g_db.radio, placed(genre));
        return c ? titles(lock, c) : std::vector<std::string>{"(no container)"};
    }

    void expect_favourite_kept()
    {
        const DbLock lock = db_lock();
        EXPECT_EQ(g_db.radio_favorites->child_count, 1);
        EXPECT_TRUE(db_find_item_by_path(lock, g_db.radio_favorites, "http://127.0.0.1:8003/mine"));
        EXPECT_EQ(db_check_consistency(lock), "");
    }

    ThreadFlag flag{1};
};

TEST_F(RadioFetch, ASecondListReplacesTheFirstAndKeepsFavourites)
{
    setting_set(KEY_NUMRADIOSTATIONS, "25");
    const std::string request = fetch(answer(kClassicList));
    EXPECT_EQ(request.rfind("GET /sbin/xmllister.phtml?limit=25&service=winamp2&no_compress=1 ", 0),
              0u);
    EXPECT_EQ(genres(),
              (std::vector<std::string>{"- Favorites- ", "Classic Rock", "Jazz", "Other", "Rock"}));
    EXPECT_EQ(stations("Jazz").size(), 1u);

    fetch(answer(kDirectoryList));
    EXPECT_EQ(genres(), (std::vector<std::string>{"- Favorites- ", "Other", "Rock"}));
    EXPECT_EQ(stations("Rock"), (std::vector<std::string>{"Resolved"}));
    expect_favourite_kept();
}

TEST_F(RadioFetch, FailuresKeepTheStationsAndAddOnePlaceholder)
{
    fetch(answer(kDirectoryList));
    fetch_refused();
    fetch_refused();
    fetch(answer("<html><body>Service Unavailable</body></html>"));
    EXPECT_EQ(genres(), (std::vector<std::string>{"- Favorites- ", placed(kNoStationsTitle),
                                                  "Other", "Rock"}));
    EXPECT_EQ(stations(kNoStationsTitle), (std::vector<std::string>{placed(kNoStationsTitle)}))
        << "one placeholder, however many fetches failed";
    EXPECT_EQ(stations("Rock"), (std::vector<std::string>{"Resolved"}));
    expect_favourite_kept();

    // A good list afterwards drops the placeholder with the old stations.
    fetch(answer(kClassicList));
    EXPECT_EQ(genres(),
              (std::vector<std::string>{"- Favorites- ", "Classic Rock", "Jazz", "Other", "Rock"}));
}

} // namespace
