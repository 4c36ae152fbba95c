// The control URLs of the real program, driven by a control point this
// project did not write (GUPnP, through its Python bindings), and the
// recognition of players by their requests.
#include "mp3_writer.h"
#include "support/child_process.h"
#include "support/http_client.h"
#include "support/server_process.h"

#include <filesystem>
#include <gtest/gtest.h>

using namespace std::chrono_literals;

namespace
{

TEST(Control, GupnpControlPointCallsTheFixedActions)
{
    ServerUnderTest server(PLENWICK_BIN);
    ASSERT_GT(server.port(), 0);
    const ScriptRun run = run_python_script({GUPNP_SCRIPT, std::to_string(server.port())}, 60s);
    ASSERT_TRUE(run.status) << "the control point did not finish";
    if (*run.status == 77) {
        GTEST_SKIP() << "GUPnP is not installed (python3-gi, gir1.2-gupnp-1.6): " << run.out;
    }
    EXPECT_EQ(*run.status, 0) << run.out << run.err;
    EXPECT_EQ(server.stop(), 0);
}

// The whole tree of a scanned library, walked by the GUPnP control point in
// pages of 5; every Result parsed by GUPnP-AV and valid against the
// DIDL-Lite schema.
TEST(Control, GupnpWalksTheWholeTree)
{
    TempDir music;
    for (int i = 0; i < 8; ++i) {
        const std::string dir =
            music.path + "/Artist " + std::to_string(i % 2) + "/Album " + std::to_string(i % 3);
        std::filesystem::create_directories(dir);
        write_bytes(
            dir + "/" + std::to_string(i) + " - Song.mp3",
            concat({id3v2_tag({{"TIT2", id3_latin1("Song \xe9 & <" + std::to_string(i) + ">")},
                               {"TPE1", id3_latin1("Artist " + std::to_string(i % 2))},
                               {"TCON", id3_latin1("(17)")},
                               {"TYER", id3_latin1("1999")}}),
                    mpeg_frames(3)}));
    }
    // Control bytes in a tag: XML parsers refuse a whole Result with "&#1;".
    write_bytes(music.path + "/Artist 0/Bad.mp3",
                concat({id3v2_tag({{"TIT2", id3_latin1("Bad\x01Tag\x1f")},
                                   {"TPE1", id3_latin1("Artist\x02 0")}}),
                        mpeg_frames(3)}));
    // Names in UTF-8 and in Latin-1: the titles made of them reach the
    // control point as the same characters.
    std::filesystem::create_directories(music.path + "/\xc9t\xe9");
    write_bytes(music.path + "/\u0434\u043E\u0440\u043E\u0433\u0430 \u6771\u4EAC \U0001F3B5.mp3",
                mpeg_frames(3));
    write_bytes(music.path + "/\xc9t\xe9/cr\xe8me br\xfbl\xe9"
                             "e.mp3",
                mpeg_frames(3));
    ServerUnderTest server(PLENWICK_BIN, {"-contentdir", music.path, "-v", "13"});
    ASSERT_GT(server.port(), 0);
    ASSERT_TRUE(server.scan_completed(music.path));
    const ScriptRun run =
        run_python_script({GUPNP_BROWSE_SCRIPT, std::to_string(server.port()),
                           "\u0414\u043E\u0440\u043E\u0433\u0430 \u6771\u4EAC \U0001F3B5",
                           "Cr\u00E8me Br\u00FBl\u00E9e", "\u00C9t\u00E9"},
                          110s);
    ASSERT_TRUE(run.status) << "the walk did not finish";
    if (*run.status == 77) {
        GTEST_SKIP() << "GUPnP, GUPnP-AV or xmllint is not installed: " << run.out;
    }
    EXPECT_EQ(*run.status, 0) << run.out << run.err;
    EXPECT_EQ(server.stop(), 0);
}

std::string soap(int port, const std::string& action, const std::string& extra_header = "")
{
    const std::string body = "<s:Envelope><s:Body/></s:Envelope>";
    auto answer = http_exchange(port, "POST /ContentDirectory/Control HTTP/1.1\r\nSOAPAction: "
                                      "\"urn:schemas-upnp-org:service:ContentDirectory:1#" +
                                          action + "\"\r\n" + extra_header + "Content-Length: " +
                                          std::to_string(body.size()) + "\r\n\r\n" + body);
    return answer ? answer->body : "";
}

// A Roku Soundbridge, known by its user agent, searches everything.
TEST(Control, RokuIsRecognisedByItsUserAgent)
{
    ServerUnderTest server(PLENWICK_BIN, {"-v", "25"});
    ASSERT_GT(server.port(), 0);
    EXPECT_EQ(soap(server.port(), "GetSearchCapabilities").find("<SearchCaps>*</SearchCaps>"),
              std::string::npos);
    EXPECT_NE(soap(server.port(), "GetSearchCapabilities",
                   "User-Agent: Allegro-Software-WebClient/4.32\r\n")
                  .find("<SearchCaps>*</SearchCaps>"),
              std::string::npos);
    EXPECT_NE(server.process->out().find("CLIENT-DB:added: 127.0.0.1 Roku Soundbridge"),
              std::string::npos)
        << server.process->out();
}

// A guessed Noxon whose probe finds nothing is generic, and stays so.
TEST(Control, FailedProbeStoresGenericForGood)
{
    ServerUnderTest server(PLENWICK_BIN, {"-v", "25"});
    ASSERT_GT(server.port(), 0);
    for (int i = 0; i < 2; ++i) {
        auto answer = http_exchange(server.port(), "GET /DeviceDescription.xml HTTP/1.1\r\n"
                                                   "User-Agent: Mozilla/4.0 (compatible)\r\n\r\n");
        ASSERT_TRUE(answer);
    }
    const std::string out = server.process->out();
    EXPECT_EQ(count_occurrences(out, "CLIENT-DB:added: 127.0.0.1 Generic Media Receiver"), 1)
        << out;
    EXPECT_EQ(out.find("Noxon Audio"), std::string::npos);
}

// A configured D-Link address needs no probe and gets its connections closed.
TEST(Control, ConfiguredDlinkFromTheStart)
{
    ServerUnderTest server(PLENWICK_BIN, {"-dlinkclient", "127.0.0.1", "-v", "25"});
    ASSERT_GT(server.port(), 0);
    EXPECT_NE(server.process->out().find("CLIENT-DB:added: 127.0.0.1 D-Link DSM320"),
              std::string::npos);
    RawHttpClient client(server.port());
    client.send_text("GET /DeviceDescription.xml HTTP/1.1\r\n\r\n");
    auto answer = client.read_answer();
    ASSERT_TRUE(answer);
    EXPECT_EQ(header_value(answer->head, "Connection"), "close");
    EXPECT_TRUE(client.closed_by_peer());
}

} // namespace
