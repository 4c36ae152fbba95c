// Sidecar subtitles through the real program: a library with subtitle files
// beside its videos, searched and streamed over loopback, and walked by the
// GUPnP control point, whose DIDL-Lite parser and the DIDL-Lite schema must
// accept every listing with the subtitle resources in it.
#include "support/child_process.h"
#include "support/content_directory.h"
#include "support/http_client.h"
#include "support/server_process.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <regex>

using namespace std::chrono_literals;

namespace
{

constexpr const char* kSrt = "1\n00:00:01,000 --> 00:00:02,500\nHello\n";

// The resources of the item titled title, in their order, as "type url".
std::vector<std::string> resources_of(int port, const std::string& title)
{
    const std::string answer = content_directory_call(
        port, "Search",
        "<ContainerID>0</ContainerID><SearchCriteria>upnp:class derivedfrom "
        "&quot;object.item.videoItem&quot;</SearchCriteria><Filter>*</Filter><StartingIndex>0"
        "</StartingIndex><RequestedCount>0</RequestedCount><SortCriteria></SortCriteria>");
    const std::string didl = xml_unescape(xml_unescape(answer));
    static const std::regex item_re("<item (?![^>]*refID)[^>]*>(.*?)</item>");
    static const std::regex res_re("<res[^>]*protocolInfo=\"http-get:\\*:([^:]*):[^\"]*\"[^>]*>"
                                   "([^<]*)</res>");
    for (auto it = std::sregex_iterator(didl.begin(), didl.end(), item_re);
         it != std::sregex_iterator(); ++it) {
        const std::string body = (*it)[1];
        if (body.find("<dc:title>" + title + "</dc:title>") == std::string::npos) {
            continue;
        }
        std::vector<std::string> found;
        for (auto r = std::sregex_iterator(body.begin(), body.end(), res_re);
             r != std::sregex_iterator(); ++r) {
            found.push_back(std::string((*r)[1]) + " " + std::string((*r)[2]));
        }
        return found;
    }
    return {"(no item titled " + title + ")"};
}

// The path part of a URL the server handed out ("/subtitle/12.srt").
std::string path_of(const std::string& url)
{
    const size_t host = url.find("://");
    const size_t slash = url.find('/', host == std::string::npos ? 0 : host + 3);
    return slash == std::string::npos ? url : url.substr(slash);
}

TEST(Subtitles, SidecarIsListedServedAndNamedToTheVideosPlayer)
{
    TempDir library;
    std::filesystem::create_directories(library.path + "/Films");
    write_text_file(library.path + "/Films/Harbour Lights.avi", std::string(4000, 'v'));
    write_text_file(library.path + "/Films/Harbour Lights.en.SRT", kSrt);
    write_text_file(library.path + "/Films/Quiet Hills.mpg", std::string(3000, 'v'));
    write_text_file(library.path + "/Films/Lonely.srt", kSrt);
    ServerUnderTest server(PLENWICK_BIN, {"-contentdir", library.path, "-v", "13"});
    ASSERT_GT(server.port(), 0);
    ASSERT_TRUE(server.scan_completed(library.path));

    const std::vector<std::string> res = resources_of(server.port(), "Harbour Lights");
    ASSERT_EQ(res.size(), 2u) << testing::PrintToString(res);
    EXPECT_EQ(res[0].rfind("video/x-msvideo ", 0), 0u) << res[0];
    ASSERT_EQ(res[1].rfind("text/srt http://127.0.0.1:", 0), 0u) << res[1];
    const std::string subtitle_url = res[1].substr(res[1].find(' ') + 1);
    const std::string video_url = res[0].substr(res[0].find(' ') + 1);
    EXPECT_EQ(resources_of(server.port(), "Quiet Hills").size(), 1u);
    EXPECT_EQ(resources_of(server.port(), "Lonely").size(), 1u) << "a subtitle is no item";
    EXPECT_EQ(resources_of(server.port(), "Lonely")[0], "(no item titled Lonely)");

    for (const char* method : {"GET", "HEAD"}) {
        const auto answer =
            http_exchange(server.port(), std::string(method) + " " + path_of(video_url) +
                                             " HTTP/1.1\r\nHost: x\r\n"
                                             "getCaptionInfo.sec: 1\r\n\r\n");
        ASSERT_TRUE(answer);
        EXPECT_EQ(answer->status, 200);
        EXPECT_EQ(header_value(answer->head, "CaptionInfo.sec"), subtitle_url) << answer->head;
    }

    auto answer = http_exchange(server.port(),
                                "GET " + path_of(subtitle_url) + " HTTP/1.1\r\nHost: x\r\n\r\n");
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->status, 200);
    EXPECT_EQ(header_value(answer->head, "Content-Type"), "text/srt");
    EXPECT_EQ(answer->body, kSrt);

    for (const char* target : {"/subtitle/../../../../etc/passwd", "/subtitle/1.srt",
                               "/subtitle/%2e%2e%2f%2e%2e%2fetc%2fpasswd"}) {
        answer = http_exchange(server.port(),
                               std::string("GET ") + target + " HTTP/1.1\r\nHost: x\r\n\r\n");
        ASSERT_TRUE(answer);
        EXPECT_EQ(answer->status, 404) << target;
        EXPECT_EQ(answer->body.find("root:"), std::string::npos) << target;
    }

    // Every listing with the subtitle resource still passes GUPnP-AV's
    // parser and the DIDL-Lite schema.
    const ScriptRun run = run_python_script(
        {GUPNP_BROWSE_SCRIPT, std::to_string(server.port()), "Harbour Lights"}, 110s);
    ASSERT_TRUE(run.status) << "the walk did not finish";
    if (*run.status == 77) {
        GTEST_SKIP() << "GUPnP, GUPnP-AV or xmllint is not installed: " << run.out;
    }
    EXPECT_EQ(*run.status, 0) << run.out << run.err;
    EXPECT_EQ(server.stop(), 0);
}

} // namespace
