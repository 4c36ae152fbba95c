#include "control/soap.h"
#include "control/vendor_actions.h"
#include "db/db_fixture.h"
#include "support/captured_connection.h"

#include <cstring>

namespace
{

// What the control handler sends for an action of a service.
std::string post(const char* service, const std::string& action)
{
    CapturedConnection cap("/ContentDirectory/Control");
    HttpConnection& c = cap.c;
    c.method = HTTP_POST;
    strcpy(c.client_ip.data(), "10.0.0.1");
    const std::string head =
        std::string("POST /x HTTP/1.1\r\nSOAPACTION: \"") + service + "#" + action + "\"\r\n\r\n";
    http_set_head(&c, head);
    soap_control_handler(&c);
    return cap.sent();
}

constexpr const char* kCd = "urn:schemas-upnp-org:service:ContentDirectory:1";

using VendorActions = DbTest;

TEST_F(VendorActions, FeatureListPointsToTheThreeMediaContainers)
{
    db_create();
    std::string list;
    std::string ids[3];
    {
        const DbLock lock = db_lock();
        list = vendor_feature_list(lock);
        const MediaDb& db = db_tree(lock);
        ids[0] = std::to_string(db.music_root->id);
        ids[1] = std::to_string(db.video_root->id);
        ids[2] = std::to_string(db.picture_root->id);
    }
    EXPECT_NE(list.find("<Feature name=\"samsung.com_BASICVIEW\" version=\"1\"><container id=\"" +
                        ids[0] + "\" type=\"object.item.audioItem\"/><container id=\"" + ids[1] +
                        "\" type=\"object.item.videoItem\"/><container id=\"" + ids[2] +
                        "\" type=\"object.item.imageItem\"/></Feature></Features>"),
              std::string::npos)
        << list;
    const std::string answer = post(kCd, "X_GetFeatureList");
    EXPECT_EQ(answer.substr(0, 15), "HTTP/1.1 200 OK");
    // The document is the text of one argument: escaped once.
    EXPECT_NE(answer.find("<FeatureList>&lt;?xml version=&quot;1.0&quot; encoding=&quot;UTF-8&quot;"
                          "?&gt;&lt;Features "),
              std::string::npos)
        << answer;
}

TEST_F(VendorActions, BookmarksAndTheRegistrarSucceed)
{
    std::string answer = post(kCd, "X_SetBookmark");
    EXPECT_EQ(answer.substr(0, 15), "HTTP/1.1 200 OK");
    EXPECT_NE(answer.find("<u:X_SetBookmarkResponse xmlns:u=\"" + std::string(kCd) +
                          "\"></u:X_SetBookmarkResponse>"),
              std::string::npos);
    for (const char* action : {"IsAuthorized", "IsValidated"}) {
        answer = post(kRegistrarNs, action);
        EXPECT_NE(answer.find(std::string("<u:") + action + "Response xmlns:u=\"" + kRegistrarNs +
                              "\"><Result>1</Result></u:" + action + "Response>"),
                  std::string::npos)
            << action << answer;
    }
    answer = post(kRegistrarNs, "RegisterDevice");
    EXPECT_NE(answer.find("<RegistrationRespMsg></RegistrationRespMsg>"), std::string::npos);
    // Another service's prefix does not reach the registrar.
    EXPECT_NE(post(kCd, "IsAuthorized").find("<errorCode>401</errorCode>"), std::string::npos);
}

} // namespace
