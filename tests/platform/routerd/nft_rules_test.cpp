#include "platform/routerd/nft_rules.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>

namespace routerd {
namespace {

using bus::message;

IPAddr ip(const char* text) { return *IPAddr::parse(text); }

std::string kernelName(uint32_t id) { return id == 2 ? "wan0" : ""; }

// A rule exactly as the daemon asks for a port mapping.
message mappingRule() {
  message m;
  m.setBool(bus::kFieldDynamic, true);
  m.setBool(bus::kFieldDisabled, false);
  m.setString(0xfe0009, "upnp 10.0.0.10: game");
  m.setString(39, "dstnat");
  m.setBool(400, true);
  m.setU32(1, 2);
  m.setBool(419, true);
  m.setBe32(52, ip("203.0.113.1"));
  m.setBe32(53, ip("203.0.113.1"));
  m.setBool(440, true);
  m.setU32Array(99, {8080, 8080});
  m.setBool(404, true);
  m.setU32(11, 17);
  m.setU32(40, 22);
  m.setBool(1006, true);
  m.setBe32(1000, ip("10.0.0.10"));
  m.setBe32(1001, ip("10.0.0.10"));
  m.setBool(1007, true);
  m.setU32(1002, 80);
  m.setU32(1003, 80);
  return m;
}

std::string text(const message& rule) {
  NftRuleText out = translateRule(rule, kernelName);
  EXPECT_TRUE(out.status.isOk()) << out.status.text();
  return out.text;
}

TEST(NftRules, DaemonMappingBecomesOneDnatRule) {
  EXPECT_EQ(text(mappingRule()),
            "iifname \"wan0\" ip daddr 203.0.113.1 udp dport 8080 counter dnat to 10.0.0.10:80 "
            "comment \"upnp 10.0.0.10: game\"");
}

TEST(NftRules, RangesSourceAndSwitchedOffMatches) {
  message m = mappingRule();
  m.setU32(11, 6);
  m.setU32Array(99, {1000, 2000});
  m.setBe32(50, ip("198.51.100.7"));
  m.setBe32(1001, ip("10.0.0.12"));
  m.setU32(1003, 90);
  m.setBool(400, false);  // in-interface off: the id is not even looked up
  m.setU32(1, 99);
  m.setBool(419, false);
  EXPECT_EQ(text(m), "ip saddr 198.51.100.7 tcp dport 1000-2000 counter dnat to 10.0.0.10-10.0.0.12:80-90 "
                     "comment \"upnp 10.0.0.10: game\"");
}

TEST(NftRules, InexpressibleRulesAreRefusedNamingTheField) {
  const std::tuple<const char*, void (*)(message&), const char*> cases[] = {
      {"source NAT", [](message& m) { m.setString(39, "srcnat"); }, "chain (39)"},
      {"other action", [](message& m) { m.setU32(40, 21); }, "action (40) 21"},
      {"no target", [](message& m) { m.remove(1000); }, "to-address (1000)"},
      {"target switched off", [](message& m) { m.setBool(1006, false); }, "to-address (1000)"},
      {"unknown interface", [](message& m) { m.setU32(1, 7); }, "in-interface (1) 7"},
      {"ports of icmp", [](message& m) { m.setU32(11, 1); }, "destination ports (99)"},
      {"ports without protocol", [](message& m) { m.remove(11); }, "destination ports (99)"},
      {"to-port without protocol", [](message& m) { m.remove(11); m.remove(99); }, "to-ports (1002)"},
      {"one port", [](message& m) { m.setU32Array(99, {5}); }, "(99) not a pair"},
      {"source end only", [](message& m) { m.setBe32(51, IPAddr()); }, "(51)"},
  };
  for (const auto& [what, change, named] : cases) {
    message m = mappingRule();
    change(m);
    NftRuleText out = translateRule(m, kernelName);
    EXPECT_FALSE(out.status.isOk()) << what;
    EXPECT_NE(out.status.text().find(named), std::string::npos) << what << ": " << out.status.text();
    EXPECT_TRUE(out.text.empty()) << what;
  }
}

TEST(NftRules, CommentsAreEscapedAndCutAtACharacterBoundary) {
  EXPECT_EQ(nftQuoted("a\"b\\c\nd\x7f" "e;{}#"), "\"a_b_c_d_e;{}#\"");
  EXPECT_EQ(nftQuoted(""), "\"\"");
  std::string longText = std::string(127, 'x') + "\xc3\xa9" + std::string(50, 'y');  // é across byte 128
  EXPECT_EQ(nftQuoted(longText), "\"" + std::string(127, 'x') + "\"");
  message m = mappingRule();
  m.setString(0xfe0009, std::string(1000, '"'));
  EXPECT_EQ(text(m).substr(text(m).find("comment ")), "comment \"" + std::string(kNftMaxComment, '_') + "\"");
}

}  // namespace
}  // namespace routerd
