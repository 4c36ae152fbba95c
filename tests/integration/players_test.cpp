// The extras of today's players against the real program over loopback: the
// registrar service and the Samsung feature list, through the GUPnP control
// point and as raw SOAP.
#include "support/child_process.h"
#include "support/content_directory.h"
#include "support/http_client.h"
#include "support/server_process.h"

#include <cstring>
#include <gtest/gtest.h>

using namespace std::chrono_literals;

namespace
{

// The id of the top container with that title, from a Browse of "0".
std::string top_container_id(int port, const std::string& title)
{
    const std::string didl = xml_unescape(content_directory_call(
        port, "Browse",
        "<ObjectID>0</ObjectID><BrowseFlag>BrowseDirectChildren</BrowseFlag><Filter>*</Filter>"
        "<StartingIndex>0</StartingIndex><RequestedCount>0</RequestedCount>"
        "<SortCriteria></SortCriteria>"));
    const size_t at = didl.find("<dc:title>" + title + "</dc:title>");
    const size_t id = at == std::string::npos ? at : didl.rfind("<container id=\"", at);
    if (id == std::string::npos) {
        return "";
    }
    const size_t start = id + strlen("<container id=\"");
    return didl.substr(start, didl.find('"', start) - start);
}

TEST(Players, GupnpFindsTheRegistrarAndTheFeatureList)
{
    ServerUnderTest server(PLENWICK_BIN);
    ASSERT_GT(server.port(), 0);
    const std::string music = top_container_id(server.port(), "Music");
    const std::string videos = top_container_id(server.port(), "Videos");
    const std::string pictures = top_container_id(server.port(), "Pictures");
    ASSERT_FALSE(music.empty() || videos.empty() || pictures.empty());
    const ScriptRun run = run_python_script(
        {GUPNP_PLAYERS_SCRIPT, std::to_string(server.port()), music, videos, pictures}, 60s);
    ASSERT_TRUE(run.status) << "the control point did not finish";
    if (*run.status == 77) {
        GTEST_SKIP() << "GUPnP is not installed (python3-gi, gir1.2-gupnp-1.6): " << run.out;
    }
    EXPECT_EQ(*run.status, 0) << run.out << run.err;
    EXPECT_EQ(server.stop(), 0);
}

TEST(Players, RegistrarAnswersRawSoap)
{
    ServerUnderTest server(PLENWICK_BIN);
    ASSERT_GT(server.port(), 0);
    auto post = [&](const std::string& action) {
        const std::string body =
            "<?xml version=\"1.0\"?><s:Envelope "
            "xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\"><s:Body><u:" +
            action +
            " xmlns:u=\"urn:microsoft.com:service:X_MS_MediaReceiverRegistrar:1\"><DeviceID>"
            "</DeviceID></u:" +
            action + "></s:Body></s:Envelope>";
        return http_exchange(
            server.port(),
            "POST /X_MS_MediaReceiverRegistrar/Control HTTP/1.1\r\nUser-Agent: Xbox/2.0.17559.0 "
            "UPnP/1.0 Xbox/2.0.17559.0\r\nSOAPAction: "
            "\"urn:microsoft.com:service:X_MS_MediaReceiverRegistrar:1#" +
                action + "\"\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" +
                body);
    };
    auto authorized = post("IsAuthorized");
    ASSERT_TRUE(authorized);
    EXPECT_EQ(authorized->head.substr(0, 15), "HTTP/1.1 200 OK");
    EXPECT_NE(
        authorized->body.find("<u:IsAuthorizedResponse "
                              "xmlns:u=\"urn:microsoft.com:service:X_MS_MediaReceiverRegistrar:1\">"
                              "<Result>1</Result></u:IsAuthorizedResponse>"),
        std::string::npos)
        << authorized->body;
    auto validated = post("IsValidated");
    ASSERT_TRUE(validated);
    EXPECT_NE(validated->body.find("<Result>1</Result>"), std::string::npos);
    auto description = http_exchange(server.port(), "GET /X_MS_MediaReceiverRegistrar.xml "
                                                    "HTTP/1.1\r\n\r\n");
    ASSERT_TRUE(description);
    EXPECT_NE(description->body.find("<name>RegisterDevice</name>"), std::string::npos);
    EXPECT_EQ(server.stop(), 0);
}

} // namespace
