// Hostile control points against the port mapping table.

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

}  // namespace
}  // namespace upnp::test
