#pragma once

#include <cstdint>
#include <string>

#include "model/xml/xml_element.h"

namespace upnp {

// The SOAP 1.1 namespaces the envelope declares.
inline constexpr const char* kSoapEnvelopeNs = "http://schemas.xmlsoap.org/soap/envelope/";
inline constexpr const char* kSoapEncodingNs = "http://schemas.xmlsoap.org/soap/encoding/";

// The UPnP error codes the daemon answers with; their texts are in
// upnpErrorDescription. None (0) is success.
enum class UpnpError : uint32_t {
  None = 0,
  InvalidAction = 401,
  InvalidArgs = 402,
  OutOfSync = 403,
  InvalidVar = 404,
  ActionFailed = 501,
  ActionNotAuthorized = 606,
  SpecifiedArrayIndexInvalid = 713,
  NoSuchEntryInArray = 714,
  WildcardNotPermittedInExtPort = 716,
  ConflictInMappingEntry = 718,
  OnlyPermanentLeasesSupported = 725,
  RemoteHostOnlySupportsWildcard = 726,
  ConflictWithOtherMechanisms = 729,
};

inline constexpr uint32_t code(UpnpError error) { return static_cast<uint32_t>(error); }

// The errorDescription text of a UPnP error code, "" for unknown codes.
const char* upnpErrorDescription(uint32_t code);

// The text of an s:Envelope (with the two namespaces) whose s:Body holds a
// copy of `body`, written without an XML declaration.
std::string soapEnvelope(const xml::XmlElement& body);

// The s:Fault element (faultCode s:Client, faultString UPnPError) with the
// UPnPError detail for `upnpErrorCode`. Any code gives a complete fault;
// codes the daemon does not name get an empty errorDescription.
xml::XmlElement soapFaultBody(uint32_t upnpErrorCode);

}  // namespace upnp
