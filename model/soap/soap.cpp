#include "model/soap/soap.h"

#include <string>

#include "http/response.h"

namespace upnp {

namespace {

struct UpnpError {
  uint32_t code;
  const char* description;
};

constexpr UpnpError kUpnpErrors[] = {
    {401, "Invalid Action"},
    {402, "Invalid Args"},
    {403, "Out of Sync"},
    {404, "Invalid Var"},
    {501, "Action Failed"},
    {713, "SpecifiedArrayIndexInvalid"},
    {714, "NoSuchEntryInArray"},
    {716, "WildcardNotPermittedInExtPort"},
    {718, "ConflictInMappingEntry"},
    {725, "OnlyPermanentLeasesSupported"},
    {726, "RemoteHostOnlySupportsWildcard"},
    {729, "ConflictWithOtherMechanisms"},
};

}  // namespace

const char* upnpErrorDescription(uint32_t code) {
  for (const UpnpError& error : kUpnpErrors) {
    if (error.code == code) return error.description;
  }
  return "";
}

HttpMessage soapResponse(unsigned status, const xml::XmlElement& body) {
  xml::XmlElement soapBody("s:Body", "");
  soapBody.appendChild(body);
  xml::XmlElement envelope("s:Envelope", "");
  envelope.addAttribute("xmlns:s", kSoapEnvelopeNs);
  envelope.addAttribute("s:encodingStyle", kSoapEncodingNs);
  envelope.appendChild(soapBody);
  std::string text = xml::toXml(envelope);

  HttpMessage response = statusResponse(status);
  addHeader(response, "CONTENT-LENGTH", std::to_string(text.size()));
  addHeader(response, "CONTENT-TYPE", "text/xml; charset=\"utf-8\"");
  addDateHeader(response);
  addHeader(response, "EXT", "");
  addHeader(response, "SERVER", serverString());
  response.body = std::move(text);
  return response;
}

HttpMessage soapFault(uint32_t upnpErrorCode) {
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
  return soapResponse(500, fault);
}

}  // namespace upnp
