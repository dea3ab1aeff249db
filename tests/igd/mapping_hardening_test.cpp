// Hostile control points against the port mapping table, with the router's
// services (NAT table over the simulated backend, log) hosted in-process.

#include <ifaddrs.h>
#include <netinet/in.h>

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "http/http_request.h"
#include "http/http_server.h"
#include "http/soap_control.h"
#include "igd/wan_ip_connection_service.h"
#include "model/soap/soap.h"
#include "model/xml/xml_element.h"
#include "platform/looper.h"
#include "platform/routerd/router.h"
#include "platform/routerd/router_protocol.h"
#include "platform/routerd/sim_backend.h"
#include "platform/system.h"
#include "tests/platform/temp_dir.h"

namespace upnp {
namespace {

using Args = std::vector<std::pair<std::string, std::string>>;

const IPAddr kLan = *IPAddr::parse("192.168.88.1");
constexpr uint32_t kRuleComment = 0xfe0009;
constexpr uint32_t kRulePorts = 99;

class HardeningIgdTest : public ::testing::Test {
 protected:
  HardeningIgdTest() : mScopedRoot(mRoot.path()) { mRouter.attach(mLoop, false); }

  // AddPortMapping from 192.168.88.20 received on `lan`/`prefix`.
  uint32_t add(uint16_t port, const std::string& client, const std::string& description = "web",
               IPAddr lan = kLan, uint32_t prefix = 24) {
    const std::vector<std::string> inputs = {"", std::to_string(port), "TCP", "80", client, "1", description, "0"};
    return call("AddPortMapping", inputs, lan, prefix);
  }
  uint32_t call(const std::string& action, const std::vector<std::string>& inputs, IPAddr lan = kLan,
                uint32_t prefix = 24) {
    ActionRequest request;
    request.requester = *IPAddr::parse("192.168.88.20");
    request.lanAddress = lan;
    request.lanPrefix = prefix;
    for (const std::string& text : inputs)
      request.inputs.push_back({text, static_cast<uint32_t>(std::strtoul(text.c_str(), nullptr, 10))});
    return code(mService.actions.at(action).handler(request));
  }
  const PortMapping& entry(uint16_t port) { return mService.mappings.entries().at(PortMappingKey{IPAddr(), port}); }
  const std::map<uint32_t, bus::message>& rules() { return mRouter.nat().rules(); }
  bus::message natRequest(bus::message request, uint32_t command) {
    request.setU32Array(bus::kFieldDestination, {bus::kAddrRouter, routerd::kHandlerNat});
    return mLoop.exchangeCmd(request, command, 1000);
  }

  bus::test::TempDir mRoot;
  bus::test::ScopedRoot mScopedRoot;
  bus::Looper mLoop{bus::kAddrUpnp};
  routerd::Router mRouter{std::make_unique<routerd::SimBackend>()};
  bus::lstream mRouterLog{67, 0};
  WANIPConnectionService mService{7, *IPAddr::parse("127.0.0.1"), mRouterLog};
};

TEST_F(HardeningIgdTest, TheInternalClientMustBeAUnicastHostOfTheCallersLan) {
  const struct {
    const char* client;
    uint32_t code;
  } cases[] = {{"0.0.0.0", 606},      {"255.255.255.255", 606}, {"224.0.0.1", 606},     {"127.0.0.1", 606},
               {"192.168.88.0", 606}, {"192.168.88.255", 606},  {"192.168.89.20", 606}, {"10.0.0.5", 606},
               {"192.168.88.21", 0}};
  uint16_t port = 18100;
  for (const auto& c : cases) {
    const size_t rulesBefore = rules().size();
    EXPECT_EQ(add(port, c.client), c.code) << c.client;
    EXPECT_EQ(rules().size(), rulesBefore + (c.code == 0 ? 1 : 0)) << c.client;
    EXPECT_EQ(mService.mappings.entries().count(PortMappingKey{IPAddr(), port++}), c.code == 0 ? 1u : 0u);
  }
}

// The router's own LAN address: any address of this machine but loopback.
TEST_F(HardeningIgdTest, TheRoutersOwnAddressIsNoInternalClient) {
  std::optional<IPAddr> own;
  uint32_t prefix = 0;
  ifaddrs* list = nullptr;
  ASSERT_EQ(getifaddrs(&list), 0);
  for (const ifaddrs* a = list; a != nullptr && !own; a = a->ifa_next) {
    if (a->ifa_addr == nullptr || a->ifa_addr->sa_family != AF_INET) continue;
    const IPAddr address(reinterpret_cast<const sockaddr_in*>(a->ifa_addr)->sin_addr.s_addr);
    if ((address.host() >> 24) == 127) continue;
    own = address;
    prefix = __builtin_popcount(reinterpret_cast<const sockaddr_in*>(a->ifa_netmask)->sin_addr.s_addr);
  }
  freeifaddrs(list);
  if (!own || prefix > 30) GTEST_SKIP() << "no address on a LAN-like subnet besides loopback";
  EXPECT_EQ(add(18200, own->toString(), "web", *own, prefix), 606u);
  EXPECT_TRUE(rules().empty());
}

TEST_F(HardeningIgdTest, LongDescriptionsAreRefusedOnAddAndOnUpdateAlike) {
  const std::string longest(kMaxRuleCommentBytes - std::string("upnp 192.168.88.20: ").size(), 'd');
  const std::string huge(30 * 1024, 'd');
  ASSERT_EQ(add(18300, "192.168.88.20"), 0u);
  const size_t natRequests = mRouter.nat().requestLog().size();
  EXPECT_EQ(add(18301, "192.168.88.20", huge), 501u);
  EXPECT_EQ(add(18301, "192.168.88.20", longest + "d"), 501u);
  EXPECT_EQ(add(18300, "192.168.88.20", huge), 501u);  // the update path
  EXPECT_EQ(add(18300, "192.168.88.20", longest + "d"), 501u);
  EXPECT_EQ(mRouter.nat().requestLog().size(), natRequests);
  EXPECT_EQ(mService.mappings.entries().size(), 1u);
  EXPECT_EQ(entry(18300).description, "web");
  EXPECT_EQ(add(18300, "192.168.88.20", longest), 0u);
  EXPECT_EQ(entry(18300).description, longest);
  ASSERT_EQ(add(18301, "192.168.88.20", longest), 0u);
  EXPECT_EQ(rules().at(entry(18301).ruleId).getString(kRuleComment).size(), kMaxRuleCommentBytes);
}

// The NAT service came back empty and another client took the first rule id:
// every mapping gets a rule of its own again, and deleting one removes only it.
TEST_F(HardeningIgdTest, AfterTheNatTableLostItsRulesEachMappingIsAddedAgain) {
  ASSERT_EQ(add(18400, "192.168.88.20"), 0u);
  ASSERT_EQ(add(18401, "192.168.88.21"), 0u);
  const bus::message foreign = rules().at(entry(18400).ruleId);
  ASSERT_FALSE(bus::isError(natRequest({}, routerd::kCmdNatReset)));
  ASSERT_TRUE(rules().empty());
  const bus::message reply = natRequest(foreign, bus::kCmdAddObject);
  ASSERT_FALSE(bus::isError(reply));
  const uint32_t foreignId = reply.getU32(bus::kFieldObjectId);
  mService.mappings.restoreRules();
  ASSERT_EQ(rules().size(), 3u);
  for (const uint32_t port : {18400u, 18401u}) {
    const uint32_t id = entry(static_cast<uint16_t>(port)).ruleId;
    EXPECT_NE(id, foreignId);
    ASSERT_EQ(rules().count(id), 1u);
    EXPECT_EQ(rules().at(id).getU32Array(kRulePorts), (std::vector<uint32_t>{port, port}));
  }
  const uint32_t restored = entry(18400).ruleId;
  EXPECT_EQ(call("DeletePortMapping", {"", "18400", "TCP"}), 0u);
  EXPECT_EQ(rules().count(restored), 0u);
  EXPECT_EQ(rules().count(foreignId), 1u);
  EXPECT_EQ(rules().size(), 2u);
}

// A control point sends markup escaped; it is stored as text and must come
// back escaped in every answer, so no stored text can forge elements.
TEST_F(HardeningIgdTest, AStoredDescriptionComesBackEscapedInTheSoapAnswer) {
  const std::string forged =
      "</NewPortMappingDescription><NewInternalClient>6.6.6.6</NewInternalClient>"
      "<NewPortMappingDescription>a<b & c>d";
  ServedInterface lan;
  lan.address = kLan;
  HttpConnection peer;
  peer.peerAddress = *IPAddr::parse("192.168.88.20");
  peer.interface = &lan;
  auto post = [&](const std::string& action, const Args& args) {
    xml::XmlElement call("u:" + action, "");
    call.addAttribute("xmlns:u", mService.serviceType);
    for (const auto& arg : args) call.addChild(arg.first, arg.second);
    HttpRequest request;
    request.request.body = soapEnvelope(call);
    addHeader(request.request, "CONTENT-TYPE", "text/xml; charset=\"utf-8\"");
    addHeader(request.request, "SOAPACTION", "\"" + mService.serviceType + "#" + action + "\"");
    request.connection = &peer;
    return handlePost(request, mService).body;
  };
  post("AddPortMapping", {{"NewRemoteHost", ""}, {"NewExternalPort", "18500"}, {"NewProtocol", "TCP"},
                          {"NewInternalPort", "80"}, {"NewInternalClient", "192.168.88.20"}, {"NewEnabled", "1"},
                          {"NewPortMappingDescription", forged}, {"NewLeaseDuration", "0"}});
  ASSERT_EQ(entry(18500).description, forged);
  const std::string answer = post("GetGenericPortMappingEntry", {{"NewPortMappingIndex", "1"}});  // 0: the dummy
  EXPECT_NE(answer.find("&lt;/NewPortMappingDescription&gt;&lt;NewInternalClient&gt;6.6.6.6"), std::string::npos);
  EXPECT_NE(answer.find("a&lt;b &amp; c&gt;d</NewPortMappingDescription>"), std::string::npos) << answer;
  const xml::XmlDocument document = xml::parseXml(answer);
  ASSERT_TRUE(document.ok) << answer;
  const xml::XmlElement& response = document.top.children.at(0).children.at(0).children.at(0);
  ASSERT_EQ(response.children.size(), 8u) << answer;
  EXPECT_EQ(response.children[4].name + "=" + response.children[4].text, "NewInternalClient=192.168.88.20");
  EXPECT_EQ(response.children[6].text, forged);
}

}  // namespace
}  // namespace upnp
