#include "eventing/callback_urls.h"
#include "eventing/event_delivery.h"

#include <gtest/gtest.h>

namespace
{

TEST(CallbackUrls, GroupsInOrderWithTheirPorts)
{
    auto urls = callback_urls("<http://10.0.0.9/a><http://10.0.0.5:4004/b/c?d>");
    ASSERT_EQ(urls.size(), 2u);
    EXPECT_EQ(urls[0].host, "10.0.0.9");
    EXPECT_EQ(urls[0].port, 80) << "no port: 80";
    EXPECT_EQ(urls[0].host_port, "10.0.0.9");
    EXPECT_EQ(urls[0].path, "/a");
    EXPECT_EQ(urls[1].host, "10.0.0.5");
    EXPECT_EQ(urls[1].port, 4004);
    EXPECT_EQ(urls[1].host_port, "10.0.0.5:4004");
    EXPECT_EQ(urls[1].path, "/b/c?d");
}

TEST(CallbackUrls, WalkEndsAtAUrlWithoutPath)
{
    EXPECT_TRUE(callback_urls("<http://10.0.0.5:4004>").empty());
    EXPECT_EQ(callback_urls("<http://a/x><http://b><http://c/y>").size(), 1u);
    EXPECT_TRUE(callback_urls("<ftp://a/x>").empty());
    EXPECT_TRUE(callback_urls("<http:").empty());
    // A missing '>' runs to the end of the text.
    auto urls = callback_urls("<http://h:81/p");
    ASSERT_EQ(urls.size(), 1u);
    EXPECT_EQ(urls[0].path, "/p");
}

TEST(EventBodies, NotifyRequestAndPropertySets)
{
    CallbackUrl url;
    url.host_port = "10.0.0.5:4004";
    url.path = "/evt";
    const std::string body = content_directory_event_body(12, "7,3,9,1");
    EXPECT_EQ(notify_request(url, 42, 3, body),
              "NOTIFY /evt HTTP/1.1\r\nHOST: 10.0.0.5:4004\r\nCONTENT-TYPE: text/xml\r\n"
              "CONTENT-LENGTH: " +
                  std::to_string(body.size()) +
                  "\r\nNT: upnp:event\r\nNTS: upnp:propchange\r\nSID: uuid:42\r\nSEQ: 3\r\n"
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
