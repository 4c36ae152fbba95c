#include "eventing/callback_urls.h"
#include "eventing/event_delivery.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

namespace
{

std::string address_of(const CallbackUrl& url)
{
    char text[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &url.address, text, sizeof text);
    return text;
}

TEST(CallbackUrls, GroupsInOrderWithTheirPorts)
{
    std::vector<CallbackUrl> urls;
    ASSERT_TRUE(callback_parse("<http://10.0.0.9/a> <http://10.0.0.5:4004/b/c?d>", urls));
    ASSERT_EQ(urls.size(), 2u);
    EXPECT_EQ(address_of(urls[0]), "10.0.0.9");
    EXPECT_EQ(urls[0].port, 80) << "no port: 80";
    EXPECT_EQ(urls[0].host_port, "10.0.0.9");
    EXPECT_EQ(urls[0].path, "/a");
    EXPECT_EQ(address_of(urls[1]), "10.0.0.5");
    EXPECT_EQ(urls[1].port, 4004);
    EXPECT_EQ(urls[1].host_port, "10.0.0.5:4004");
    EXPECT_EQ(urls[1].path, "/b/c?d");
    const sockaddr_in to = callback_destination(urls[1]);
    EXPECT_EQ(to.sin_addr.s_addr, urls[1].address.s_addr);
    EXPECT_EQ(ntohs(to.sin_port), 4004);
}

TEST(CallbackUrls, MalformedCallbacksAreRefusedWhole)
{
    const char* rows[] = {
        "",
        "<http://10.0.0.5:4004>",                  // no path
        "<http://a/x>",                            // a name, not an address
        "<ftp://10.0.0.5/x>",                      // another scheme
        "<http:",                                  // cut
        "<http://10.0.0.5:81/p",                   // no closing '>'
        "http://10.0.0.5/p",                       // no '<'
        "<http://10.0.0.5/a>x<http://10.0.0.5/b>", // text between groups
        "<http://10.0.0.5/a><http://b><http://10.0.0.5/c>",
        "<http://10.0.0.5:0/p>",
        "<http://10.0.0.5:65536/p>",
        "<http://10.0.0.5:+80/p>",
        "<http://10.0.0.5:/p>",
        "<http://10.1/p>", // the short forms of inet_aton are no dotted address
        "<http://10.0.0.5/a b>",
        "<http://10.0.0.5/a\x01>",
        // User information makes the host depend on who reads the URL.
        "<http://127.0.0.1:1@127.0.0.2:4005/x>",
        "<http://user@127.0.0.1:4005/x>",
        "<http://@127.0.0.1/x>",
    };
    for (const char* row : rows) {
        std::vector<CallbackUrl> urls;
        EXPECT_FALSE(callback_parse(row, urls)) << row;
        EXPECT_TRUE(urls.empty()) << row;
    }
}

TEST(CallbackUrls, AtMostFiveUrlsAreKept)
{
    std::string value;
    for (int i = 1; i <= 30; ++i) {
        value += "<http://10.0.0.5:" + std::to_string(4000 + i) + "/e>";
    }
    // A malformed group beyond the fifth is never looked at.
    value += "<http://x@y/z>";
    std::vector<CallbackUrl> urls;
    ASSERT_TRUE(callback_parse(value, urls));
    ASSERT_EQ(urls.size(), kMaxCallbackUrls);
    EXPECT_EQ(urls.back().port, 4005);
}

TEST(CallbackUrls, AcceptedOnlyWhenEveryUrlNamesTheSubscriber)
{
    std::vector<CallbackUrl> urls;
    EXPECT_TRUE(callback_accept("<http://127.0.0.1:4004/evt>", "127.0.0.1", urls));
    EXPECT_EQ(urls.size(), 1u);
    EXPECT_FALSE(callback_accept("<http://127.0.0.1:4004/evt>", "127.0.0.2", urls));
    EXPECT_TRUE(urls.empty());
    EXPECT_FALSE(
        callback_accept("<http://127.0.0.1:4004/a><http://10.0.0.5/b>", "127.0.0.1", urls));
    EXPECT_FALSE(callback_accept("<http://127.0.0.1:1@127.0.0.2:4005/x>", "127.0.0.1", urls));
    EXPECT_FALSE(callback_accept("<http://127.0.0.1:1@127.0.0.2:4005/x>", "127.0.0.2", urls));
    EXPECT_FALSE(callback_accept("<http://127.0.0.1/x>", "", urls)) << "no subscriber address";
}

TEST(EventBodies, NotifyRequestAndPropertySets)
{
    CallbackUrl url;
    url.host_port = "10.0.0.5:4004";
    url.path = "/evt";
    const std::string body = content_directory_event_body(12, "7,3,9,1");
    const std::string sid = "uuid:0f1e2d3c-4b5a-4978-8695-a4b3c2d1e0f9";
    EXPECT_EQ(notify_request(url, sid, 3, body),
              "NOTIFY /evt HTTP/1.1\r\nHOST: 10.0.0.5:4004\r\nCONTENT-TYPE: text/xml\r\n"
              "CONTENT-LENGTH: " +
                  std::to_string(body.size()) +
                  "\r\nNT: upnp:event\r\nNTS: upnp:propchange\r\n"
                  "SID: uuid:0f1e2d3c-4b5a-4978-8695-a4b3c2d1e0f9\r\nSEQ: 3\r\n"
                  "User-Agent: SSDP CD Events\r\nCache-Control: no-cache\r\n\r\n" +
                  body);
    EXPECT_EQ(body, "<e:propertyset xmlns:e=\"urn:schemas-upnp-org:event-1-0\">\n<e:property>\n"
                    "<SystemUpdateID>12</SystemUpdateID>\n</e:property>\n<e:property>\n"
                    "<ContainerUpdateIDs>7,3,9,1</ContainerUpdateIDs>\n</e:property>\n"
                    "<e:property>\n<TransferIDs></TransferIDs>\n</e:property>\n"
                    "</e:propertyset>\n");
    EXPECT_NE(content_directory_event_body(1, nullptr).find("<ContainerUpdateIDs></"),
              std::string::npos);
    const std::string cm = connection_manager_event_body("http-get:*:audio/mpeg:*", "");
    EXPECT_NE(cm.find("<SourceProtocolInfo>http-get:*:audio/mpeg:*</SourceProtocolInfo>\n"),
              std::string::npos);
    EXPECT_NE(cm.find("<SinkProtocolInfo></SinkProtocolInfo>"), std::string::npos);
    EXPECT_NE(cm.find("<CurrentConnectionIDs>0</CurrentConnectionIDs>"), std::string::npos);
    // The body is kept within its 511 characters, whatever the lists.
    EXPECT_LE(connection_manager_event_body(std::string(2000, 'x').c_str(), "").size(), 511u);
}

} // namespace
