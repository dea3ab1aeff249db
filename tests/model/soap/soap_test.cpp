#include "model/soap/soap.h"

#include <gtest/gtest.h>

#include <string>

namespace upnp {
namespace {

std::string faultEnvelope(const std::string& code, const std::string& description) {
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

// The fault is what control points parse; codes the daemon does not name
// still get a complete fault.
TEST(SoapTest, FaultEnvelopeIsByteExact) {
  EXPECT_EQ(soapEnvelope(soapFaultBody(718)), faultEnvelope("718", "ConflictInMappingEntry"));
  EXPECT_EQ(soapEnvelope(soapFaultBody(402)), faultEnvelope("402", "Invalid Args"));
  for (uint32_t unnamed : {0u, 715u, 4294967295u})
    EXPECT_EQ(soapEnvelope(soapFaultBody(unnamed)), faultEnvelope(std::to_string(unnamed), ""));
}

}  // namespace
}  // namespace upnp
