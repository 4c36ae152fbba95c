#include "control/clients.h"
#include "control/didl.h"
#include "core/log.h"
#include "core/settings.h"
#include "db/media_db.h"
#include "http/http_connection.h"
#include "support/temp_dir.h"

#include <atomic>
#include <gtest/gtest.h>
#include <thread>
#include <vector>

namespace
{

class Clients : public ::testing::Test
{
protected:
    void SetUp() override
    {
        client_table_clear();
        client_set_probes({});
    }
    void TearDown() override
    {
        client_table_clear();
        client_set_probes({});
        setting_set(KEY_DLINKCLIENT, "");
        setting_set(KEY_NOXONCLIENT, "");
        setting_set(KEY_MUSICCLIENT, "");
        setting_set(KEY_V, "0");
    }
};

TEST_F(Clients, RegistrationChangesAndProbedTypes)
{
    TempDir dir;
    setting_set(KEY_V, "16");
    log_open_file(dir.file("log.txt").c_str());
    client_register(0, "10.0.0.2");
    client_register(8, "10.0.0.2");
    client_register(10, "10.0.0.2");
    client_register(10, "10.0.0.3");
    log_close();
    EXPECT_EQ(client_type_of("10.0.0.2"), 8);
    EXPECT_EQ(client_type_of("10.0.0.3"), 0) << "an unconfirmed Noxon guess is generic";
    EXPECT_EQ(client_type_of("10.0.0.99"), 0);
    const std::string log = read_text_file(dir.file("log.txt"));
    EXPECT_NE(log.find("CLIENT-DB:added: 10.0.0.2 Generic Media Receiver\n"), std::string::npos);
    EXPECT_NE(log.find("CLIENT-DB:changed: 10.0.0.2 Philips Streamium\n"), std::string::npos);
    auto entry = client_entry(1);
    ASSERT_TRUE(entry);
    EXPECT_EQ(entry->address, "10.0.0.3");
    EXPECT_FALSE(client_entry(2));
}

TEST_F(Clients, ConfiguredAddressesNeedNoProbe)
{
    setting_set(KEY_DLINKCLIENT, "10.0.0.5");
    setting_set(KEY_NOXONCLIENT, "10.0.0.6,10.0.0.7");
    setting_set(KEY_MUSICCLIENT, "10.0.0.8");
    client_register_configured();
    EXPECT_EQ(client_type_of("10.0.0.5"), 2);
    EXPECT_EQ(client_type_of("10.0.0.7"), 10);
    EXPECT_TRUE(client_is_music_client("10.0.0.6"));
    EXPECT_TRUE(client_is_music_client("10.0.0.8"));
    EXPECT_FALSE(client_is_music_client("10.0.0.5"));
    client_register(9, "10.0.0.9");
    EXPECT_TRUE(client_is_music_client("10.0.0.9"));
    EXPECT_STREQ(client_type_name(9), "Roku Soundbridge");
}

TEST_F(Clients, ProbesRunOutsideTheLockAndCanConfirm)
{
    ClientProbes probes;
    probes.dlink = [](const char* address) {
        // Looking the table up here would deadlock if the lock were held.
        return client_type_of(address) == 0;
    };
    client_set_probes(probes);
    client_register(2, "10.0.0.4");
    EXPECT_EQ(client_type_of("10.0.0.4"), 2);
}

TEST_F(Clients, OnlyNineAddressesAreRecorded)
{
    for (int i = 1; i <= 10; ++i) {
        client_register(5, ("10.0.1." + std::to_string(i)).c_str());
    }
    EXPECT_EQ(client_type_of("10.0.1.9"), 5);
    EXPECT_EQ(client_type_of("10.0.1.10"), 0);
    EXPECT_FALSE(client_entry(9));
}

TEST_F(Clients, ConcurrentRegistrationKeepsEachAddressOnce)
{
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([] {
            for (int i = 0; i < 2000; ++i) {
                client_register(i % 3 == 0 ? 8 : 5, ("10.0.2." + std::to_string(i % 6)).c_str());
                client_type_of("10.0.2.1");
            }
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    int entries = 0;
    while (client_entry(entries)) {
        ++entries;
    }
    EXPECT_EQ(entries, 6);
}

// A request from address with the given header lines, as the server
// receives it.
HttpConnection request_from(const char* address, const std::string& lines)
{
    HttpConnection c;
    strcpy(c.client_ip.data(), address);
    EXPECT_TRUE(http_set_head(&c, "GET /disk/1.mp3 HTTP/1.1\r\n" + lines + "\r\n"));
    return c;
}

ClientProbes confirming_probes()
{
    ClientProbes probes;
    probes.dlink = [](const char*) { return true; };
    probes.noxon = [](const char*) { return true; };
    return probes;
}

TEST_F(Clients, EachPlayerIsRecognisedByItsOwnText)
{
    client_set_probes(confirming_probes());
    struct Row {
        const char* lines;
        ClientType expected;
    };
    const Row rows[] = {
        {"User-Agent: Corvalenso Remote CP\r\n", ClientType::QxRemoteControlPoint},
        {"User-Agent: Allegro-Software-WebClient/4.30\r\n", ClientType::PhilipsStreamium},
        {"User-Agent: Allegro-Software-WebClient/4.32\r\n", ClientType::RokuSoundbridge},
        {"User-Agent: Mozilla/4.0 (compatible)\r\n", ClientType::NoxonAudio},
        {"Server: POSIX, UPnP/1.0, Intel MicroStack/1.0.1423\r\n", ClientType::DlinkDsm320},
        {"User-Agent: DLNADOC/1.50 SEC_HHP_[TV] UE55RU7179/1.0 UPnP/1.0\r\n",
         ClientType::SamsungTv},
        {"User-Agent: Linux/3.10.19-32.afro.4 UPnP/1.0 LGE_DLNA_SDK/1.6.0 DLNADOC/1.50\r\n",
         ClientType::LgTv},
        {"X-AV-Client-Info: av=5.0; cn=\"Sony Corporation\"; mn=\"BRAVIA KDL-40EX500\"; "
         "mv=\"1.7\";\r\n",
         ClientType::SonyBravia},
        {"User-Agent: Panasonic MIL DLNA CP UPnP/1.0 DLNADOC/1.50\r\n", ClientType::PanasonicTv},
        {"User-Agent: Xbox/2.0.17559.0 UPnP/1.0 Xbox/2.0.17559.0\r\n", ClientType::Xbox},
        {"User-Agent: Microsoft-Windows/10.0 UPnP/1.0 Windows-Media-Player/12.0.19041.1 "
         "DLNADOC/1.50 (MS-DeviceCaps/1024)\r\n",
         ClientType::WindowsMediaPlayer},
        {"User-Agent: Kodi/20.2 (X11; Linux x86_64) App_Bitness/64\r\n", ClientType::Kodi},
        {"User-Agent: VLC/3.0.18 LibVLC/3.0.18\r\n", ClientType::Vlc},
        {"User-Agent: Linux/5.10 UPnP/1.0 BubbleUPnP/3.7.2\r\n", ClientType::BubbleUpnp},
        {"User-Agent: foobar2000/2.x\r\n", ClientType::Foobar2000},
        {"User-Agent: Linux UPnP/1.0 HEOS/1.583.147\r\n", ClientType::Heos},
        {"user-agent: xbox/2.0\r\n", ClientType::Xbox},
        {"User-Agent: Mozilla/5.0 (X11; Linux x86_64)\r\n", ClientType::Generic},
        {"X-AV-Client-Info: av=5.0; cn=\"Sony Corporation\"; mn=\"Network Player\"\r\n",
         ClientType::Generic},
    };
    int n = 0;
    for (const Row& row : rows) {
        const std::string address = "10.0.3." + std::to_string(++n);
        HttpConnection c = request_from(address.c_str(), row.lines);
        EXPECT_EQ(client_recognise_request(&c), row.expected) << row.lines;
        EXPECT_EQ(c.client_type, static_cast<int>(row.expected)) << row.lines;
    }
}

TEST_F(Clients, OlderTypesTakePrecedenceAndTodaysAreNotStored)
{
    // A head that names an older player and a television: the older rule
    // wins, as its answers were made for that device.
    HttpConnection both =
        request_from("10.0.4.1", "User-Agent: Allegro-Software-WebClient/4.32 SEC_HHP_[TV]\r\n");
    EXPECT_EQ(client_recognise_request(&both), ClientType::RokuSoundbridge);
    // An address known as an older player keeps its type.
    client_register(8, "10.0.4.2");
    HttpConnection known = request_from("10.0.4.2", "User-Agent: DLNADOC/1.50 SEC_HHP_[TV]\r\n");
    EXPECT_EQ(client_recognise_request(&known), ClientType::PhilipsStreamium);
    // The first of today's rows that matches wins.
    HttpConnection two = request_from(
        "10.0.4.3", "User-Agent: SEC_HHP_ LGE_DLNA_SDK\r\nX-AV-Client-Info: mn=\"BRAVIA\"\r\n");
    EXPECT_EQ(client_recognise_request(&two), ClientType::SamsungTv);
    // The older texts stay case-sensitive.
    HttpConnection lower = request_from("10.0.4.4", "User-Agent: mozilla/4.0 (compatible)\r\n");
    EXPECT_EQ(client_recognise_request(&lower), ClientType::Generic);
    EXPECT_EQ(client_type_from_head("Corvalenso Remote CP Allegro-Software-WebClient/4.30"), 5);

    // Today's players are recognised per request, never kept by address:
    // the same address without the header is the generic type again.
    HttpConnection tv = request_from("10.0.4.5", "User-Agent: DLNADOC/1.50 SEC_HHP_[TV]\r\n");
    EXPECT_EQ(client_recognise_request(&tv), ClientType::SamsungTv);
    EXPECT_EQ(client_type_of("10.0.4.5"), 0);
    HttpConnection plain = request_from("10.0.4.5", "User-Agent: curl/8\r\n");
    EXPECT_EQ(client_recognise_request(&plain), ClientType::Generic);
    client_register(static_cast<int>(ClientType::SamsungTv), "10.0.4.6");
    EXPECT_EQ(client_type_of("10.0.4.6"), 0) << "the address table holds the older types only";
}

TEST_F(Clients, TheConnectionRecordKeepsTheRecognisedType)
{
    HttpConnection c = request_from("10.0.5.1", "User-Agent: SEC_HHP_\r\n");
    EXPECT_EQ(c.client_type, -1);
    EXPECT_EQ(client_of(&c), ClientType::SamsungTv) << "a request made in code is worked out";
    EXPECT_EQ(client_type_of("10.0.5.1"), 0) << "without registering anything";
    // Handlers read the record, not the head.
    c.client_type = static_cast<int>(ClientType::LgTv);
    EXPECT_EQ(client_of(&c), ClientType::LgTv);
    EXPECT_STREQ(client_quirks_of(&c).mime_override.mime, "audio/flac");

    // The D-Link player's connections close after each answer.
    client_set_probes(confirming_probes());
    HttpConnection dlink =
        request_from("10.0.5.2", "Server: POSIX, UPnP/1.0, Intel MicroStack/1.0.1423\r\n");
    EXPECT_EQ(client_recognise_request(&dlink), ClientType::DlinkDsm320);
    EXPECT_EQ(dlink.close_after, 1);
    HttpConnection again = request_from("10.0.5.2", "");
    EXPECT_EQ(client_recognise_request(&again), ClientType::DlinkDsm320);
    EXPECT_EQ(again.close_after, 1) << "known by its address from then on";
}

TEST_F(Clients, SearchTextAndObjectIdRecogniseTheirPlayers)
{
    client_set_probes(confirming_probes());
    client_recognise_search("M-SEARCH * HTTP/1.1\r\nUSER-AGENT: Netgear MP101\r\n", "10.0.6.1");
    client_recognise_search("M-SEARCH * HTTP/1.1\r\nMYNAME: \"D2730\"\r\n", "10.0.6.2");
    client_recognise_search("M-SEARCH * HTTP/1.1\r\nUSER-AGENT: SEC_HHP_\r\n", "10.0.6.3");
    client_recognise_object_id("0\\Music\\", "10.0.6.4");
    client_recognise_object_id("0\\Music", "10.0.6.5");
    EXPECT_EQ(client_type_of("10.0.6.1"), 1);
    EXPECT_EQ(client_type_of("10.0.6.2"), 7);
    EXPECT_FALSE(client_entry(2) && client_entry(2)->address == "10.0.6.3");
    EXPECT_EQ(client_type_of("10.0.6.4"), 2);
    EXPECT_EQ(client_type_of("10.0.6.5"), 0);
}

TEST_F(Clients, OlderTypesKeepTheirNamesAndAnswers)
{
    const char* names[] = {"Generic Media Receiver",
                           "Netgear MP101",
                           "D-Link DSM320",
                           "Sony Network Media Receiver",
                           "LinkSys Wireless Music System",
                           "QX Remote Control Point",
                           "SMC EZ-Stream",
                           "Go.Video D2730",
                           "Philips Streamium",
                           "Roku Soundbridge",
                           "Noxon Audio",
                           "Tini Image Renderer"};
    for (int t = 0; t < kAddressClientTypeCount; ++t) {
        EXPECT_STREQ(client_type_name(t), names[t]) << t;
        const ClientQuirks& q = client_quirks(static_cast<ClientType>(t));
        // None of them is sent the DLNA fields or today's MIME types.
        EXPECT_EQ(client_gets_dlna_fields(static_cast<ClientType>(t)), t == 0) << t;
        EXPECT_FALSE(q.always_content_features || q.caption_info || q.mime_override.extension) << t;
        EXPECT_EQ(q.music_start, t == 1 || t == 9 || t == 10) << t;
        EXPECT_EQ(q.close_connection, t == 2) << t;
    }
    EXPECT_EQ(client_type_name(kClientTypeCount), nullptr);
    for (int t = kAddressClientTypeCount; t < kClientTypeCount; ++t) {
        EXPECT_TRUE(client_gets_dlna_fields(static_cast<ClientType>(t))) << t;
        EXPECT_FALSE(client_quirks(static_cast<ClientType>(t)).music_start) << t;
    }
}

TEST_F(Clients, TypesNameTheirOwnMimeTypes)
{
    EXPECT_STREQ(client_mime_for(ClientType::SamsungTv, "/m/Film.MKV"), "video/x-mkv");
    EXPECT_STREQ(client_mime_for(ClientType::Generic, "/m/Film.mkv"), "video/x-matroska");
    EXPECT_STREQ(client_mime_for(ClientType::LgTv, "/m/a.flac"), "audio/flac");
    EXPECT_STREQ(client_mime_for(ClientType::SamsungTv, "/m/a.flac"), "audio/flac");
    EXPECT_STREQ(client_mime_for(ClientType::LgTv, "/m/Film.mkv"), "video/x-matroska");
    EXPECT_STREQ(client_mime_for(ClientType::SamsungTv, "/m/a.mp3"), "audio/mpeg");
}

// A Samsung television is told video/x-mkv for Matroska; the generic type
// and the older players keep the MIME table's name.
TEST_F(Clients, ListingsNameTheTypesEachPlayerReads)
{
    db_create();
    {
        const DbLock lock = db_lock();
        DbItem item;
        item.kind = DB_ITEM;
        item.upnp_class = kClassMovie;
        item.title = DbText("Film");
        item.path = DbText("/v/film.mkv");
        auto render = [&](HttpConnection& c) {
            strcpy(c.base_url.data(), "http://10.0.0.1:9000/");
            StrBuf out;
            didl_render_object(lock, out, &item, "*", &c);
            return std::string(strbuf_view(out));
        };
        HttpConnection tv = request_from("10.0.7.1", "User-Agent: SEC_HHP_[TV] UE55/1.0\r\n");
        client_recognise_request(&tv);
        const std::string samsung = render(tv);
        EXPECT_NE(samsung.find("protocolInfo=\"http-get:*:video/x-mkv:"), std::string::npos)
            << samsung;
        HttpConnection other = request_from("10.0.7.2", "User-Agent: Kodi/20.2\r\n");
        const std::string kodi = render(other);
        EXPECT_NE(kodi.find("protocolInfo=\"http-get:*:video/x-matroska:"), std::string::npos)
            << kodi;
    }
    db_destroy();
}

} // namespace
