#include "control/soap_actions.h"

#include "control/browse.h"
#include "control/clients.h"
#include "control/control_limits.h"
#include "control/vendor_actions.h"
#include "core/settings.h"
#include "db/media_db.h"
#include "db/sort.h"
#include "dlna/dlna_fields.h"

#include <cstring>

namespace
{

int send_text(HttpConnection* c, const StrBuf& envelope)
{
    return soap_send_envelope(c, envelope);
}

// The ConnectionManager answers, laid out with runs of spaces.
int send_spaced(HttpConnection* c, const char* action, const std::vector<std::string>& outputs)
{
    StrBuf sb = strbuf_new(kSoapEnvelopeStart, 1024);
    strbuf_appendf(sb, "  <s:Body>    <u:%sResponse xmlns:u=\"%s\">", action, kConnectionManagerNs);
    for (const std::string& output : outputs) {
        strbuf_append(sb, "      ");
        strbuf_append(sb, output);
    }
    strbuf_appendf(sb, "    </u:%sResponse>  </s:Body></s:Envelope>", action);
    return send_text(c, sb);
}

int get_search_capabilities(HttpConnection* c, const XmlElement*)
{
    const char* caps = setting_int(KEY_NOSEARCH) != 0        ? ""
                       : client_quirks_of(c).search_caps_all ? "*"
                                                             : kSearchCapabilities;
    return soap_send_response(c, "GetSearchCapabilities", kContentDirectoryNs,
                              std::string("<SearchCaps>") + caps + "</SearchCaps>");
}

int get_system_update_id(HttpConnection* c, const XmlElement*)
{
    const uint32_t id = db_system_update_id();
    return soap_send_response(c, "GetSystemUpdateID", kContentDirectoryNs,
                              "<Id>" + std::to_string(id) + "</Id>");
}

bool too_long(const char* text, size_t limit)
{
    return text && strnlen(text, limit + 1) > limit;
}

// 0 when the SortCriteria is within the limits, else fault 709.
int sort_fault(const char* sort)
{
    if (!sort) {
        return 0;
    }
    if (too_long(sort, kSortCriteriaMaxBytes) || sort_token_count(sort) > kSortMaxKeys) {
        return 709;
    }
    return 0;
}

// The arguments every listing action reads, checked before the tree is
// locked: 0, or the fault to answer.
int listing_fault(const char* object_id, const char* filter, const char* sort)
{
    if (too_long(object_id, kShortArgMaxBytes) || too_long(filter, kFilterMaxBytes)) {
        return 402;
    }
    return sort_fault(sort);
}

int browse(HttpConnection* c, const XmlElement* body, bool by_letter)
{
    const char* flag = soap_arg(body, "BrowseFlag");
    const char* object_id = soap_arg(body, "ObjectID");
    const char* filter = soap_arg(body, "Filter");
    if (flag && strcmp(flag, "BrowseDirectChildren") == 0) {
        const char* sort = soap_arg(body, "SortCriteria");
        const char* letter = by_letter ? soap_arg(body, "StartingLetter") : nullptr;
        uint32_t start = 0;
        uint32_t count = 0;
        if (const int fault = listing_fault(object_id, filter, sort); fault != 0) {
            return soap_send_fault(c, fault);
        }
        if (!soap_arg_ui4(body, "RequestedCount", count) ||
            (!by_letter && !soap_arg_ui4(body, "StartingIndex", start)) ||
            too_long(letter, kShortArgMaxBytes)) {
            return soap_send_fault(c, 402);
        }
        if (by_letter) {
            return browse_by_letter(c, object_id, filter, letter, count, sort);
        }
        return browse_direct_children(c, object_id, filter, start, count, sort);
    }
    if (flag && strcmp(flag, "BrowseMetadata") == 0) {
        if (const int fault = listing_fault(object_id, filter, nullptr); fault != 0) {
            return soap_send_fault(c, fault);
        }
        return browse_metadata(c, object_id, filter);
    }
    return soap_send_fault(c, 402);
}

int search(HttpConnection* c, const XmlElement* body)
{
    const char* container_id = soap_arg(body, "ContainerID");
    const char* criteria = soap_arg(body, "SearchCriteria");
    const char* filter = soap_arg(body, "Filter");
    const char* sort = soap_arg(body, "SortCriteria");
    uint32_t start = 0;
    uint32_t count = 0;
    if (too_long(criteria, kSearchCriteriaMaxBytes)) {
        return soap_send_fault(c, 708);
    }
    if (const int fault = listing_fault(container_id, filter, sort); fault != 0) {
        return soap_send_fault(c, fault);
    }
    if (!soap_arg_ui4(body, "StartingIndex", start) ||
        !soap_arg_ui4(body, "RequestedCount", count)) {
        return soap_send_fault(c, 402);
    }
    return search_action(c, container_id, criteria, filter, start, count, sort);
}

} // namespace

int update_object(HttpConnection* c, const XmlElement* body)
{
    std::string current =
        soap_arg(body, "CurrentTagValue") ? soap_arg(body, "CurrentTagValue") : "";
    std::string fresh = soap_arg(body, "NewTagValue") ? soap_arg(body, "NewTagValue") : "";
    // The tag values travel as escaped markup: decoded once more, they are XML.
    xml_decode_entities(current);
    xml_decode_entities(fresh);
    const XmlTree current_tree = xml_parse(current.c_str());
    const XmlTree new_tree = xml_parse(fresh.c_str());
    if (!current_tree) {
        return soap_send_fault(c, 402);
    }
    const std::string& property = current_tree->name;
    const char* current_text = current_tree->text ? current_tree->text->c_str() : "";
    const XmlElement* new_element = new_tree ? xml_find(new_tree.get(), property.c_str()) : nullptr;
    const char* new_text = new_element && new_element->text ? new_element->text->c_str() : "";
    const int result =
        db_update_property(soap_arg(body, "ObjectID"), property.c_str(), current_text, new_text);
    if (result != 200) {
        return soap_send_fault(c, result);
    }
    StrBuf sb = strbuf_new("<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n", 400);
    const std::string_view start(kSoapEnvelopeStart);
    strbuf_append(sb, start.substr(start.find("<s:Envelope")));
    strbuf_append(sb, "\r\n<s:Body>\r\n<u:UpdateObjectResponse "
                      "xmlns:u=\"urn:schemas-upnp-org:service:ContentDirectory:1\" />\r\n"
                      "</s:Body>\r\n</s:Envelope>");
    return send_text(c, sb);
}

namespace
{

int get_sort_capabilities(HttpConnection* c, const XmlElement*)
{
    return soap_send_response(c, "GetSortCapabilities", kContentDirectoryNs,
                              std::string("<SortCaps>") + kSortCapabilities + "</SortCaps>");
}

int get_protocol_info(HttpConnection* c, const XmlElement*)
{
    return send_spaced(c, "GetProtocolInfo",
                       {"<Source>" + dlna_source_protocols() + "</Source>", "<Sink></Sink>"});
}

int prepare_for_connection(HttpConnection* c, const XmlElement* body)
{
    return soap_send_fault(c, soap_arg(body, "Direction") ? 602 : 402);
}

int get_current_connection_ids(HttpConnection* c, const XmlElement*)
{
    return send_spaced(c, "GetCurrentConnectionIDs", {"<ConnectionIDs>0</ConnectionIDs>"});
}

int get_current_connection_info(HttpConnection* c, const XmlElement*)
{
    return send_spaced(c, "GetCurrentConnectionInfo",
                       {"<RcsID>-1</RcsID>", "<AVTransportID>-1</AVTransportID>",
                        "<ProtocolInfo></ProtocolInfo>",
                        "<PeerConnectionManager></PeerConnectionManager>",
                        "<PeerConnectionID>-1</PeerConnectionID>", "<Direction>Output</Direction>",
                        "<Status>Unknown</Status>"});
}

// The optional actions of the services that this server does not offer.
int not_offered(HttpConnection* c, const XmlElement*)
{
    return soap_send_fault(c, 602);
}

constexpr SoapActionRow kSoapActions[] = {
    {"ContentDirectory:1#GetSearchCapabilities", get_search_capabilities},
    {"ContentDirectory:1#GetSortCapabilities", get_sort_capabilities},
    {"ContentDirectory:1#GetSystemUpdateID", get_system_update_id},
    {"ContentDirectory:1#X_BrowseByLetter",
     [](HttpConnection* c, const XmlElement* body) { return browse(c, body, true); }},
    {"ContentDirectory:1#Browse",
     [](HttpConnection* c, const XmlElement* body) { return browse(c, body, false); }},
    {"ContentDirectory:1#Search", search},
    {"ContentDirectory:1#CreateObject", not_offered},
    {"ContentDirectory:1#DestroyObject", not_offered},
    {"ContentDirectory:1#UpdateObject", update_object},
    {"ContentDirectory:1#ImportResource", not_offered},
    {"ContentDirectory:1#ExportResource", not_offered},
    {"ContentDirectory:1#StopTransferResource", not_offered},
    {"ContentDirectory:1#GetTransferProgress", not_offered},
    {"ContentDirectory:1#DeleteResource", not_offered},
    {"ContentDirectory:1#CreateReference", not_offered},
    {"ConnectionManager:1#GetProtocolInfo", get_protocol_info},
    {"ConnectionManager:1#PrepareForConnection", prepare_for_connection},
    {"ConnectionManager:1#ConnectionComplete", not_offered},
    {"ConnectionManager:1#GetCurrentConnectionIDs", get_current_connection_ids},
    {"ConnectionManager:1#GetCurrentConnectionInfo", get_current_connection_info},
    // Samsung televisions ask for the feature list before they browse, and
    // save a bookmark whenever playback stops.
    {"ContentDirectory:1#X_GetFeatureList", vendor_get_feature_list},
    {"ContentDirectory:1#X_SetBookmark", vendor_set_bookmark},
    // Xbox consoles and Windows Media Player check they are registered.
    {"X_MS_MediaReceiverRegistrar:1#IsAuthorized", vendor_registrar_is_authorized},
    {"X_MS_MediaReceiverRegistrar:1#IsValidated", vendor_registrar_is_validated},
    {"X_MS_MediaReceiverRegistrar:1#RegisterDevice", vendor_registrar_register_device},
};

} // namespace

std::span<const SoapActionRow> soap_actions()
{
    return kSoapActions;
}
