#include "model/soap/soap.h"

#include <string>

namespace upnp {

namespace {

struct ErrorText {
  UpnpError error;
  const char* description;
};

constexpr ErrorText kUpnpErrors[] = {
    {UpnpError::InvalidAction, "Invalid Action"},
    {UpnpError::InvalidArgs, "Invalid Args"},
    {UpnpError::OutOfSync, "Out of Sync"},
    {UpnpError::InvalidVar, "Invalid Var"},
    {UpnpError::ActionFailed, "Action Failed"},
    {UpnpError::ActionNotAuthorized, "Action not authorized"},
    {UpnpError::SpecifiedArrayIndexInvalid, "SpecifiedArrayIndexInvalid"},
    {UpnpError::NoSuchEntryInArray, "NoSuchEntryInArray"},
    {UpnpError::WildcardNotPermittedInExtPort, "WildcardNotPermittedInExtPort"},
    {UpnpError::ConflictInMappingEntry, "ConflictInMappingEntry"},
    {UpnpError::OnlyPermanentLeasesSupported, "OnlyPermanentLeasesSupported"},
    {UpnpError::RemoteHostOnlySupportsWildcard, "RemoteHostOnlySupportsWildcard"},
    {UpnpError::ConflictWithOtherMechanisms, "ConflictWithOtherMechanisms"},
};

}  // namespace

const char* upnpErrorDescription(uint32_t errorCode) {
  for (const ErrorText& entry : kUpnpErrors) {
    if (code(entry.error) == errorCode) return entry.description;
  }
  return "";
}

std::string soapEnvelope(const xml::XmlElement& body) {
  // The envelope's own lines as toXml would write them, with `body` written
  // in place rather than copied into a tree first.
  std::string text = std::string("<s:Envelope xmlns:s=\"") + kSoapEnvelopeNs + "\" s:encodingStyle=\"" +
                     kSoapEncodingNs + "\">\r\n  <s:Body>\r\n    ";
  xml::appendXml(text, body, 4);
  text += "  </s:Body>\r\n</s:Envelope>\r\n";
  return text;
}

xml::XmlElement soapFaultBody(uint32_t upnpErrorCode) {
  xml::XmlElement error("UPnPError", "");
  error.addAttribute("xmlns", "urn:schemas-upnp-org:control-1-0");
  error.addChild("errorCode", std::to_string(upnpErrorCode));
  error.addChild("errorDescription", upnpErrorDescription(upnpErrorCode));
  xml::XmlElement detail("detail", "");
  detail.appendChild(error);
  // The fault code is s:Client for every error, also those that lie with the
  // gateway: control points match on the UPnPError detail, not on this.
  xml::XmlElement fault("s:Fault", "");
  fault.addChild("faultCode", "s:Client");
  fault.addChild("faultString", "UPnPError");
  fault.appendChild(detail);
  return fault;
}

}  // namespace upnp
