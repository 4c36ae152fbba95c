#include "control/xml.h"
#include "core/settings.h"
#include "upnp/description.h"

#include <gtest/gtest.h>
#include <unistd.h>

namespace
{

class Description : public ::testing::Test
{
protected:
    void TearDown() override
    {
        setting_set(KEY_FRIENDLYNAME, "");
        setting_set(KEY_NETGEARUPGRADE, "");
    }
};

TEST_F(Description, ServiceDescriptionsHaveTheirExactLengths)
{
    const std::string& cd = content_directory_scpd();
    const std::string& cm = connection_manager_scpd();
    EXPECT_EQ(cd.size(), 7939u);
    EXPECT_EQ(cm.size(), 3378u);
    EXPECT_EQ(
        cd.rfind(
            "<?xml version=\"1.0\"?><scpd xmlns=\"urn:schemas-upnp-org:service-1-0\"><specVersion>"
            "<major>1</major><minor>0</minor></specVersion><actionList><action><name>"
            "GetSearchCapabilities</name><argumentList><argument><name>SearchCaps</name><direction>"
            "out</direction><relatedStateVariable>SearchCapabilities</relatedStateVariable>"
            "</argument></argumentList></action>",
            0),
        0u);
    EXPECT_NE(
        cd.find(
            "<stateVariable sendEvents=\"no\"><name>A_ARG_TYPE_BrowseFlag</name><dataType>string"
            "</dataType><allowedValueList><allowedValue>BrowseMetadata</allowedValue><allowedValue>"
            "BrowseDirectChildren</allowedValue></allowedValueList></stateVariable>"),
        std::string::npos);
    EXPECT_NE(
        cd.find(
            "<argument><name>StartingIndex</name><direction>out</direction><relatedStateVariable>"
            "A_ARG_TYPE_Index</relatedStateVariable></argument></argumentList></action>"
            "<action><name>CreateObject</name>"),
        std::string::npos)
        << "X_BrowseByLetter ends with its StartingIndex out argument";
    EXPECT_NE(
        cm.find(
            "<stateVariable sendEvents=\"no\"><name>A_ARG_TYPE_RcsID</name><dataType>i4</dataType>"
            "</stateVariable></serviceStateTable></scpd>"),
        std::string::npos);
    EXPECT_EQ(cd.find('\n'), std::string::npos) << "no white space between elements";
    EXPECT_EQ(cd.find("> <"), std::string::npos);
}

TEST_F(Description, ActionsParseBackInOrder)
{
    XmlTree doc = xml_parse(content_directory_scpd().c_str());
    ASSERT_TRUE(doc);
    std::vector<std::string> names;
    for (const XmlElement* a = xml_find(doc.get(), "action"); a; a = xml_find_next(a, "action")) {
        names.push_back(a->first_child->text.value_or(""));
    }
    EXPECT_EQ(names, (std::vector<std::string>{
                         "GetSearchCapabilities", "GetSortCapabilities", "GetSystemUpdateID",
                         "Browse", "Search", "X_BrowseByLetter", "CreateObject", "UpdateObject"}));
}

TEST_F(Description, IdentifierDigitsFollowTheFriendlyName)
{
    EXPECT_EQ(udn_digits("", "73783736426233"), "73783736426233");
    EXPECT_EQ(udn_digits("Living Room", "x"), "65850322119");
    EXPECT_EQ(udn_digits(std::string(30, 'a'), "x"), std::string(20, '7'));
    EXPECT_EQ(udn_digits("\xe9\xf7", "x"), "-'") << "signed bytes give characters below '0'";
}

TEST_F(Description, DocumentSequenceAndFriendlyName)
{
    char host[256] = "";
    gethostname(host, sizeof host - 1);
    std::string doc = device_description("http://192.168.1.5:9000/");
    EXPECT_EQ(
        doc.rfind(
            "<?xml version=\"1.0\"?><root xmlns=\"urn:schemas-upnp-org:device-1-0\"><specVersion>"
            "<major>1</major><minor>0</minor></specVersion><device><dlna:X_DLNADOC "
            "xmlns:dlna=\"urn:schemas-dlna-org:device-1-0\">DMS-1.00</dlna:X_DLNADOC><deviceType>"
            "urn:schemas-upnp-org:device:MediaServer:1</deviceType><UDN>" +
                device_udn() + "</UDN><friendlyName>[" + host +
                "] Plenwick by Corvalenso</friendlyName><manufacturer>Corvalenso GmbH</manufacturer>"
                "<manufacturerURL>",
            0),
        0u)
        << doc;
    EXPECT_NE(
        doc.find(
            "<modelName>Corvalenso Plenwick</modelName><modelNumber>103</modelNumber><modelURL>"),
        std::string::npos);
    EXPECT_NE(
        doc.find(
            "<modelDescription>Corvalenso Plenwick</modelDescription><serialNumber></serialNumber>"
            "<UPC></UPC><presentationURL>http://192.168.1.5:9000/configpage/index.htm</presentationURL>"
            "<serviceList><service><serviceType>urn:schemas-upnp-org:service:ContentDirectory:1"
            "</serviceType><serviceId>urn:upnp-org:serviceId:ContentDirectory</serviceId><SCPDURL>"
            "ContentDirectory.xml</SCPDURL><eventSubURL>ContentDirectory/Event</eventSubURL>"
            "<controlURL>ContentDirectory/Control</controlURL></service>"),
        std::string::npos);
    const std::string tail = "</serviceList></device></root>";
    EXPECT_EQ(doc.substr(doc.size() - tail.size()), tail);

    setting_set(KEY_FRIENDLYNAME, "Tom & Jerry 100%");
    doc = device_description("http://h:1/");
    EXPECT_NE(doc.find("<friendlyName>Tom &amp;amp; Jerry 100%</friendlyName>"), std::string::npos);
    setting_set(KEY_FRIENDLYNAME, "Den\x01\x1b[1m");
    doc = device_description("http://h:1/");
    EXPECT_NE(doc.find("<friendlyName>Den[1m</friendlyName>"), std::string::npos)
        << "control bytes would make the description unreadable";
    setting_set(KEY_FRIENDLYNAME, "Caf\xe9");
    doc = device_description("http://h:1/");
    EXPECT_NE(doc.find("<friendlyName>Caf\u00E9</friendlyName>"), std::string::npos)
        << "a name written in Latin-1 is sent as UTF-8";
    setting_set(KEY_FRIENDLYNAME, "\u041A\u0443\u0445\u043D\u044F");
    doc = device_description("http://h:1/");
    EXPECT_NE(doc.find("<friendlyName>\u041A\u0443\u0445\u043D\u044F</friendlyName>"),
              std::string::npos);
    setting_set(KEY_FRIENDLYNAME, std::string(1022, 'n'));
    doc = device_description("http://h:1/");
    EXPECT_NE(doc.find("<friendlyName>NO MEM</friendlyName>"), std::string::npos);
}

TEST_F(Description, UpgradeElementsOnlyWithNetgearUpgrade)
{
    EXPECT_EQ(device_description("http://h:3640/").find("D5Upgrade"), std::string::npos);
    setting_set(KEY_NETGEARUPGRADE, "/srv/upgrade");
    EXPECT_NE(
        device_description("http://h:3640/")
            .find(
                "<UPC></UPC><D5UpgradeURI>NetgearUpgrade</D5UpgradeURI><D5UpgradeURI2>http://h:3640/"
                "NetgearUpgrade</D5UpgradeURI2><presentationURL>"),
        std::string::npos);
}

TEST_F(Description, IdentifierIsBuiltOnceAndHasItsShape)
{
    setting_set(KEY_FRIENDLYNAME, "Kitchen");
    const std::string first = device_udn();
    setting_set(KEY_FRIENDLYNAME, "Cellar");
    EXPECT_EQ(device_udn(), first) << "a later friendly name does not change it";
    EXPECT_EQ(first.rfind("uuid:896659847466-", 0), 0u);
    EXPECT_EQ(first.substr(first.size() - 7), udn_digits("Kitchen", ""));
}

TEST_F(Description, RegistrarServiceIsOffered)
{
    const std::string doc = device_description("http://h:1/");
    EXPECT_NE(
        doc.find("<service><serviceType>urn:microsoft.com:service:X_MS_MediaReceiverRegistrar:1"
                 "</serviceType><serviceId>urn:microsoft.com:serviceId:"
                 "X_MS_MediaReceiverRegistrar</serviceId><SCPDURL>"
                 "X_MS_MediaReceiverRegistrar.xml</SCPDURL><eventSubURL></eventSubURL>"
                 "<controlURL>X_MS_MediaReceiverRegistrar/Control</controlURL></service>"
                 "</serviceList>"),
        std::string::npos)
        << doc;
    XmlTree scpd = xml_parse(registrar_scpd().c_str());
    ASSERT_TRUE(scpd);
    std::vector<std::string> names;
    for (const XmlElement* a = xml_find(scpd.get(), "action"); a; a = xml_find_next(a, "action")) {
        names.push_back(a->first_child->text.value_or(""));
    }
    EXPECT_EQ(names, (std::vector<std::string>{"IsAuthorized", "RegisterDevice", "IsValidated"}));
    EXPECT_EQ(registrar_scpd().find("sendEvents=\"yes\""), std::string::npos)
        << "no eventing, as the description offers none";
}

} // namespace
