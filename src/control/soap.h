// SOAP control of both services: the action named in the SOAPACTION header
// picks the handler, the arguments come from the XML body, and every failure
// is answered with a UPnP error (a SOAP fault).
#pragma once

#include "control/xml.h"
#include "core/strbuf.h"
#include "http/http_connection.h"

#include <cstdint>
#include <string>
#include <string_view>

struct UpnpError {
    int code;
    const char* description;
};

// The error codes and descriptions, ending with a row of code 0.
extern const UpnpError kUpnpErrors[];

// The row of a code; a code not in the table gives 604 "Human Intervention
// Required".
const UpnpError& upnp_error_for(int code);

// The start of every answer envelope, up to and including "<s:Body>".
inline constexpr char kSoapEnvelopeStart[] =
    "<?xml version=\"1.0\" encoding=\"utf-8\"?><s:Envelope "
    "xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\" "
    "s:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\">";
inline constexpr char kContentDirectoryNs[] = "urn:schemas-upnp-org:service:ContentDirectory:1";
inline constexpr char kConnectionManagerNs[] = "urn:schemas-upnp-org:service:ConnectionManager:1";

// The fault envelope of a code.
StrBuf soap_fault_body(int code);

// Sends the fault of a code with status 500 (every fault: a control point
// that trusts the status must not read one as success). 0 sent, else 1.
int soap_send_fault(HttpConnection* connection, int code);

// Sends a complete envelope with status 200. 0 sent, else 1.
int soap_send_envelope(HttpConnection* connection, const StrBuf& envelope);

// The answer of an action: "<s:Body><u:ACTIONResponse xmlns:u="NS">" INNER
// "</u:ACTIONResponse></s:Body></s:Envelope>" after the envelope's start.
int soap_send_response(HttpConnection* connection, const char* action, const char* ns,
                       const std::string& inner);

// The POST handler of "/ContentDirectory/Control" and
// "/ConnectionManager/Control".
int soap_control_handler(HttpConnection* connection);

// The handler of one action: sends the answer (or the fault) for the parsed
// body (null when there was none). 0 when it was sent, else 1.
using SoapHandler = int (*)(HttpConnection* connection, const XmlElement* body);

struct SoapActionRow {
    // The service type and the action, as a SOAPACTION value ends:
    // "ContentDirectory:1#Browse".
    const char* name;
    SoapHandler handler;
};

// The "Service:version#Action" part of a SOAPACTION header value
// ("urn:schemas-upnp-org:service:ContentDirectory:1#Browse", quoted or not);
// empty when the value has no '#'.
std::string_view soap_action_name(std::string_view value);

// The action a SOAPACTION header value names, compared whole and
// case-sensitively; null for none.
const SoapActionRow* soap_action_of(std::string_view value);

// An argument: the text of the first element of that name anywhere in the
// body, or null; a number with atoi, 0 when absent.
const char* soap_arg(const XmlElement* body, const char* name);
int soap_arg_int(const XmlElement* body, const char* name);

// A ui4 argument (StartingIndex, RequestedCount): 0 when absent or empty;
// false when the text is not a decimal number from 0 to 4294967295.
[[nodiscard]] bool soap_arg_ui4(const XmlElement* body, const char* name, uint32_t& value);
