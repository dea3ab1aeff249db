#include "platform/routerd/netlink.h"

#include <gtest/gtest.h>
#include <linux/if_link.h>
#include <linux/netfilter/nf_tables.h>
#include <linux/netfilter/nfnetlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <sys/socket.h>

#include <cstring>
#include <endian.h>
#include <string>
#include <vector>

namespace routerd {
namespace {

size_t align4(size_t n) { return (n + 3) & ~size_t{3}; }

// A netlink message as the kernel would send it: header, fixed part, attributes.
class Msg {
 public:
  template <class T>
  Msg(uint16_t type, const T& fixed) {
    nlmsghdr h{};
    h.nlmsg_type = type;
    append(&h, sizeof(h));
    append(&fixed, sizeof(fixed));
  }
  Msg& attr(uint16_t type, const void* data, size_t len) {
    nlattr a{static_cast<uint16_t>(sizeof(nlattr) + len), type};
    append(&a, sizeof(a));
    append(data, len);
    return *this;
  }
  Msg& attr(uint16_t type, const std::string& text) { return attr(type, text.c_str(), text.size() + 1); }
  std::string bytes() const {
    std::string out = mBytes;
    const uint32_t len = static_cast<uint32_t>(out.size());
    std::memcpy(out.data(), &len, sizeof(len));
    return out;
  }

 private:
  void append(const void* data, size_t len) {
    mBytes.append(static_cast<const char*>(data), len);
    mBytes.resize(align4(mBytes.size()), '\0');
  }
  std::string mBytes;
};

std::string linkMessage(uint16_t type, int index, unsigned flags, const std::string& name) {
  ifinfomsg info{};
  info.ifi_index = index;
  info.ifi_flags = flags;
  const rtnl_link_stats64 stats{.rx_packets = 3, .tx_packets = 4, .rx_bytes = 5000000000ull, .tx_bytes = 7};
  const rtnl_link_stats old{.rx_bytes = 1};
  return Msg(type, info).attr(IFLA_STATS, &old, sizeof(old)).attr(IFLA_IFNAME, name).attr(IFLA_STATS64, &stats, sizeof(stats)).bytes();
}

std::string addrMessage(uint16_t type, uint8_t family, uint8_t prefix, const char* local, const char* peer) {
  ifaddrmsg info{};
  info.ifa_family = family;
  info.ifa_prefixlen = prefix;
  info.ifa_index = 5;
  Msg m(type, info);
  uint32_t raw;
  if (peer) {
    raw = IPAddr::parse(peer)->raw();
    m.attr(IFA_ADDRESS, &raw, sizeof(raw));
  }
  if (local) {
    raw = IPAddr::parse(local)->raw();
    m.attr(IFA_LOCAL, &raw, sizeof(raw));
  }
  return m.bytes();
}

TEST(Netlink, LinkFlagsNameAndSixtyFourBitCountersWin) {
  std::optional<NetlinkLink> link = parseLink(linkMessage(RTM_NEWLINK, 5, IFF_UP | IFF_RUNNING, "wan0"));
  ASSERT_TRUE(link);
  EXPECT_TRUE(link->index == 5u && link->name == "wan0" && link->up && link->running && !link->removed && link->hasCounters);
  EXPECT_TRUE(link->counters.rxBytes == 5000000000ull && link->counters.txPackets == 4u);
  // Carrier without admin up, and admin up without carrier, both read as not running.
  EXPECT_FALSE(parseLink(linkMessage(RTM_NEWLINK, 5, IFF_RUNNING, "wan0"))->running);
  link = parseLink(linkMessage(RTM_DELLINK, 5, IFF_UP, "wan0"));
  EXPECT_TRUE(link && link->up && !link->running && link->removed);
  EXPECT_FALSE(parseLink(linkMessage(RTM_NEWLINK, 0, IFF_UP, "wan0")));
  EXPECT_FALSE(parseLink(linkMessage(RTM_NEWLINK, 5, IFF_UP, "sixteen-bytes-xx")));
  EXPECT_FALSE(parseLink(linkMessage(RTM_NEWADDR, 5, IFF_UP, "wan0")));
}

TEST(Netlink, AddressPrefersLocalAndTakesOnlyIpv4) {
  std::optional<NetlinkAddress> a = parseAddress(addrMessage(RTM_NEWADDR, AF_INET, 24, "203.0.113.1", "203.0.113.1"));
  ASSERT_TRUE(a);
  EXPECT_TRUE(a->address.toString() == "203.0.113.1" && a->prefix == 24u && a->index == 5u && !a->removed);
  // Point-to-point: IFA_ADDRESS is the peer.
  a = parseAddress(addrMessage(RTM_DELADDR, AF_INET, 32, "100.64.0.2", "100.64.0.1"));
  EXPECT_TRUE(a && a->address.toString() == "100.64.0.2" && a->removed);
  EXPECT_EQ(parseAddress(addrMessage(RTM_NEWADDR, AF_INET, 32, nullptr, "100.64.0.1"))->address.toString(), "100.64.0.1");
  EXPECT_FALSE(parseAddress(addrMessage(RTM_NEWADDR, AF_INET, 33, "203.0.113.1", nullptr)));
  EXPECT_FALSE(parseAddress(addrMessage(RTM_NEWADDR, AF_INET, 24, nullptr, nullptr)));
  EXPECT_FALSE(parseAddress(addrMessage(RTM_NEWADDR, AF_INET, 24, "0.0.0.0", nullptr)));
}

TEST(Netlink, NftNewRuleGivesTableChainAndHandle) {
  nfgenmsg gen{};
  gen.nfgen_family = 2;
  const uint64_t handle = htobe64(0x1122334455ull);
  const std::string event = Msg((NFNL_SUBSYS_NFTABLES << 8) | NFT_MSG_NEWRULE, gen)
                                .attr(NFTA_RULE_TABLE, "routerd")
                                .attr(NFTA_RULE_CHAIN, "prerouting")
                                .attr(NFTA_RULE_HANDLE, &handle, sizeof(handle))
                                .bytes();
  std::optional<NftRuleEvent> rule = parseNftNewRule(event);
  ASSERT_TRUE(rule);
  EXPECT_TRUE(rule->family == 2 && rule->table == "routerd" && rule->chain == "prerouting" && rule->handle == 0x1122334455ull);
  EXPECT_FALSE(parseNftNewRule(Msg((NFNL_SUBSYS_NFTABLES << 8) | NFT_MSG_DELRULE, gen).attr(NFTA_RULE_HANDLE, &handle, 8).bytes()));
  EXPECT_FALSE(parseNftNewRule(Msg((NFNL_SUBSYS_NFTABLES << 8) | NFT_MSG_NEWRULE, gen).attr(NFTA_RULE_HANDLE, &handle, 4).bytes()));
}

// Every prefix of a message, and a message with a lying attribute length, is
// refused without a read beyond its bytes (run under ASan).
TEST(Netlink, TruncatedAndLyingMessagesAreRefused) {
  const std::string link = linkMessage(RTM_NEWLINK, 5, IFF_UP | IFF_RUNNING, "wan0");
  const std::string addr = addrMessage(RTM_NEWADDR, AF_INET, 24, "203.0.113.1", "203.0.113.9");
  for (const std::string& whole : {link, addr}) {
    ASSERT_TRUE(parseLink(whole) || parseAddress(whole));
    for (size_t n = 0; n < whole.size(); ++n) {
      std::vector<char> exact(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(n));
      const std::string_view view(exact.data(), exact.size());
      EXPECT_FALSE(parseLink(view)) << n;
      EXPECT_FALSE(parseAddress(view)) << n;
      EXPECT_FALSE(n > 0 && forEachNetlinkMessage(view, [](std::string_view) {})) << n;
    }
    std::string lying = whole;
    lying[33] = '\x7f';  // high byte of an attribute's length: far past the end
    EXPECT_FALSE(parseLink(lying));
    EXPECT_FALSE(parseAddress(lying));
  }
}

TEST(Netlink, MessagesAreSplitUntilOneDoesNotFit) {
  const std::string a = linkMessage(RTM_NEWLINK, 5, IFF_UP, "wan0");
  const std::string b = addrMessage(RTM_NEWADDR, AF_INET, 24, "203.0.113.1", nullptr);
  int seen = 0;
  EXPECT_TRUE(forEachNetlinkMessage(a + b, [&](std::string_view m) { seen += parseLink(m) ? 1 : parseAddress(m) ? 10 : 100; }));
  EXPECT_EQ(seen, 11);
  std::string broken = b;
  broken[0] = static_cast<char>(broken.size() + 4);
  seen = 0;
  EXPECT_FALSE(forEachNetlinkMessage(a + broken, [&](std::string_view) { ++seen; }));
  EXPECT_EQ(seen, 1);
}

TEST(Netlink, ErrorAndAcknowledgement) {
  nlmsgerr err{};
  err.error = -17;
  EXPECT_EQ(netlinkError(Msg(NLMSG_ERROR, err).bytes()), 17);
  err.error = 0;
  EXPECT_EQ(netlinkError(Msg(NLMSG_ERROR, err).bytes()), 0);
  EXPECT_FALSE(netlinkError(Msg(NLMSG_ERROR, err).bytes().substr(0, 18)));
  EXPECT_FALSE(netlinkError(Msg(NLMSG_DONE, err).bytes()));
}

}  // namespace
}  // namespace routerd
