#include "upnp/description.h"

#include "control/xml.h"
#include "core/edition.h"
#include "core/log.h"
#include "core/settings.h"
#include "core/utf8.h"
#include "http/html_escape.h"
#include "http/http_response.h"
#include "upnp/interfaces.h"

#include <initializer_list>
#include <mutex>
#include <unistd.h>

namespace
{

constexpr const char* kMakerUrl = "http://www.corvalenso.example/";

std::string host_name()
{
    char name[256] = "";
    gethostname(name, sizeof name - 1);
    return name;
}

struct Argument {
    const char* name;
    bool in;
    const char* variable;
};

struct Action {
    const char* name;
    std::initializer_list<Argument> arguments;
};

struct StateVariable {
    bool send_events;
    const char* name;
    const char* type;
    std::initializer_list<const char*> allowed;
};

// Both service descriptions come from one rule, without white space between
// elements, so their bytes are fixed.
std::string scpd(std::initializer_list<Action> actions,
                 std::initializer_list<StateVariable> variables)
{
    std::string doc = "<?xml version=\"1.0\"?><scpd xmlns=\"urn:schemas-upnp-org:service-1-0\">"
                      "<specVersion><major>1</major><minor>0</minor></specVersion><actionList>";
    for (const Action& action : actions) {
        doc += "<action><name>";
        doc += action.name;
        doc += "</name><argumentList>";
        for (const Argument& a : action.arguments) {
            doc += "<argument><name>";
            doc += a.name;
            doc += "</name><direction>";
            doc += a.in ? "in" : "out";
            doc += "</direction><relatedStateVariable>";
            doc += a.variable;
            doc += "</relatedStateVariable></argument>";
        }
        doc += "</argumentList></action>";
    }
    doc += "</actionList><serviceStateTable>";
    for (const StateVariable& v : variables) {
        doc += "<stateVariable sendEvents=\"";
        doc += v.send_events ? "yes" : "no";
        doc += "\"><name>";
        doc += v.name;
        doc += "</name><dataType>";
        doc += v.type;
        doc += "</dataType>";
        if (v.allowed.size() > 0) {
            doc += "<allowedValueList>";
            for (const char* value : v.allowed) {
                doc += "<allowedValue>";
                doc += value;
                doc += "</allowedValue>";
            }
            doc += "</allowedValueList>";
        }
        doc += "</stateVariable>";
    }
    doc += "</serviceStateTable></scpd>";
    return doc;
}

constexpr bool IN = true;
constexpr bool OUT = false;

std::string build_content_directory_scpd()
{
    return scpd(
        {
            {"GetSearchCapabilities", {{"SearchCaps", OUT, "SearchCapabilities"}}},
            {"GetSortCapabilities", {{"SortCaps", OUT, "SortCapabilities"}}},
            {"GetSystemUpdateID", {{"Id", OUT, "SystemUpdateID"}}},
            {"Browse",
             {{"ObjectID", IN, "A_ARG_TYPE_ObjectID"},
              {"BrowseFlag", IN, "A_ARG_TYPE_BrowseFlag"},
              {"Filter", IN, "A_ARG_TYPE_Filter"},
              {"StartingIndex", IN, "A_ARG_TYPE_Index"},
              {"RequestedCount", IN, "A_ARG_TYPE_Count"},
              {"SortCriteria", IN, "A_ARG_TYPE_SortCriteria"},
              {"Result", OUT, "A_ARG_TYPE_Result"},
              {"NumberReturned", OUT, "A_ARG_TYPE_Count"},
              {"TotalMatches", OUT, "A_ARG_TYPE_Count"},
              {"UpdateID", OUT, "A_ARG_TYPE_UpdateID"}}},
            {"Search",
             {{"ContainerID", IN, "A_ARG_TYPE_ObjectID"},
              {"SearchCriteria", IN, "A_ARG_TYPE_SearchCriteria"},
              {"Filter", IN, "A_ARG_TYPE_Filter"},
              {"StartingIndex", IN, "A_ARG_TYPE_Index"},
              {"RequestedCount", IN, "A_ARG_TYPE_Count"},
              {"SortCriteria", IN, "A_ARG_TYPE_SortCriteria"},
              {"Result", OUT, "A_ARG_TYPE_Result"},
              {"NumberReturned", OUT, "A_ARG_TYPE_Count"},
              {"TotalMatches", OUT, "A_ARG_TYPE_Count"},
              {"UpdateID", OUT, "A_ARG_TYPE_UpdateID"}}},
            {"X_BrowseByLetter",
             {{"ObjectID", IN, "A_ARG_TYPE_ObjectID"},
              {"BrowseFlag", IN, "A_ARG_TYPE_BrowseFlag"},
              {"Filter", IN, "A_ARG_TYPE_Filter"},
              {"StartingLetter", IN, "A_ARG_TYPE_BrowseLetter"},
              {"RequestedCount", IN, "A_ARG_TYPE_Count"},
              {"SortCriteria", IN, "A_ARG_TYPE_SortCriteria"},
              {"Result", OUT, "A_ARG_TYPE_Result"},
              {"NumberReturned", OUT, "A_ARG_TYPE_Count"},
              {"TotalMatches", OUT, "A_ARG_TYPE_Count"},
              {"UpdateID", OUT, "A_ARG_TYPE_UpdateID"},
              {"StartingIndex", OUT, "A_ARG_TYPE_Index"}}},
            {"CreateObject",
             {{"ContainerID", IN, "A_ARG_TYPE_ObjectID"},
              {"Elements", IN, "A_ARG_TYPE_Result"},
              {"ObjectID", OUT, "A_ARG_TYPE_ObjectID"},
              {"Result", OUT, "A_ARG_TYPE_Result"}}},
            {"UpdateObject",
             {{"ObjectID", IN, "A_ARG_TYPE_ObjectID"},
              {"CurrentTagValue", IN, "A_ARG_TYPE_TagValueList"},
              {"NewTagValue", IN, "A_ARG_TYPE_TagValueList"}}},
        },
        {
            {false, "A_ARG_TYPE_ObjectID", "string", {}},
            {false, "A_ARG_TYPE_Result", "string", {}},
            {false, "A_ARG_TYPE_SearchCriteria", "string", {}},
            {false, "A_ARG_TYPE_BrowseFlag", "string", {"BrowseMetadata", "BrowseDirectChildren"}},
            {false, "A_ARG_TYPE_Filter", "string", {}},
            {false, "A_ARG_TYPE_SortCriteria", "string", {}},
            {false, "A_ARG_TYPE_Index", "ui4", {}},
            {false, "A_ARG_TYPE_Count", "ui4", {}},
            {false, "SearchCapabilities", "string", {}},
            {false, "SortCapabilities", "string", {}},
            {true, "SystemUpdateID", "ui4", {}},
            {true, "ContainerUpdateIDs", "string", {}},
            {false, "A_ARG_TYPE_UpdateID", "ui4", {}},
            {false, "A_ARG_TYPE_TagValueList", "string", {}},
            {false, "A_ARG_TYPE_BrowseLetter", "string", {}},
        });
}

std::string build_connection_manager_scpd()
{
    return scpd(
        {
            {"GetProtocolInfo",
             {{"Source", OUT, "SourceProtocolInfo"}, {"Sink", OUT, "SinkProtocolInfo"}}},
            {"GetCurrentConnectionIDs", {{"ConnectionIDs", OUT, "CurrentConnectionIDs"}}},
            {"GetCurrentConnectionInfo",
             {{"ConnectionID", IN, "A_ARG_TYPE_ConnectionID"},
              {"RcsID", OUT, "A_ARG_TYPE_RcsID"},
              {"AVTransportID", OUT, "A_ARG_TYPE_AVTransportID"},
              {"ProtocolInfo", OUT, "A_ARG_TYPE_ProtocolInfo"},
              {"PeerConnectionManager", OUT, "A_ARG_TYPE_ConnectionManager"},
              {"PeerConnectionID", OUT, "A_ARG_TYPE_ConnectionID"},
              {"Direction", OUT, "A_ARG_TYPE_Direction"},
              {"Status", OUT, "A_ARG_TYPE_ConnectionStatus"}}},
        },
        {
            {true, "SourceProtocolInfo", "string", {}},
            {true, "SinkProtocolInfo", "string", {}},
            {true, "CurrentConnectionIDs", "string", {}},
            {false,
             "A_ARG_TYPE_ConnectionStatus",
             "string",
             {"OK", "ContentFormatMismatch", "InsufficientBandwidth", "UnreliableChannel",
              "Unknown"}},
            {false, "A_ARG_TYPE_ConnectionManager", "string", {}},
            {false, "A_ARG_TYPE_Direction", "string", {"Input", "Output"}},
            {false, "A_ARG_TYPE_ProtocolInfo", "string", {}},
            {false, "A_ARG_TYPE_ConnectionID", "i4", {}},
            {false, "A_ARG_TYPE_AVTransportID", "i4", {}},
            {false, "A_ARG_TYPE_RcsID", "i4", {}},
        });
}

// The registrar Xbox consoles and Windows Media Player look for before they
// browse a server. It has no evented variables, so no eventing either.
std::string build_registrar_scpd()
{
    return scpd(
        {
            {"IsAuthorized",
             {{"DeviceID", IN, "A_ARG_TYPE_DeviceID"}, {"Result", OUT, "A_ARG_TYPE_Result"}}},
            {"RegisterDevice",
             {{"RegistrationReqMsg", IN, "A_ARG_TYPE_RegistrationReqMsg"},
              {"RegistrationRespMsg", OUT, "A_ARG_TYPE_RegistrationRespMsg"}}},
            {"IsValidated",
             {{"DeviceID", IN, "A_ARG_TYPE_DeviceID"}, {"Result", OUT, "A_ARG_TYPE_Result"}}},
        },
        {
            {false, "A_ARG_TYPE_DeviceID", "string", {}},
            {false, "A_ARG_TYPE_Result", "int", {}},
            {false, "A_ARG_TYPE_RegistrationReqMsg", "bin.base64", {}},
            {false, "A_ARG_TYPE_RegistrationRespMsg", "bin.base64", {}},
            {false, "AuthorizationGrantedUpdateID", "ui4", {}},
            {false, "AuthorizationDeniedUpdateID", "ui4", {}},
            {false, "ValidationSucceededUpdateID", "ui4", {}},
            {false, "ValidationRevokedUpdateID", "ui4", {}},
        });
}

std::string build_udn()
{
    const char* fallback = edition_music_only() ? "737837" : "73783736426233";
    const std::string digits = udn_digits(setting_str(KEY_FRIENDLYNAME), fallback);
    std::string udn = "uuid:896659847466-0000-" + digits;
    if (auto interfaces = get_interface_addresses(5)) {
        for (const InterfaceEntry& entry : *interfaces) {
            auto hardware = interface_hardware_address(entry.name.c_str());
            if (hardware && *hardware != "00:00:00:00:00:00") {
                for (char& c : *hardware) {
                    if (c == ':') {
                        c = '-';
                    }
                }
                udn = "uuid:896659847466-" + *hardware + "-" + digits;
                break;
            }
        }
    }
    return udn;
}

std::string friendly_name()
{
    // The host name is the administrator's, but it is text all the same.
    const std::string host = html_escape(host_name());
    if (edition_music_only()) {
        return "[" + host + "] Tessamund by Corvalenso";
    }
    const std::string configured = setting_str(KEY_FRIENDLYNAME);
    if (configured.empty()) {
        return "[" + host + "] " + edition_product_name() + " by Corvalenso";
    }
    // Escaped twice, like every DIDL-Lite value; the name must never break
    // the document. A settings file written on an older system may hold it
    // in Latin-1.
    return xml_escape_for_didl(utf8_from_unknown(configured), true).value_or("NO MEM");
}

int serve_scpd(HttpConnection* c, const std::string& doc)
{
    c->content_length = static_cast<int64_t>(doc.size());
    c->content_type = kMimeXml;
    log_msg(LOG_INFO, LOG_CAT_HTTP, "setting MIME TYPE!\n");
    http_send_response(c, doc.c_str());
    return HTTP_KEEP;
}

} // namespace

std::string udn_digits(const std::string& friendly_name, const char* fallback)
{
    if (friendly_name.empty()) {
        return fallback;
    }
    std::string digits;
    for (size_t i = 0; i < friendly_name.size() && i < 20; ++i) {
        // Signed bytes: Latin-1 letters give remainders from -9 to 0.
        const int value = static_cast<signed char>(friendly_name[i]);
        digits += static_cast<char>(value % 10 + '0');
    }
    return digits;
}

const std::string& device_udn()
{
    // Built exactly once, whichever thread asks first.
    static std::once_flag once;
    static std::string udn;
    std::call_once(once, [] { udn = build_udn(); });
    return udn;
}

std::string device_description(const std::string& base_url)
{
    const bool music = edition_music_only();
    std::string upgrade;
    if (!music && !setting_str(KEY_NETGEARUPGRADE).empty()) {
        upgrade = "<D5UpgradeURI>NetgearUpgrade</D5UpgradeURI><D5UpgradeURI2>" + base_url +
                  "NetgearUpgrade</D5UpgradeURI2>";
    }
    std::string doc =
        "<?xml version=\"1.0\"?><root xmlns=\"urn:schemas-upnp-org:device-1-0\">"
        "<specVersion><major>1</major><minor>0</minor></specVersion><device>"
        "<dlna:X_DLNADOC xmlns:dlna=\"urn:schemas-dlna-org:device-1-0\">DMS-1.00</dlna:X_DLNADOC>"
        "<deviceType>urn:schemas-upnp-org:device:MediaServer:1</deviceType>";
    doc += "<UDN>" + device_udn() + "</UDN>";
    doc += "<friendlyName>" + friendly_name() + "</friendlyName>";
    doc += "<manufacturer>Corvalenso GmbH</manufacturer>";
    doc += std::string("<manufacturerURL>") + kMakerUrl +
           (music ? "" : " (compatible with UPnP AV MediaServer:1 control points)") +
           "</manufacturerURL>";
    doc += "<modelName>Corvalenso Plenwick</modelName>";
    doc += music ? "<modelNumber>1.0</modelNumber>" : "<modelNumber>103</modelNumber>";
    doc += std::string("<modelURL>") + kMakerUrl + "plenwick/</modelURL>";
    doc += "<modelDescription>Corvalenso Plenwick</modelDescription>";
    doc += "<serialNumber></serialNumber><UPC></UPC>";
    doc += upgrade;
    doc += music ? "<presentationURL></presentationURL>"
                 : "<presentationURL>" + base_url + "configpage/index.htm</presentationURL>";
    doc +=
        "<serviceList>"
        "<service><serviceType>urn:schemas-upnp-org:service:ContentDirectory:1</serviceType>"
        "<serviceId>urn:upnp-org:serviceId:ContentDirectory</serviceId>"
        "<SCPDURL>ContentDirectory.xml</SCPDURL><eventSubURL>ContentDirectory/Event</eventSubURL>"
        "<controlURL>ContentDirectory/Control</controlURL></service>"
        "<service><serviceType>urn:schemas-upnp-org:service:ConnectionManager:1</serviceType>"
        "<serviceId>urn:upnp-org:serviceId:ConnectionManager</serviceId>"
        "<SCPDURL>ConnectionManager.xml</SCPDURL><eventSubURL>ConnectionManager/Event</eventSubURL>"
        "<controlURL>ConnectionManager/Control</controlURL></service>"
        "<service><serviceType>urn:microsoft.com:service:X_MS_MediaReceiverRegistrar:1"
        "</serviceType><serviceId>urn:microsoft.com:serviceId:X_MS_MediaReceiverRegistrar"
        "</serviceId><SCPDURL>X_MS_MediaReceiverRegistrar.xml</SCPDURL><eventSubURL></eventSubURL>"
        "<controlURL>X_MS_MediaReceiverRegistrar/Control</controlURL></service>"
        "</serviceList></device></root>";
    return doc;
}

const std::string& content_directory_scpd()
{
    static const std::string doc = build_content_directory_scpd();
    return doc;
}

const std::string& connection_manager_scpd()
{
    static const std::string doc = build_connection_manager_scpd();
    return doc;
}

const std::string& registrar_scpd()
{
    static const std::string doc = build_registrar_scpd();
    return doc;
}

int serve_device_description(HttpConnection* c)
{
    const std::string doc = device_description(c->base_url.data());
    c->content_length = static_cast<int64_t>(doc.size());
    c->content_type = kMimeXml;
    return http_send_response(c, doc.c_str());
}

int serve_content_directory_scpd(HttpConnection* c)
{
    return serve_scpd(c, content_directory_scpd());
}

int serve_connection_manager_scpd(HttpConnection* c)
{
    return serve_scpd(c, connection_manager_scpd());
}

int serve_registrar_scpd(HttpConnection* c)
{
    return serve_scpd(c, registrar_scpd());
}
