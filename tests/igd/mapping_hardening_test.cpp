// Hostile control points against the port mapping table.

#include "http/http_request.h"
#include "http/http_server.h"
#include "http/soap_control.h"
#include "model/soap/soap.h"
#include "model/xml/xml_element.h"
#include "tests/igd/igd_fixture.h"

namespace upnp::test {
namespace {

TEST_F(IgdTest, TheInternalClientMustBeAUnicastHostOfTheCallersLan) {
  const std::pair<const char*, uint32_t> cases[] = {
      {"0.0.0.0", 606},      {"255.255.255.255", 606}, {"224.0.0.1", 606}, {"127.0.0.1", 606}, {"192.168.88.0", 606},
      {"192.168.88.255", 606}, {"192.168.89.20", 606}, {"10.0.0.5", 606},  {"192.168.88.21", 0}};
  uint16_t port = 18100;
  for (const auto& [client, result] : cases) {
    EXPECT_EQ(add(addArgs("", std::to_string(port), "TCP", "80", client)), result) << client;
    EXPECT_EQ(mService.mappings.entries().count(PortMappingKey{IPAddr(), port++}), result == 0 ? 1u : 0u) << client;
  }
  EXPECT_EQ(mNat.rules().size(), 1u);
}

TEST_F(IgdTest, LongDescriptionsAreRefusedOnAddAndOnUpdateAlike) {
  const std::string longest(kMaxRuleCommentBytes - std::string("upnp 192.168.88.20: ").size(), 'd');
  ASSERT_EQ(add(addArgs("", "18300", "TCP")), 0u);
  for (const char* port : {"18301", "18300"})  // a new mapping, then the update path
    EXPECT_EQ(add(addArgs("", port, "TCP", "80", "192.168.88.20", "1", longest + "d")), 501u) << port;
  EXPECT_EQ(natLog().size(), 1u);
  EXPECT_EQ(entry(18300).description, "web");
  ASSERT_EQ(add(addArgs("", "18301", "TCP", "80", "192.168.88.20", "1", longest)), 0u);
  EXPECT_EQ(mNat.rules().at(entry(18301).ruleId).getString(0xfe0009).size(), kMaxRuleCommentBytes);
}

// The NAT service came back empty and another client took the first rule id:
// every mapping gets a rule of its own again, and deleting one removes only it.
TEST_F(IgdTest, AfterTheNatTableLostItsRulesEachMappingIsAddedAgain) {
  ASSERT_EQ(add(addArgs("", "18400", "TCP")), 0u);
  ASSERT_EQ(add(addArgs("", "18401", "TCP", "80", "192.168.88.21")), 0u);
  const bus::message foreign = mNat.rules().at(entry(18400).ruleId);
  ASSERT_FALSE(bus::isError(natRequest({}, routerd::kCmdNatReset)));
  const uint32_t foreignId = natRequest(foreign, bus::kCmdAddObject).getU32(bus::kFieldObjectId);
  mService.mappings.restoreRules();
  ASSERT_EQ(mNat.rules().size(), 3u);
  for (const uint16_t port : {18400, 18401}) {
    ASSERT_NE(entry(port).ruleId, foreignId);
    EXPECT_EQ(mNat.rules().at(entry(port).ruleId).getU32Array(99), (std::vector<uint32_t>{port, port}));
  }
  EXPECT_EQ(del("", "18400", "TCP"), 0u);
  EXPECT_EQ(mNat.rules().count(foreignId), 1u);
  EXPECT_EQ(mNat.rules().size(), 2u);
}

// Stored markup must come back escaped, so no stored text can forge elements.
TEST_F(IgdTest, AStoredDescriptionComesBackEscapedInTheSoapAnswer) {
  const std::string forged = "</NewPortMappingDescription><NewInternalClient>6.6.6.6</NewInternalClient>a<b & c>d";
  ASSERT_EQ(add(addArgs("", "18500", "TCP", "80", "192.168.88.20", "1", forged)), 0u);
  ServedInterface lan;
  lan.address = *IPAddr::parse("192.168.88.1");
  HttpConnection peer;
  peer.peerAddress = *IPAddr::parse("192.168.88.20");
  peer.interface = &lan;
  xml::XmlElement get("u:GetGenericPortMappingEntry", "");
  get.addAttribute("xmlns:u", mService.serviceType);
  get.addChild("NewPortMappingIndex", "1");  // 0: the dummy
  HttpRequest request;
  request.request.body = soapEnvelope(get);
  addHeader(request.request, "CONTENT-TYPE", "text/xml; charset=\"utf-8\"");
  addHeader(request.request, "SOAPACTION", "\"" + mService.serviceType + "#GetGenericPortMappingEntry\"");
  request.connection = &peer;
  const std::string answer = handlePost(request, mService).body;
  EXPECT_NE(answer.find("&lt;/NewPortMappingDescription&gt;&lt;NewInternalClient&gt;6.6.6.6&lt;/NewInternalClient"
                        "&gt;a&lt;b &amp; c&gt;d</NewPortMappingDescription>"),
            std::string::npos)
      << answer;
}

}  // namespace
}  // namespace upnp::test
