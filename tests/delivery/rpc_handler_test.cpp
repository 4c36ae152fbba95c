#include "delivery/rpc_handler.h"
#include "delivery_fixture.h"
#include "upnp/ssdp.h"

namespace
{

using RpcHandler = DeliveryTest;

TEST_F(RpcHandler, StealthAndAliveSwitchTheSsdpMode)
{
    Answer a = fetch(rpc_handler, "/rpc/mode?stealth");
    EXPECT_EQ(a.status, 200);
    EXPECT_EQ(a.body, "SSDP disabled. Plenwick in stealth mode!\n");
    EXPECT_TRUE(has_line(a, "Content-Type: text/html; charset=UTF-8"));
    EXPECT_TRUE(has_line(a, "Expires: 0")) << a.head;
    EXPECT_TRUE(has_line(a, "Pragma: no-cache"));
    EXPECT_EQ(ssdp_mode, SSDP_STEALTH);

    // "playing" is looked for first: the page, and the mode stays.
    a = fetch(rpc_handler, "/rpc/playing?mode?alive");
    EXPECT_EQ(a.body, "playing<br>\n") << "nothing streamed yet";
    EXPECT_EQ(ssdp_mode, SSDP_STEALTH);

    a = fetch(rpc_handler, "/rpc/mode?alive");
    EXPECT_EQ(a.body, "SSDP enabled. Plenwick alive!\n");
    EXPECT_EQ(ssdp_mode, SSDP_ALIVE);

    EXPECT_EQ(fetch(rpc_handler, "/rpc/other").status, 404);
}

TEST_F(RpcHandler, PlayingPageShowsEachClientsStream)
{
    const std::string song =
        add_item(sized_file("song.mp3", 10), kClassMusicTrack, "0:01:40.000", 80000, "Tune");
    const std::string film =
        add_item(sized_file("film.avi", 10), kClassMovie, "0:01:40.000", 80000, "Film");
    // A player holds about 1.5 MB of music it has not played yet.
    play_status_update("10.0.0.1", std::stoi(song), 1000000);
    play_status_update("10.0.0.2", std::stoi(film), 1000000);
    play_status_update("10.0.0.3", std::stoi(song), 2000000);
    play_status_update("10.0.0.4", 99999, 5);
    Answer a = fetch(rpc_handler, "/rpc/playing");
    EXPECT_EQ(a.body, "playing<br>\n"
                      "10.0.0.1\t" +
                          song + "\t0\taudio/mpeg\tTune\t\t<br>\n" + "10.0.0.2\t" + film +
                          "\t1000000\tvideo/x-msvideo\tFilm\t\t<br>\n" + "10.0.0.3\t" + song +
                          "\t500000\taudio/mpeg\tTune\t\t<br>\n" + "10.0.0.4\t\t<br>\n");
}

// A hidden image on any page the user's browser opens could once switch the
// server off the network.
TEST_F(RpcHandler, ModeChangesOnlyFromTheServersOwnNames)
{
    ssdp_set_mode(SSDP_ALIVE);
    for (const char* foreign :
         {"Host: evil.example:1234\r\n", "Host: evil.example:9000\r\n",
          "Origin: http://evil.example\r\n", "Referer: http://evil.example/cats.html\r\n",
          "Host: 127.0.0.1:9000\r\nOrigin: null\r\n"}) {
        Answer a = fetch(rpc_handler, "/rpc/mode?stealth", foreign);
        EXPECT_EQ(a.status, 403) << foreign;
        EXPECT_EQ(a.body, "") << foreign;
        EXPECT_EQ(ssdp_mode, SSDP_ALIVE) << foreign;
    }
    Answer a = fetch(rpc_handler, "/rpc/mode?stealth",
                     "Host: localhost:9000\r\nReferer: http://localhost:9000/configpage/\r\n");
    EXPECT_EQ(a.status, 200);
    EXPECT_EQ(ssdp_mode, SSDP_STEALTH);
    EXPECT_EQ(fetch(rpc_handler, "/rpc/mode?alive", "Host: evil.example\r\n").status, 403);
    EXPECT_EQ(ssdp_mode, SSDP_STEALTH);
    EXPECT_EQ(fetch(rpc_handler, "/rpc/mode?alive").status, 200);
    EXPECT_EQ(ssdp_mode, SSDP_ALIVE);

    // Reading the status is for the server's own names too (another site
    // could read it through a name that resolves here), but a link from
    // another page opens it.
    a = fetch(rpc_handler, "/rpc/playing", "Host: evil.example\r\n");
    EXPECT_EQ(a.status, 403);
    EXPECT_EQ(a.body, "");
    a = fetch(rpc_handler, "/rpc/playing", "Referer: http://evil.example/cats.html\r\n");
    EXPECT_EQ(a.status, 200);
    EXPECT_EQ(a.body, "playing<br>\n");
}

// The page is HTML: a title is shown as text, never taken as markup.
TEST_F(RpcHandler, PlayingPageShowsTitlesAsText)
{
    const std::string song = add_item(sized_file("song.mp3", 10), kClassMusicTrack, "0:01:40.000",
                                      80000, "<b>bold</b> & \x01\"co\"");
    play_status_update("10.0.0.1", std::stoi(song), 1);
    EXPECT_EQ(fetch(rpc_handler, "/rpc/playing").body,
              "playing<br>\n10.0.0.1\t" + song +
                  "\t0\taudio/mpeg\t&lt;b&gt;bold&lt;/b&gt; &amp; &quot;co&quot;\t\t<br>\n");
}

TEST_F(RpcHandler, PlayStatusKeepsTenClientsInOrderOfArrival)
{
    for (int i = 0; i < 12; ++i) {
        play_status_update(("10.0.0." + std::to_string(i)).c_str(), i, i);
    }
    play_status_update("10.0.0.3", 77, 123);
    auto rows = play_status_rows();
    ASSERT_EQ(rows.size(), 10u);
    EXPECT_EQ(rows[0].client, "10.0.0.0");
    EXPECT_EQ(rows[9].client, "10.0.0.9");
    EXPECT_EQ(rows[3].object_id, 77);
    EXPECT_EQ(rows[3].position, 123);
}

} // namespace
