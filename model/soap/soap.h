#pragma once

#include <cstdint>

#include "http/http_message.h"
#include "model/xml/xml_element.h"

namespace upnp {

// The SOAP 1.1 namespaces the envelope declares.
inline constexpr const char* kSoapEnvelopeNs = "http://schemas.xmlsoap.org/soap/envelope/";
inline constexpr const char* kSoapEncodingNs = "http://schemas.xmlsoap.org/soap/encoding/";

// The complete HTTP response for a SOAP answer: `status` line, then
// CONTENT-LENGTH, CONTENT-TYPE (text/xml; charset="utf-8"), DATE, EXT (empty)
// and SERVER in this order, and as body an s:Envelope/s:Body holding a copy of
// `body`, written without an XML declaration. Cannot fail.
HttpMessage soapResponse(unsigned status, const xml::XmlElement& body);

// The HTTP 500 response carrying the s:Fault (faultCode s:Client) with the
// UPnPError detail for `upnpErrorCode`. Any code gives a complete fault; codes
// the daemon does not name get an empty errorDescription.
HttpMessage soapFault(uint32_t upnpErrorCode);

// The errorDescription text of a UPnP error code, "" for unknown codes.
const char* upnpErrorDescription(uint32_t code);

}  // namespace upnp
