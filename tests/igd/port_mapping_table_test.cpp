#include "igd/port_mapping_table.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <iterator>
#include <random>

#include "igd/wan_ip_connection_service.h"
#include "tests/igd/igd_fixture.h"

namespace upnp::test {
namespace {

constexpr uint32_t kIfId = 7;
const IPAddr kLoopback = *IPAddr::parse("127.0.0.1");
const IPAddr kClient = *IPAddr::parse("192.168.88.20");
const IPAddr kOtherClient = *IPAddr::parse("192.168.88.21");

// AddPortMapping inputs in declared order.
std::vector<std::string> addArgs(const std::string& remote, const std::string& port, const std::string& proto,
                                 const std::string& internalPort = "80",
                                 const std::string& client = "192.168.88.20",
                                 const std::string& enabled = "1", const std::string& description = "web",
                                 const std::string& lease = "0") {
  return {remote, port, proto, internalPort, client, enabled, description, lease};
}

class PortMappingTableTest : public IgdTest {
 protected:
  PortMappingTableTest() : mService(kIfId, kLoopback) {}

  uint32_t add(std::vector<std::string> args, const char* requester = "192.168.88.20") {
    return call(mService, "AddPortMapping", std::move(args), nullptr, requester);
  }
  uint32_t del(const std::string& remote, const std::string& port, const std::string& proto) {
    return call(mService, "DeletePortMapping", {remote, port, proto});
  }
  std::string count() {
    std::string value;
    mService.stateVariables.at("PortMappingNumberOfEntries")->getValue(value);
    return value;
  }
  const PortMapping& only(const std::string& port, uint32_t protocol = kProtocolTcp) {
    PortMappingKey key;
    key.externalPort = static_cast<uint16_t>(std::stoul(port));
    key.protocol = protocol;
    return mService.mappings.entries().at(key);
  }
  std::vector<std::string> routerLines() {
    drain();
    return mLog.lines;
  }

  WANIPConnectionService mService;
};

// A TCP socket bound to 127.0.0.1 on a free port; the port is the result.
class BusyPort {
 public:
  BusyPort() : mFd(socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = kLoopback.raw();
    socklen_t length = sizeof(sa);
    if (mFd >= 0 && bind(mFd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) == 0 &&
        getsockname(mFd, reinterpret_cast<sockaddr*>(&sa), &length) == 0)
      mPort = ntohs(sa.sin_port);
  }
  ~BusyPort() {
    if (mFd >= 0) close(mFd);
  }
  std::string port() const { return std::to_string(mPort); }

 private:
  int mFd;
  uint16_t mPort = 0;
};

TEST_F(PortMappingTableTest, AddRequestCarriesEveryFieldInWireOrder) {
  ASSERT_EQ(add(addArgs("", "18080", "TCP", "8080", "192.168.88.20", "0", "web")), 0u);
  ASSERT_EQ(natLog().size(), 1u);
  const auto& logged = natLog().back();
  EXPECT_EQ(logged.command, bus::kCmdAddObject);
  EXPECT_EQ(fieldIds(logged.fields),
            (std::vector<uint32_t>{0xff0001, 0xfe0007, 0xfe000a, 0xfe0009, 39, 400, 1, 419, 52, 53, 440, 99,
                                   404, 11, 40, 1006, 1000, 1001, 1007, 1002, 1003}));
  const bus::message& f = logged.fields;
  EXPECT_EQ(f.getU32Array(0xff0001), (std::vector<uint32_t>{20, 5}));
  EXPECT_TRUE(f.getBool(0xfe0007));
  EXPECT_TRUE(f.getBool(0xfe000a));  // NewEnabled "0"
  EXPECT_EQ(f.getString(0xfe0009), "upnp 192.168.88.20: web");
  EXPECT_EQ(f.getString(39), "dstnat");
  EXPECT_EQ(f.getU32(1), kIfId);
  EXPECT_EQ(f.getBe32(52), kLoopback);
  EXPECT_EQ(f.getBe32(53), kLoopback);
  EXPECT_EQ(f.getU32Array(99), (std::vector<uint32_t>{18080, 18080}));
  EXPECT_EQ(f.getU32(11), 6u);
  EXPECT_EQ(f.getU32(40), 22u);
  EXPECT_EQ(f.getBe32(1000), kClient);
  EXPECT_EQ(f.getBe32(1001), kClient);
  EXPECT_EQ(f.getU32(1002), 8080u);
  EXPECT_EQ(f.getU32(1003), 8080u);
  for (uint32_t flag : {400u, 419u, 440u, 404u, 1006u, 1007u}) EXPECT_TRUE(f.getBool(flag)) << flag;
  EXPECT_EQ(only("18080").ruleId, logged.ruleId);
}

TEST_F(PortMappingTableTest, RemoteHostAddsSourceGroupAndUdpIsProtocol17) {
  ASSERT_EQ(add(addArgs("203.0.113.9", "18081", "UDP", "81", "192.168.88.20", "yes", "game")), 0u);
  const bus::message& f = natLog().back().fields;
  EXPECT_EQ(fieldIds(f), (std::vector<uint32_t>{0xff0001, 0xfe0007, 0xfe000a, 0xfe0009, 39, 400, 1, 418, 50, 51,
                                                419, 52, 53, 440, 99, 404, 11, 40, 1006, 1000, 1001, 1007, 1002,
                                                1003}));
  EXPECT_EQ(f.getBe32(50), *IPAddr::parse("203.0.113.9"));
  EXPECT_EQ(f.getBe32(51), *IPAddr::parse("203.0.113.9"));
  EXPECT_EQ(f.getU32(11), 17u);
  EXPECT_FALSE(f.getBool(0xfe000a));
}

TEST_F(PortMappingTableTest, AddLogsDebugAndRouterLines) {
  ::testing::internal::CaptureStdout();
  ASSERT_EQ(add(addArgs("", "18080", "TCP", "8080")), 0u);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "add map 0.0.0.0 18080->8080, 192.168.88.20\n");
  EXPECT_EQ(routerLines(),
            (std::vector<std::string>{"add mapping: proto:TCP, ports:18080->8080, internal ip:192.168.88.20"}));
  EXPECT_EQ(mLog.topics, (std::vector<uint32_t>{67}));
}

struct RefusalCase {
  const char* name;
  std::vector<std::string> args;
  uint32_t result;
  const char* debug;
};

TEST_F(PortMappingTableTest, RefusalsChangeNothingAndSendNothing) {
  BusyPort busy;
  const RefusalCase cases[] = {
      {"wildcard port", addArgs("", "", "TCP"), 716, "addPortMapping: EXT_PORT_NO_WILDCARD\n"},
      {"lease", addArgs("", "18080", "TCP", "80", "192.168.88.20", "1", "x", "3600"), 725,
       "addPortMapping: ONLY_PERM_LEASES\n"},
      {"port busy", addArgs("", busy.port(), "TCP"), 729, "addPortMapping: CONFLICT_WITH_OTHER, port busy\n"},
  };
  for (const auto& c : cases) {
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(add(c.args), c.result) << c.name;
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), c.debug) << c.name;
  }
  EXPECT_TRUE(natLog().empty());
  EXPECT_EQ(mService.mappings.size(), 0u);
  EXPECT_EQ(count(), "1");
}

TEST_F(PortMappingTableTest, ProbeUsesTheSocketTypeOfTheProtocol) {
  BusyPort busy;  // TCP only
  EXPECT_EQ(add(addArgs("", busy.port(), "UDP")), 0u);
  EXPECT_EQ(add(addArgs("", busy.port(), "TCP")), 729u);
}

TEST_F(PortMappingTableTest, PortZeroIsARealMapping) {
  WANIPConnectionService anyAddress(kIfId, IPAddr());
  ASSERT_EQ(call(anyAddress, "AddPortMapping", addArgs("", "0", "TCP")), 0u);
  EXPECT_EQ(anyAddress.mappings.size(), 1u);
  EXPECT_EQ(natLog().back().fields.getBe32(52), IPAddr());  // address not yet known
}

TEST_F(PortMappingTableTest, UpdateFromSameClientSetsRuleInPlace) {
  ASSERT_EQ(add(addArgs("", "18080", "TCP", "80", "192.168.88.20", "1", "old")), 0u);
  const uint32_t ruleId = only("18080").ruleId;
  drain();
  mLog.lines.clear();
  ::testing::internal::CaptureStdout();
  ASSERT_EQ(add(addArgs("", "18080", "TCP", "81", "192.168.88.20", "0", "new")), 0u);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "set map 0.0.0.0 18080->81, 192.168.88.20\n");
  const auto& logged = natLog().back();
  EXPECT_EQ(logged.command, bus::kCmdSetObject);
  EXPECT_EQ(fieldIds(logged.fields), (std::vector<uint32_t>{0xff0001, 0xfe0001, 0xfe000a, 1000, 1001, 1002, 1003}));
  EXPECT_EQ(logged.fields.getU32(0xfe0001), ruleId);
  EXPECT_TRUE(logged.fields.getBool(0xfe000a));
  EXPECT_EQ(logged.fields.getU32(1002), 81u);
  const PortMapping& stored = only("18080");
  EXPECT_EQ(stored.ruleId, ruleId);
  EXPECT_EQ(stored.internalPort, 81);
  EXPECT_FALSE(stored.enabled);
  EXPECT_EQ(stored.description, "new");
  EXPECT_EQ(count(), "2");
  EXPECT_EQ(routerLines(),
            (std::vector<std::string>{"set mapping: proto:TCP, ports:18080->81, internal ip:192.168.88.20"}));
}

TEST_F(PortMappingTableTest, UpdateFromOtherClientIsRefused) {
  ASSERT_EQ(add(addArgs("", "18080", "TCP")), 0u);
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(add(addArgs("", "18080", "TCP", "80", "192.168.88.21")), 718u);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            "set map 0.0.0.0 18080->80, 192.168.88.21\n"
            "addPortMapping: CONFLICT_IN_ENTRY 192.168.88.21 != 192.168.88.20\n");
  EXPECT_EQ(natLog().size(), 1u);
  EXPECT_EQ(only("18080").internalClient, kClient);
}

TEST_F(PortMappingTableTest, LostRuleIsAddedAgainInTheSameMessage) {
  ASSERT_EQ(add(addArgs("", "18080", "TCP", "80", "192.168.88.20", "1", "old")), 0u);
  const uint32_t oldRule = only("18080").ruleId;
  removeRuleBehindOurBack(oldRule);
  ::testing::internal::CaptureStdout();
  ASSERT_EQ(add(addArgs("", "18080", "TCP", "82", "192.168.88.20", "1", "again")), 0u);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            "set map 0.0.0.0 18080->82, 192.168.88.20\n"
            "set nat failed: no such rule\n"
            "add map 0.0.0.0 18080->82, 192.168.88.20\n");
  const auto& logged = natLog().back();
  EXPECT_EQ(logged.command, bus::kCmdAddObject);
  EXPECT_EQ(fieldIds(logged.fields),
            (std::vector<uint32_t>{0xff0001, 0xfe0001, 0xfe000a, 1000, 1001, 1002, 1003, 0xfe0007, 0xfe0009, 39,
                                   400, 1, 419, 52, 53, 440, 99, 404, 11, 40, 1006, 1007}));
  EXPECT_EQ(logged.fields.getU32(0xfe0001), oldRule);
  EXPECT_EQ(logged.fields.getU32(1002), 82u);
  EXPECT_NE(logged.ruleId, oldRule);
  EXPECT_EQ(only("18080").ruleId, logged.ruleId);
  EXPECT_EQ(only("18080").internalPort, 82);
  EXPECT_EQ(mService.mappings.size(), 1u);
}

TEST_F(PortMappingTableTest, FailedFallbackKeepsTheOldEntry) {
  ASSERT_EQ(add(addArgs("", "18080", "TCP", "80", "192.168.88.20", "1", "old")), 0u);
  const uint32_t oldRule = only("18080").ruleId;
  removeRuleBehindOurBack(oldRule);
  failNextNat(bus::kCmdAddObject, bus::kErrFailed, "table full");
  EXPECT_EQ(add(addArgs("", "18080", "TCP", "82")), 501u);
  EXPECT_EQ(only("18080").ruleId, oldRule);
  EXPECT_EQ(only("18080").internalPort, 80);
  EXPECT_EQ(only("18080").description, "old");
}

TEST_F(PortMappingTableTest, FirewallErrorsGive501) {
  failNextNat(bus::kCmdAddObject, bus::kErrFailed, "boom");
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(add(addArgs("", "18080", "TCP")), 501u);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            "add map 0.0.0.0 18080->80, 192.168.88.20\nadd nat failed: boom\n");
  EXPECT_EQ(mService.mappings.size(), 0u);
  EXPECT_EQ(count(), "1");

  ASSERT_EQ(add(addArgs("", "18080", "TCP", "80")), 0u);
  failNextNat(bus::kCmdSetObject, bus::kErrFailed, "busy");
  EXPECT_EQ(add(addArgs("", "18080", "TCP", "99")), 501u);
  EXPECT_EQ(only("18080").internalPort, 80);
  EXPECT_EQ(natLog().back().command, bus::kCmdSetObject);  // no fallback add
}

TEST_F(PortMappingTableTest, DeleteRemovesRuleAndEntry) {
  ASSERT_EQ(add(addArgs("", "18080", "TCP", "8080")), 0u);
  const uint32_t ruleId = only("18080").ruleId;
  drain();
  mLog.lines.clear();
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(del("", "18080", "TCP"), 0u);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "del map 18080\n");
  const auto& logged = natLog().back();
  EXPECT_EQ(logged.command, bus::kCmdRemoveObject);
  EXPECT_EQ(fieldIds(logged.fields), (std::vector<uint32_t>{0xff0001, 0xfe0001}));
  EXPECT_EQ(logged.fields.getU32(0xfe0001), ruleId);
  EXPECT_TRUE(mNat.rules().empty());
  EXPECT_EQ(count(), "1");
  EXPECT_EQ(routerLines(),
            (std::vector<std::string>{"remove mapping: proto:TCP, ports:18080->8080, internal ip:192.168.88.20"}));
}

TEST_F(PortMappingTableTest, DeleteOfUnknownOrDummyKeyIs714) {
  ASSERT_EQ(add(addArgs("203.0.113.9", "18080", "TCP")), 0u);
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(del("", "18080", "TCP"), 714u);  // other remote host
  EXPECT_EQ(del("203.0.113.9", "18080", "UDP"), 714u);
  EXPECT_EQ(del("", "0", "TCP"), 714u);      // the dummy entry
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            "deletePortMapping: NO_SUCH_ENTRY\ndeletePortMapping: NO_SUCH_ENTRY\n"
            "deletePortMapping: NO_SUCH_ENTRY\n");
  EXPECT_EQ(mService.mappings.size(), 1u);
}

TEST_F(PortMappingTableTest, DeleteForgetsEntryEvenWhenFirewallRefuses) {
  ASSERT_EQ(add(addArgs("", "18080", "TCP")), 0u);
  failNextNat(bus::kCmdRemoveObject, bus::kErrFailed, "stuck");
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(del("", "18080", "TCP"), 501u);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "del map 18080\nremove nat failed: stuck\n");
  EXPECT_EQ(mService.mappings.size(), 0u);
  EXPECT_EQ(count(), "1");
}

TEST_F(PortMappingTableTest, DummyEntryShownFirst) {
  std::vector<std::string> out;
  EXPECT_EQ(count(), "1");
  ASSERT_EQ(call(mService, "GetGenericPortMappingEntry", {"0"}, &out), 0u);
  EXPECT_EQ(out, (std::vector<std::string>{"", "0", "TCP", "0", "0.0.0.0", "0",
                                           "Dummy inactive rule for windows to work", "0"}));
  EXPECT_EQ(call(mService, "GetGenericPortMappingEntry", {"1"}, &out), 713u);
  ASSERT_EQ(add(addArgs("", "0", "TCP", "5", "192.168.88.20", "1", "real")), 0u);
  EXPECT_EQ(count(), "2");
  ASSERT_EQ(call(mService, "GetSpecificPortMappingEntry", {"", "0", "TCP"}, &out), 0u);
  EXPECT_EQ(out, (std::vector<std::string>{"0", "0.0.0.0", "0", "Dummy inactive rule for windows to work", "0"}));
  ASSERT_EQ(call(mService, "GetGenericPortMappingEntry", {"1"}, &out), 0u);
  EXPECT_EQ(out, (std::vector<std::string>{"", "0", "TCP", "5", "192.168.88.20", "1", "real", "0"}));
}

TEST_F(PortMappingTableTest, WithoutDummyEntryOnlyRealEntriesShow) {
  mService.showDummyRule = false;
  mService.refreshEntryCount();
  std::vector<std::string> out;
  EXPECT_EQ(count(), "0");
  EXPECT_EQ(call(mService, "GetGenericPortMappingEntry", {"0"}, &out), 713u);
  EXPECT_EQ(call(mService, "GetSpecificPortMappingEntry", {"", "0", "TCP"}, &out), 714u);
  ASSERT_EQ(add(addArgs("", "0", "TCP", "5", "192.168.88.20", "1", "real")), 0u);
  EXPECT_EQ(count(), "1");
  ASSERT_EQ(call(mService, "GetSpecificPortMappingEntry", {"", "0", "TCP"}, &out), 0u);
  EXPECT_EQ(out, (std::vector<std::string>{"5", "192.168.88.20", "1", "real", "0"}));
  ASSERT_EQ(call(mService, "GetGenericPortMappingEntry", {"0"}, &out), 0u);
  EXPECT_EQ(out[3], "5");
}

TEST_F(PortMappingTableTest, SpecificEntryMatchesTheExactKey) {
  ASSERT_EQ(add(addArgs("203.0.113.9", "18080", "UDP", "90", "192.168.88.20", "true", "d")), 0u);
  ASSERT_EQ(add(addArgs("not an address", "18080", "UDP", "91", "192.168.88.20", "no", "e")), 0u);
  std::vector<std::string> out;
  ASSERT_EQ(call(mService, "GetSpecificPortMappingEntry", {"203.0.113.9", "18080", "UDP"}, &out), 0u);
  EXPECT_EQ(out, (std::vector<std::string>{"90", "192.168.88.20", "1", "d", "0"}));
  ASSERT_EQ(call(mService, "GetSpecificPortMappingEntry", {"", "18080", "UDP"}, &out), 0u);
  EXPECT_EQ(out, (std::vector<std::string>{"91", "192.168.88.20", "0", "e", "0"}));
  EXPECT_EQ(call(mService, "GetSpecificPortMappingEntry", {"203.0.113.10", "18080", "UDP"}, &out), 714u);
  EXPECT_EQ(call(mService, "GetSpecificPortMappingEntry", {"203.0.113.9", "18080", "TCP"}, &out), 714u);
}

TEST_F(PortMappingTableTest, ListingFollowsHostThenPortThenProtocol) {
  // Added out of order; 10.0.0.2 < 9.0.0.1 byte-wise but not numerically.
  const std::vector<std::vector<std::string>> adds = {
      {"10.0.0.2", "18001", "UDP"}, {"", "18002", "UDP"},         {"9.0.0.1", "18001", "TCP"},
      {"", "18002", "TCP"},         {"10.0.0.2", "18000", "TCP"}, {"", "18001", "TCP"},
      {"10.0.0.2", "18001", "TCP"},
  };
  for (const auto& a : adds) ASSERT_EQ(add(addArgs(a[0], a[1], a[2])), 0u) << a[0] << a[1] << a[2];
  const std::vector<std::string> expected = {"/18001/TCP",         "/18002/TCP",         "/18002/UDP",
                                             "9.0.0.1/18001/TCP",  "10.0.0.2/18000/TCP", "10.0.0.2/18001/TCP",
                                             "10.0.0.2/18001/UDP"};
  std::vector<std::string> listed;
  std::vector<std::string> out;
  for (uint32_t i = 1; call(mService, "GetGenericPortMappingEntry", {std::to_string(i)}, &out) == 0; ++i)
    listed.push_back(out[0] + "/" + out[1] + "/" + out[2]);
  EXPECT_EQ(listed, expected);
}

TEST_F(PortMappingTableTest, EntryAtAgreesWithTheMapUnderChanges) {
  std::mt19937 random(12345);
  PortMappingTable& table = mService.mappings;
  mService.showDummyRule = false;
  for (int i = 0; i < 300; ++i) ASSERT_EQ(add(addArgs("", std::to_string(20000 + i * 3), "TCP")), 0u);
  for (int round = 0; round < 400; ++round) {
    const size_t index = random() % (table.size() + 2);
    const auto expected = index < table.size() ? std::next(table.entries().begin(), index) : table.entries().end();
    ASSERT_TRUE(table.entryAt(index) == expected) << "round " << round << " index " << index;
    if (round % 7 == 0) {  // a change between lookups must not leave a stale position behind
      const auto victim = std::next(table.entries().begin(), random() % table.size());
      const std::string port = std::to_string(victim->first.externalPort);
      ASSERT_EQ(del("", port, "TCP"), 0u);
      ASSERT_EQ(add(addArgs("", std::to_string(20001 + round), "TCP")), 0u);
    }
  }
}

TEST_F(PortMappingTableTest, AddressChangeSendsOneSetPerMapping) {
  ASSERT_EQ(add(addArgs("", "18080", "TCP")), 0u);
  ASSERT_EQ(add(addArgs("", "18081", "UDP")), 0u);
  ASSERT_EQ(add(addArgs("203.0.113.9", "18080", "TCP")), 0u);
  const size_t before = natLog().size();
  const IPAddr next = *IPAddr::parse("127.0.0.2");
  mService.setExternalIp(next);
  drain();
  ASSERT_EQ(natLog().size(), before + 3);
  std::vector<uint32_t> ruleIds;
  for (size_t i = before; i < natLog().size(); ++i) {
    const auto& logged = natLog()[i];
    EXPECT_EQ(logged.command, bus::kCmdSetObject);
    EXPECT_EQ(logged.result, 0u);
    EXPECT_EQ(fieldIds(logged.fields), (std::vector<uint32_t>{0xff0001, 0xfe0001, 419, 52, 53}));
    EXPECT_TRUE(logged.fields.getBool(419));
    EXPECT_EQ(logged.fields.getBe32(52), next);
    EXPECT_EQ(logged.fields.getBe32(53), next);
    ruleIds.push_back(logged.fields.getU32(0xfe0001));
  }
  std::vector<uint32_t> inTableOrder;
  for (const auto& [key, mapping] : mService.mappings.entries()) inTableOrder.push_back(mapping.ruleId);
  EXPECT_EQ(ruleIds, inTableOrder);
  for (const auto& [id, rule] : mNat.rules()) EXPECT_EQ(rule.getBe32(52), next) << id;
}

TEST_F(PortMappingTableTest, CleanupRemovesEveryRuleDespiteErrors) {
  for (const char* port : {"18080", "18081", "18082"}) ASSERT_EQ(add(addArgs("", port, "TCP")), 0u);
  failNextNat(bus::kCmdRemoveObject, bus::kErrFailed, "stuck");
  const size_t before = natLog().size();
  ::testing::internal::CaptureStdout();
  mService.cleanupMappings();
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "on cleanup remove nat failed: stuck\n");
  ASSERT_EQ(natLog().size(), before + 3);
  for (size_t i = before; i < natLog().size(); ++i) EXPECT_EQ(natLog()[i].command, bus::kCmdRemoveObject);
  EXPECT_EQ(mNat.rules().size(), 1u);  // the one the firewall refused to remove
  EXPECT_EQ(mService.mappings.size(), 0u);
}

}  // namespace
}  // namespace upnp::test
