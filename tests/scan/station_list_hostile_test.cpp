// Station lists that a broken or hostile list service may send: escaped
// attribute text, lists of tiny elements, answers without one playable
// station.
#include "db/db_fixture.h"
#include "scan/radio_thread.h"
#include "scan/station_list.h"
#include "support/loopback.h"

#include <arpa/inet.h>
#include <atomic>
#include <cstdlib>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace
{

// A list service on a free loopback port that answers every request with
// body.
class ListService
{
public:
    explicit ListService(std::string body) : body_(std::move(body))
    {
        listener_ = loopback_listener(port_);
        thread_ = std::thread([this] { serve(); });
    }
    ~ListService()
    {
        stop_ = true;
        thread_.join();
        close(listener_);
    }
    ListService(const ListService&) = delete;
    ListService& operator=(const ListService&) = delete;

    std::string host() const
    {
        return "127.0.0.1:" + std::to_string(port_);
    }

private:
    void serve()
    {
        while (!stop_) {
            const int s = loopback_accept(listener_, 50);
            if (s < 0) {
                continue;
            }
            const std::string request = loopback_read_head(s);
            const std::string answer =
                "HTTP/1.0 200 OK\r\nContent-Type: text/xml\r\nContent-Length: " +
                std::to_string(body_.size()) + "\r\n\r\n" + body_;
            send(s, answer.data(), answer.size(), MSG_NOSIGNAL);
            close(s);
        }
    }

    std::string body_;
    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

std::string classic_entry(const std::string& playstring, const std::string& name,
                          const std::string& genre = "Jazz")
{
    return "<entry Playstring=\"" + playstring + "\"><Name>" + name + "</Name><Genre>" + genre +
           "</Genre></entry>";
}

class RadioFetchTest : public DbTest
{
protected:
    void SetUp() override
    {
        DbTest::SetUp();
        db_create();
        unsetenv(kRadioDirectoryVariable);
    }
    void TearDown() override
    {
        unsetenv(kRadioHostVariable);
        DbTest::TearDown();
    }
    void fetch_from(const std::string& body)
    {
        ListService service(body);
        setenv(kRadioHostVariable, service.host().c_str(), 1);
        ThreadFlag running{1};
        radio_fetch(running);
    }
};

} // namespace

// Attribute values arrive as written: the entities in a name and between the
// parameters of an address are decoded, and a line break decoded into an
// address makes it no address.
TEST(StationListHostileTest, AttributeTextIsDecoded)
{
    const std::string classic =
        "<WinampXML><playlist>" +
        classic_entry("http://radio.example/s?id=1&amp;fmt=mp3", "Rock &amp; Roll") +
        classic_entry("http://radio.example/a&#13;&#10;X-Injected: 1", "Split") +
        "</playlist></WinampXML>";
    const std::vector<StationEntry> c = station_list_read(classic.c_str(), 10);
    ASSERT_EQ(c.size(), 2u);
    EXPECT_EQ(c[0].path, "http://radio.example/s?id=1&fmt=mp3");
    EXPECT_EQ(c[0].title, "Rock & Roll");
    EXPECT_EQ(c[1].path, "");

    const std::string directory =
        "<result><station name=\"Drum &amp; Bass &lt;24/7&gt;\" "
        "url_resolved=\"http://radio.example/live?a=1&amp;b=2\" tags=\"drum&amp;bass,rock\" "
        "votes=\"12\" bitrate=\"128\"/></result>";
    const std::vector<StationEntry> d = station_list_read(directory.c_str(), 10);
    ASSERT_EQ(d.size(), 1u);
    EXPECT_EQ(d[0].title, "Drum & Bass <24/7>");
    EXPECT_EQ(d[0].path, "http://radio.example/live?a=1&b=2");
    EXPECT_EQ(d[0].genre, "Rock");
}

// A few megabytes of "<a/>" would cost the reader hundreds of megabytes; a
// full list of real stations stays well within the tag limit.
TEST(StationListHostileTest, ListOfTinyElementsIsRefused)
{
    std::string full = "<WinampXML><playlist>";
    for (int i = 0; i < kMaxRadioStations; ++i) {
        full += "<entry Playstring=\"http://radio.example/" + std::to_string(i) +
                "\"><Name>S</Name><Genre>Jazz</Genre><Nowplaying>N</Nowplaying>"
                "<Listeners>1</Listeners><Bitrate>128</Bitrate></entry>";
    }
    full += "</playlist></WinampXML>";
    EXPECT_EQ(station_list_read(full.c_str(), kMaxRadioStations).size(),
              static_cast<size_t>(kMaxRadioStations));

    std::string tiny = "<WinampXML>";
    for (size_t i = 0; i < kStationListMaxTags; ++i) {
        tiny += "<a/>";
    }
    tiny += classic_entry("http://radio.example/t", "T") + "</WinampXML>";
    EXPECT_TRUE(station_list_read(tiny.c_str(), 10).empty());
}

// A list whose entries name nothing the relay can play is no list: the
// stations stay and the placeholder says the list failed, as when the
// service does not answer.
TEST_F(RadioFetchTest, ListWithoutPlayableStationKeepsTheStations)
{
    fetch_from("<WinampXML>" + classic_entry("http://radio.example/jazz", "Jazz One") +
               "</WinampXML>");
    ASSERT_TRUE(db_radio_has_genre("Jazz"));
    fetch_from("<WinampXML>" + classic_entry("file:///etc/passwd", "Local", "Rock") +
               classic_entry("https://radio.example/tls", "Secure", "Rock") + "</WinampXML>");
    EXPECT_TRUE(db_radio_has_genre("Jazz"));
    EXPECT_FALSE(db_radio_has_genre("Rock"));
    EXPECT_TRUE(db_radio_has_genre(kNoStationsTitle));
}

// An answer larger than any real list is not read at all.
TEST_F(RadioFetchTest, OversizedListIsNotRead)
{
    std::string body = "<WinampXML>" + classic_entry("http://radio.example/rock", "R", "Rock");
    body += "<pad>" + std::string(kStationListMaxBody, 'x') + "</pad></WinampXML>";
    fetch_from(body);
    EXPECT_FALSE(db_radio_has_genre("Rock"));
    EXPECT_TRUE(db_radio_has_genre(kNoStationsTitle));
}
