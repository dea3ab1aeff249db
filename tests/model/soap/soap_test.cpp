#include "model/soap/soap.h"

#include <gtest/gtest.h>

#include <string>

namespace upnp {
namespace {

// The fault is what control points parse; codes the daemon does not name
// still get a complete fault.
TEST(SoapTest, FaultEnvelopeIsByteExact) {
  const std::string head =
      "<s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\" "
      "s:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\">\r\n  <s:Body>\r\n    <s:Fault>\r\n"
      "      <faultCode>s:Client</faultCode>\r\n      <faultString>UPnPError</faultString>\r\n      <detail>\r\n"
      "        <UPnPError xmlns=\"urn:schemas-upnp-org:control-1-0\">\r\n          <errorCode>";
  const std::string tail = "</errorDescription>\r\n        </UPnPError>\r\n      </detail>\r\n    </s:Fault>\r\n"
                           "  </s:Body>\r\n</s:Envelope>\r\n";
  const std::pair<uint32_t, const char*> cases[] = {
      {718, "ConflictInMappingEntry"}, {402, "Invalid Args"}, {0, ""}, {715, ""}, {4294967295u, ""}};
  for (const auto& [code, description] : cases)
    EXPECT_EQ(soapEnvelope(soapFaultBody(code)),
              head + std::to_string(code) + "</errorCode>\r\n          <errorDescription>" + description + tail);
}

}  // namespace
}  // namespace upnp
