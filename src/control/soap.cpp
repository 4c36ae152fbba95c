#include "control/soap.h"

#include "control/soap_actions.h"
#include "core/text_util.h"
#include "http/http_response.h"

#include <charconv>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace
{

bool is_xml_blank(char ch)
{
    return ch == ' ' || ch == '\t' || ch == '\r' || ch == '\n';
}

} // namespace

const UpnpError kUpnpErrors[] = {
    {401, "invalid Action"},
    {402, "invalid Args"},
    {501, "Action Failed"},
    {600, "Argument Value Invalid"},
    {601, "Argument Value Out of Range"},
    {602, "Optional Action Not implemented"},
    {603, "Out of Memory"},
    {604, "Human Intervention Required"},
    {605, "String Argument Too Long"},
    {606, "Action not authorized"},
    {607, "Signature failure"},
    {608, "Signature missing"},
    {609, "Not encrypted"},
    {610, "Invalid Sequence"},
    {611, "Invalid control URL"},
    {612, "No such session"},
    {701, "No such object"},
    {702, "No contents"},
    {703, "Read error"},
    {704, "Format not supported for playback"},
    {705, "Transport is locked"},
    {708, "Invalid search criteria"},
    {709, "Unsupported or invalid sort criteria"},
    {710, "No such container"},
    {711, "Illegal seek target"},
    {712, "Bad metadata"},
    {713, "Restricted parent object"},
    {714, "Illegal MIME-type"},
    {715, "Content BUSY"},
    {716, "Resource not found"},
    {717, "Play speed not supported"},
    {718, "Invalid InstanceID"},
    {0, nullptr},
};

namespace
{

constexpr int kFallbackRow = 7; // 604

} // namespace

const UpnpError& upnp_error_for(int code)
{
    for (const UpnpError* e = kUpnpErrors; e->code != 0; ++e) {
        if (e->code == code) {
            return *e;
        }
    }
    return kUpnpErrors[kFallbackRow];
}

StrBuf soap_fault_body(int code)
{
    const UpnpError& e = upnp_error_for(code);
    StrBuf sb = strbuf_new({}, 1024);
    strbuf_appendf(sb,
                   "<?xml version=\"1.0\" encoding=\"utf-8\"?><s:Envelope "
                   "xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\" "
                   "s:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\">\n"
                   " <s:Body>\n"
                   "  <s:Fault>\n"
                   "   <faultcode>s:Client</faultcode>\n"
                   "   <faultstring>UPnPError</faultstring>\n"
                   "   <detail>\n"
                   "    <UPnPError xmlns=\"urn:schemas-upnp-org:control-1-0\">\n"
                   "     <errorCode>%d</errorCode>\n"
                   "     <errorDescription>%s</errorDescription>\n"
                   "    </UPnPError>\n"
                   "   </detail>\n"
                   "  </s:Fault>\n"
                   " </s:Body>\n"
                   "</s:Envelope>\n",
                   e.code, e.description);
    return sb;
}

int soap_send_fault(HttpConnection* c, int code)
{
    const StrBuf body = soap_fault_body(code);
    c->content_type = kMimeXml;
    c->content_length = body.length;
    if (http_send_header(c, 500, c->method != HTTP_HEAD) != 0) {
        return 1;
    }
    if (c->method == HTTP_HEAD) {
        return 0;
    }
    return http_send_body(c, body.data.get(), static_cast<size_t>(body.length));
}

int soap_send_envelope(HttpConnection* c, const StrBuf& envelope)
{
    c->content_type = kMimeXml;
    c->content_length = envelope.length;
    return http_send_response(c, strbuf_c_str(envelope));
}

int soap_send_response(HttpConnection* c, const char* action, const char* ns,
                       const std::string& inner)
{
    StrBuf sb = strbuf_new(kSoapEnvelopeStart, 1024);
    strbuf_appendf(sb, "<s:Body><u:%sResponse xmlns:u=\"%s\">", action, ns);
    strbuf_append(sb, inner);
    strbuf_appendf(sb, "</u:%sResponse></s:Body></s:Envelope>", action);
    return soap_send_envelope(c, sb);
}

std::string_view soap_action_name(std::string_view value)
{
    while (!value.empty() && (value.back() == '"' || value.back() == ' ')) {
        value.remove_suffix(1);
    }
    const size_t hash = value.rfind('#');
    if (hash == std::string_view::npos) {
        return {};
    }
    // The service type is the two ':'-separated parts before the '#'
    // ("ContentDirectory" and "1"); whatever names its domain comes before.
    const size_t version = value.rfind(':', hash);
    if (version == std::string_view::npos) {
        return {};
    }
    const size_t service = version == 0 ? std::string_view::npos : value.rfind(':', version - 1);
    return service == std::string_view::npos ? value : value.substr(service + 1);
}

const SoapActionRow* soap_action_of(std::string_view value)
{
    const std::string_view name = soap_action_name(value);
    for (const SoapActionRow& row : soap_actions()) {
        if (name == row.name) {
            return &row;
        }
    }
    return nullptr;
}

const char* soap_arg(const XmlElement* body, const char* name)
{
    return xml_text(body, name);
}

int soap_arg_int(const XmlElement* body, const char* name)
{
    return xml_int(body, name);
}

bool soap_arg_ui4(const XmlElement* body, const char* name, uint32_t& value)
{
    value = 0;
    const char* text = soap_arg(body, name);
    if (!text) {
        return true;
    }
    std::string_view digits(text);
    // Pretty-printed bodies put blanks around the value.
    while (!digits.empty() && is_xml_blank(digits.front())) {
        digits.remove_prefix(1);
    }
    while (!digits.empty() && is_xml_blank(digits.back())) {
        digits.remove_suffix(1);
    }
    if (digits.empty()) {
        return true;
    }
    // from_chars takes no sign and stops at the first non-digit: "-1", "abc",
    // "12abc" and anything above 4294967295 are refused, not wrapped.
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (error != std::errc() || end != digits.data() + digits.size()) {
        value = 0;
        return false;
    }
    return true;
}

int soap_control_handler(HttpConnection* c)
{
    const SoapActionRow* action = soap_action_of(http_header(c, HttpField::SoapAction));
    if (!action) {
        return soap_send_fault(c, 401);
    }
    const XmlTree body = xml_parse(c->body);
    return action->handler(c, body.get());
}
