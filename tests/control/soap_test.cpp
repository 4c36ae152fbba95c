#include "control/clients.h"
#include "control/soap.h"
#include "control/soap_actions.h"
#include "core/settings.h"
#include "db/db_fixture.h"
#include "support/captured_connection.h"

#include <sys/socket.h>
#include <unistd.h>

namespace
{

struct Answer {
    int status = 0;
    std::string head;
    std::string body;
};

// Posts body with a SOAPACTION header line to the control handler and
// returns what it sent.
Answer post(const std::string& action_line, const std::string& body,
            const char* client = "10.0.0.1")
{
    CapturedConnection cap("/ContentDirectory/Control");
    HttpConnection& c = cap.c;
    c.method = HTTP_POST;
    strcpy(c.client_ip.data(), client);
    const std::string head =
        "POST /ContentDirectory/Control HTTP/1.1\r\n" + action_line + "\r\n\r\n";
    http_set_head(&c, head);
    c.body = body.empty() ? nullptr : body.c_str();
    c.body_length = static_cast<int64_t>(body.size());
    soap_control_handler(&c);
    const std::string all = cap.sent();
    Answer a;
    const size_t end = all.find("\r\n\r\n");
    a.head = all.substr(0, end);
    a.body = end == std::string::npos ? "" : all.substr(end + 4);
    a.status = atoi(all.c_str() + 9);
    return a;
}

std::string cd(const std::string& action)
{
    return "SOAPACTION: \"urn:schemas-upnp-org:service:ContentDirectory:1#" + action + "\"";
}

std::string cm(const std::string& action)
{
    return "SOAPACTION: \"urn:schemas-upnp-org:service:ConnectionManager:1#" + action + "\"";
}

std::string args(const std::string& inner)
{
    return std::string(kSoapEnvelopeStart) + "<s:Body><u:X>" + inner +
           "</u:X></s:Body></s:Envelope>";
}

int error_code(const Answer& a)
{
    const size_t at = a.body.find("<errorCode>");
    return at == std::string::npos ? 0 : atoi(a.body.c_str() + at + 11);
}

// The action is the header's "Service:version#Action" part, compared whole.
TEST(SoapDispatch, ActionsByTheirWholeNameAndHeaderNamesInAnyCase)
{
    struct Case {
        const char* header;
        const char* action; // null: none
    };
    for (const Case& k : {
             Case{"\"urn:schemas-upnp-org:service:ContentDirectory:1#X_BrowseByLetter\"",
                  "ContentDirectory:1#X_BrowseByLetter"},
             Case{"\"urn:schemas-upnp-org:service:ContentDirectory:1#Browse\" ",
                  "ContentDirectory:1#Browse"},
             Case{"urn:x:ConnectionManager:1#GetProtocolInfo",
                  "ConnectionManager:1#GetProtocolInfo"},
             Case{"ContentDirectory:1#Search", "ContentDirectory:1#Search"},
             Case{"\"urn:x:ContentDirectory:1#browse\"", nullptr}, // the action is case-sensitive
             Case{"\"urn:x:ContentDirectory:1#BrowseMore\"", nullptr},
             Case{"urn:x:XContentDirectory:1#Browse", nullptr},
             Case{"urn:x:ContentDirectory:2#Browse", nullptr},
             Case{"1#Browse", nullptr},
             Case{"", nullptr},
         }) {
        const SoapActionRow* row = soap_action_of(k.header);
        EXPECT_STREQ(row ? row->name : nullptr, k.action) << k.header;
    }
    EXPECT_EQ(error_code(post("soapaction: \"urn:x:ContentDirectory:1#Nothing\"", "")), 401)
        << "the header name in any case";
    EXPECT_EQ(error_code(post("Host: x", "")), 401);
    EXPECT_EQ(error_code(post(cd("Nothing"), "")), 401);
    EXPECT_EQ(error_code(post(cd("CreateObject"), "")), 602);
}

TEST(SoapFaults, EnvelopeByteForByteAndAlways500)
{
    const StrBuf body = soap_fault_body(701);
    EXPECT_EQ(strbuf_view(body), "<?xml version=\"1.0\" encoding=\"utf-8\"?><s:Envelope "
                                 "xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\" "
                                 "s:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\">\n"
                                 " <s:Body>\n"
                                 "  <s:Fault>\n"
                                 "   <faultcode>s:Client</faultcode>\n"
                                 "   <faultstring>UPnPError</faultstring>\n"
                                 "   <detail>\n"
                                 "    <UPnPError xmlns=\"urn:schemas-upnp-org:control-1-0\">\n"
                                 "     <errorCode>701</errorCode>\n"
                                 "     <errorDescription>No such object</errorDescription>\n"
                                 "    </UPnPError>\n"
                                 "   </detail>\n"
                                 "  </s:Fault>\n"
                                 " </s:Body>\n"
                                 "</s:Envelope>\n");
    for (int code : {0, 999, 403}) {
        EXPECT_NE(strbuf_view(soap_fault_body(code))
                      .find("<errorCode>604</errorCode>\n     <errorDescription>Human "
                            "Intervention Required</errorDescription>"),
                  std::string_view::npos)
            << code;
    }
    // 402 and 501 as well: a fault is never a success.
    const Answer bad_flag =
        post(cd("Browse"), args("<BrowseFlag>browsedirectchildren</BrowseFlag>"));
    EXPECT_EQ(bad_flag.status, 500);
    EXPECT_EQ(error_code(bad_flag), 402);
    EXPECT_NE(bad_flag.head.find("Content-Type: text/xml; charset=\"UTF-8\""), std::string::npos);
}

// The start of every answer envelope and the protocols the server sends,
// as players read them.
const std::string kEnvelope = "<?xml version=\"1.0\" encoding=\"utf-8\"?><s:Envelope "
                              "xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\" "
                              "s:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\">";
const std::string kSourceProtocols =
    "http-get:*:audio/mpeg:DLNA.ORG_PN=MP3,http-get:*:audio/mp4:DLNA.ORG_PN=AAC_ISO_320,"
    "http-get:*:audio/mp4:DLNA.ORG_PN=AAC_ISO,"
    "http-get:*:audio/L16;rate=44100;channels=2:DLNA.ORG_PN=LPCM,"
    "http-get:*:audio/L16;rate=44100;channels=1:DLNA.ORG_PN=LPCM,"
    "http-get:*:audio/L16;rate=48000;channels=2:DLNA.ORG_PN=LPCM,"
    "http-get:*:audio/L16;rate=48000;channels=1:DLNA.ORG_PN=LPCM,"
    "http-get:*:image/jpeg:DLNA.ORG_PN=JPEG_SM_ICO,"
    "http-get:*:image/jpeg:DLNA.ORG_PN=JPEG_LRG_ICO,"
    "http-get:*:image/jpeg:DLNA.ORG_PN=JPEG_TN,http-get:*:image/jpeg:DLNA.ORG_PN=JPEG_SM,"
    "http-get:*:image/jpeg:DLNA.ORG_PN=JPEG_MED,http-get:*:image/jpeg:DLNA.ORG_PN=JPEG_LRG,"
    "http-get:*:audio/mpeg:*,http-get:*:audio/wav:*,http-get:*:audio/mp4:*,"
    "http-get:*:audio/x-ms-wma:*,http-get:*:audio/x-mpegurl:*,http-get:*:image/jpeg:*,"
    "http-get:*:video/x-msvideo:*,http-get:*:video/mpeg:*,http-get:*:video/mp4:*,"
    "http-get:*:video/x-ms-wmv:*,http-get:*:video/dvd:*,http-get:*:video/mpeg2:*,"
    "http-get:*:audio/flac:*,http-get:*:audio/ogg:*,http-get:*:audio/opus:*,"
    "http-get:*:audio/aac:*,http-get:*:image/png:*,http-get:*:video/x-matroska:*,"
    "http-get:*:video/webm:*,http-get:*:video/quicktime:*,http-get:*:video/mp2t:*,"
    "http-get:*:image/gif:*,http-get:*:image/x-ycbcr-yuv420:*,http-get:*:audio/x-aiff:*,"
    "http-get:*:image/x-rgb565:*,http-get:*:image/pjpeg:*,http-get:*:video/x-mkv:*";

TEST(SoapConnectionManager, FixedAnswersByteForByte)
{
    const std::string& start = kEnvelope;
    const Answer info = post(cm("GetProtocolInfo"), "");
    EXPECT_EQ(info.status, 200);
    EXPECT_EQ(info.body, start +
                             "  <s:Body>    <u:GetProtocolInfoResponse "
                             "xmlns:u=\"urn:schemas-upnp-org:service:ConnectionManager:1\">      "
                             "<Source>" +
                             kSourceProtocols +
                             "</Source>      <Sink></Sink>    </u:GetProtocolInfoResponse>  "
                             "</s:Body></s:Envelope>");
    EXPECT_EQ(post(cm("GetCurrentConnectionIDs"), "").body,
              start + "  <s:Body>    <u:GetCurrentConnectionIDsResponse "
                      "xmlns:u=\"urn:schemas-upnp-org:service:ConnectionManager:1\">      "
                      "<ConnectionIDs>0</ConnectionIDs>    </u:GetCurrentConnectionIDsResponse>  "
                      "</s:Body></s:Envelope>");
    EXPECT_EQ(post(cm("GetCurrentConnectionInfo"), args("<ConnectionID>5</ConnectionID>")).body,
              start + "  <s:Body>    <u:GetCurrentConnectionInfoResponse "
                      "xmlns:u=\"urn:schemas-upnp-org:service:ConnectionManager:1\">      "
                      "<RcsID>-1</RcsID>      <AVTransportID>-1</AVTransportID>      "
                      "<ProtocolInfo></ProtocolInfo>      "
                      "<PeerConnectionManager></PeerConnectionManager>      "
                      "<PeerConnectionID>-1</PeerConnectionID>      "
                      "<Direction>Output</Direction>      <Status>Unknown</Status>    "
                      "</u:GetCurrentConnectionInfoResponse>  </s:Body></s:Envelope>");
    EXPECT_EQ(error_code(post(cm("PrepareForConnection"), args("<Direction>Output</Direction>"))),
              602);
    EXPECT_EQ(error_code(post(cm("PrepareForConnection"), args(""))), 402);
    EXPECT_EQ(error_code(post(cm("ConnectionComplete"), "")), 602);
}

using SoapContentDirectory = DbTest;

TEST_F(SoapContentDirectory, CapabilitiesAndUpdateId)
{
    db_create();
    const std::string& start = kEnvelope;
    EXPECT_EQ(post(cd("GetSortCapabilities"), "").body,
              start + "<s:Body><u:GetSortCapabilitiesResponse "
                      "xmlns:u=\"urn:schemas-upnp-org:service:ContentDirectory:1\"><SortCaps>dc:"
                      "title,dc:creator,upnp:artist,upnp:genre,upnp:album,dc:date,upnp:"
                      "originalTrackNumber,res</SortCaps></u:GetSortCapabilitiesResponse></"
                      "s:Body></s:Envelope>");
    db_flush_events();
    uint32_t id;
    {
        const DbLock lock = db_lock();
        id = g_db.system_update_id;
    }
    EXPECT_NE(post(cd("GetSystemUpdateID"), "").body.find("<Id>" + std::to_string(id) + "</Id>"),
              std::string::npos);
    EXPECT_NE(post(cd("GetSearchCapabilities"), "")
                  .body.find("<SearchCaps>dc:source,dc:title,dc:creator,upnp:artist,upnp:genre,"
                             "upnp:album,dc:date,upnp:originalTrackNumber,upnp:class,@id,@parentID,"
                             "@refID,res,upnp:albumArtURI</SearchCaps>"),
              std::string::npos);
    client_table_clear();
    client_register(9, "10.0.0.9");
    EXPECT_NE(
        post(cd("GetSearchCapabilities"), "", "10.0.0.9").body.find("<SearchCaps>*</SearchCaps>"),
        std::string::npos)
        << "a Roku Soundbridge searches everything";
    client_table_clear();
    setting_set(KEY_NOSEARCH, "1");
    EXPECT_NE(post(cd("GetSearchCapabilities"), "").body.find("<SearchCaps></SearchCaps>"),
              std::string::npos);
}

TEST_F(SoapContentDirectory, UpdateObject)
{
    db_create();
    const std::string path = file("a.mp3");
    ASSERT_EQ(add_music(path, "Old", "Abba", "Gold"), DB_ADDED);
    NodeId id;
    {
        const DbLock lock = db_lock();
        id = item_by_path(lock, path)->id;
    }
    auto update = [&](const std::string& current, const std::string& fresh) {
        std::string inner = "<ObjectID>" + std::to_string(id) + "</ObjectID>";
        inner += "<CurrentTagValue>" + current + "</CurrentTagValue>";
        if (!fresh.empty()) {
            inner += "<NewTagValue>" + fresh + "</NewTagValue>";
        }
        return post(cd("UpdateObject"), args(inner));
    };
    const Answer ok = update("&lt;title&gt;Old&lt;/title&gt;", "&lt;title&gt;New&lt;/title&gt;");
    EXPECT_EQ(ok.status, 200);
    EXPECT_EQ(ok.body, "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n<s:Envelope "
                       "xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\" "
                       "s:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\">\r\n"
                       "<s:Body>\r\n<u:UpdateObjectResponse "
                       "xmlns:u=\"urn:schemas-upnp-org:service:ContentDirectory:1\" />\r\n"
                       "</s:Body>\r\n</s:Envelope>");
    {
        const DbLock lock = db_lock();
        EXPECT_STREQ(item_by_path(lock, path)->title.get(), "New");
    }
    EXPECT_EQ(error_code(update("&lt;title&gt;Old&lt;/title&gt;", "&lt;title&gt;X&lt;/title&gt;")),
              604)
        << "a stale current value";
    EXPECT_EQ(error_code(update("&lt;dc:title&gt;New&lt;/dc:title&gt;", "")), 402)
        << "a prefixed name selects nothing";
    EXPECT_EQ(error_code(update("", "&lt;title&gt;X&lt;/title&gt;")), 402);
    EXPECT_EQ(update("&lt;title&gt;New&lt;/title&gt;", "").status, 200);
    const DbLock lock = db_lock();
    EXPECT_STREQ(item_by_path(lock, path)->title.get(), "") << "no new value: empty";
}

// Tag values arrive as UTF-8 or as character references; either way the
// tree gets UTF-8.
TEST_F(SoapContentDirectory, UpdateObjectTakesUtf8AndReferences)
{
    db_create();
    const std::string path = file("a.mp3");
    ASSERT_EQ(add_music(path, "Caf\u00E9", "Abba", "Gold"), DB_ADDED);
    NodeId id;
    {
        const DbLock lock = db_lock();
        id = item_by_path(lock, path)->id;
    }
    const std::string inner = "<ObjectID>" + std::to_string(id) +
                              "</ObjectID><CurrentTagValue>&lt;title&gt;Caf&#233;&lt;/title&gt;"
                              "</CurrentTagValue><NewTagValue>&lt;title&gt;\u0414\u043E\u0440"
                              "\u043E\u0433\u0430 &amp;#x1F3B5;&lt;/title&gt;</NewTagValue>";
    EXPECT_EQ(post(cd("UpdateObject"), args(inner)).status, 200);
    const DbLock lock = db_lock();
    EXPECT_STREQ(item_by_path(lock, path)->title.get(),
                 "\u0414\u043E\u0440\u043E\u0433\u0430 \U0001F3B5");
}

} // namespace
