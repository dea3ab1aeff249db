#pragma once

#include <ctime>
#include <string>

#include "http/http_message.h"
#include "model/xml/xml_element.h"

namespace upnp {

// "\r\n": ends every line of an HTTP message and of the XML the daemon writes.
const std::string& lineEnd();

// The SERVER header value: "Corvanet/" + getOSVersion() verbatim +
// "UPnP/1.0 Quenlark UPnP/1.0". Built on the first call (start-up calls it
// before any socket is opened) and constant for the life of the process.
const std::string& serverString();

// A response with the status line "HTTP/1.1 <code> <reason>", no headers, an
// empty body and complete == true. Codes without a known reason phrase end
// the line with the blank after the code.
HttpMessage statusResponse(unsigned code);

// The reason phrase of `code`, "" for codes the daemon does not name.
const char* reasonPhrase(unsigned code);

// `when` in the form of the DATE header, "Thu, 01 Jan 1970 00:00:00 GMT"
// (UTC, English day and month names whatever the process locale).
std::string httpDate(std::time_t when);

// Appends DATE with the current time.
void addDateHeader(HttpMessage& message);

// The complete HTTP response for a SOAP answer: `status` line, then
// CONTENT-LENGTH, CONTENT-TYPE (text/xml; charset="utf-8"), DATE, EXT (empty)
// and SERVER in this order, and as body the envelope around `body`.
HttpMessage soapResponse(unsigned status, const xml::XmlElement& body);

// The HTTP 500 response carrying the SOAP fault for `upnpErrorCode`.
HttpMessage soapFault(uint32_t upnpErrorCode);

}  // namespace upnp
