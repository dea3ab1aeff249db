#include "model/soap/soap.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "http/response.h"

namespace upnp {
namespace {

const std::vector<std::string> kSoapHeaderOrder = {"CONTENT-LENGTH", "CONTENT-TYPE", "DATE", "EXT",
                                                   "SERVER"};

// The wire form with the DATE value blanked out, so it can be compared byte
// for byte; checks the headers that vary on their own first.
std::string wireWithoutDate(HttpMessage message) {
  EXPECT_EQ(message.headerNames, kSoapHeaderOrder);
  if (message.headerNames != kSoapHeaderOrder) return toText(message);
  EXPECT_EQ(message.headerValues[0], std::to_string(message.body.size()));
  EXPECT_EQ(message.headerValues[2].size(), httpDate(0).size());
  EXPECT_EQ(message.headerValues[4], serverString());
  message.headerValues[2] = "-";
  message.headerValues[4] = "-";
  return toText(message);
}

std::string expectedFault(const std::string& body) {
  return "HTTP/1.1 500 Internal Server Error\r\n"
         "CONTENT-LENGTH: " + std::to_string(body.size()) + "\r\n"
         "CONTENT-TYPE: text/xml; charset=\"utf-8\"\r\n"
         "DATE: -\r\n"
         "EXT: \r\n"
         "SERVER: -\r\n"
         "\r\n" + body;
}

std::string faultBody(const std::string& code, const std::string& description) {
  return "<s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\" "
         "s:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\">\r\n"
         "  <s:Body>\r\n"
         "    <s:Fault>\r\n"
         "      <faultCode>s:Client</faultCode>\r\n"
         "      <faultString>UPnPError</faultString>\r\n"
         "      <detail>\r\n"
         "        <UPnPError xmlns=\"urn:schemas-upnp-org:control-1-0\">\r\n"
         "          <errorCode>" + code + "</errorCode>\r\n"
         "          <errorDescription>" + description + "</errorDescription>\r\n"
         "        </UPnPError>\r\n"
         "      </detail>\r\n"
         "    </s:Fault>\r\n"
         "  </s:Body>\r\n"
         "</s:Envelope>\r\n";
}

TEST(SoapTest, FaultIsByteExactForKnownAndUnknownCodes) {
  for (uint32_t code : {718u, 401u, 715u, 0u, 4294967295u}) {
    SCOPED_TRACE(code);
    std::string body = faultBody(std::to_string(code), upnpErrorDescription(code));
    EXPECT_EQ(wireWithoutDate(soapFault(code)), expectedFault(body));
  }
}

TEST(SoapTest, ErrorTableNamesExactlyTheKnownCodes) {
  const struct {
    uint32_t code;
    const char* description;
  } cases[] = {
      {401, "Invalid Action"}, {402, "Invalid Args"}, {403, "Out of Sync"}, {404, "Invalid Var"},
      {501, "Action Failed"}, {713, "SpecifiedArrayIndexInvalid"}, {714, "NoSuchEntryInArray"},
      {716, "WildcardNotPermittedInExtPort"}, {718, "ConflictInMappingEntry"}, {725, "OnlyPermanentLeasesSupported"},
      {726, "RemoteHostOnlySupportsWildcard"}, {729, "ConflictWithOtherMechanisms"},
      {0, ""}, {400, ""}, {500, ""}, {606, ""}, {715, ""}, {727, ""}, {728, ""}, {4294967295u, ""},
  };
  for (const auto& c : cases) EXPECT_STREQ(upnpErrorDescription(c.code), c.description) << c.code;
}

TEST(SoapTest, ResponseCarriesTheBodyElementWithItsChildren) {
  xml::XmlElement response("u:GetExternalIPAddressResponse", "");
  response.addAttribute("xmlns:u", "urn:x");
  response.addChild("NewExternalIPAddress", "192.0.2.7");
  response.addChild("Empty", "");
  HttpMessage message = soapResponse(200, response);
  EXPECT_EQ(message.firstLine, "HTTP/1.1 200 OK");
  EXPECT_EQ(message.body,
            "<s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\" "
            "s:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\">\r\n"
            "  <s:Body>\r\n"
            "    <u:GetExternalIPAddressResponse xmlns:u=\"urn:x\">\r\n"
            "      <NewExternalIPAddress>192.0.2.7</NewExternalIPAddress>\r\n"
            "      <Empty></Empty>\r\n"
            "    </u:GetExternalIPAddressResponse>\r\n"
            "  </s:Body>\r\n"
            "</s:Envelope>\r\n");
  std::string wire = wireWithoutDate(message);
  EXPECT_EQ(wire.substr(wire.size() - message.body.size()), message.body);
}

TEST(SoapTest, ContentLengthCountsBytesOfALargeBody) {
  HttpMessage message = soapResponse(200, xml::XmlElement("r", std::string(20000, 'a') + "\xc3\xa9"));
  EXPECT_GT(message.body.size(), 20002u);
  EXPECT_EQ(header(message, "CONTENT-LENGTH"), std::to_string(message.body.size()));
}

}  // namespace
}  // namespace upnp
