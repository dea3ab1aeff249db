#include "igd/port_mapping_table.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <iterator>
#include <random>

#include "igd/wan_ip_connection_service.h"
#include "platform/net.h"
#include "tests/igd/igd_fixture.h"

namespace upnp::test {
namespace {

constexpr uint32_t kIfId = 7;
const IPAddr kLoopback = *IPAddr::parse("127.0.0.1");
const char* const kDummy = "Dummy inactive rule for windows to work";

// AddPortMapping inputs in declared order.
Strings addArgs(const std::string& remote, const std::string& port, const std::string& proto,
                const std::string& internalPort = "80", const std::string& client = "192.168.88.20",
                const std::string& enabled = "1", const std::string& description = "web",
                const std::string& lease = "0") {
  return {remote, port, proto, internalPort, client, enabled, description, lease};
}

std::string ruleText(uint32_t ruleId) { return "{0xff0001=arr:[20,5], 0xfe0001=u32:" + std::to_string(ruleId); }

class PortMappingTableTest : public IgdTest {
 protected:
  uint32_t add(const Strings& args) { return call(mService, "AddPortMapping", args); }
  uint32_t del(const std::string& remote, const std::string& port, const std::string& proto) {
    return call(mService, "DeletePortMapping", {remote, port, proto});
  }
  std::string count() { return value(mService, "PortMappingNumberOfEntries"); }
  const PortMapping& entry(uint16_t port) { return mService.mappings.entries().at(PortMappingKey{IPAddr(), port}); }
  void loseRule(uint32_t ruleId) {  // behind the daemon's back
    bus::message request;
    request.setU32(bus::kFieldObjectId, ruleId);
    natRequest(request, bus::kCmdRemoveObject);
  }

  WANIPConnectionService mService{kIfId, kLoopback, mRouterLog};
};

// The NAT requests are the wire: every field's id, type and value, in order.
TEST_F(PortMappingTableTest, AddRequestCarriesEveryFieldInWireOrderAndTheRuleIdIsKept) {
  const struct {
    Strings args;
    const char* request;
    const char* routerLine;
  } cases[] = {
      {addArgs("", "18080", "TCP", "8080", "192.168.88.20", "0", "web"),
       "{0xff0001=arr:[20,5], 0xfe0007=bool:true, 0xfe000a=bool:true, 0xfe0009=str:\"upnp 192.168.88.20: web\", "
       "39=str:\"dstnat\", 400=bool:true, 1=u32:7, 419=bool:true, 52=be32:127.0.0.1, 53=be32:127.0.0.1, "
       "440=bool:true, 99=arr:[18080,18080], 404=bool:true, 11=u32:6, 40=u32:22, 1006=bool:true, "
       "1000=be32:192.168.88.20, 1001=be32:192.168.88.20, 1007=bool:true, 1002=u32:8080, 1003=u32:8080}",
       "add mapping: proto:TCP, ports:18080->8080, internal ip:192.168.88.20"},
      // A remote host adds the source group; UDP is protocol 17.
      {addArgs("203.0.113.9", "18081", "UDP", "81", "192.168.88.21", "yes", "game"),
       "{0xff0001=arr:[20,5], 0xfe0007=bool:true, 0xfe000a=bool:false, 0xfe0009=str:\"upnp 192.168.88.20: game\", "
       "39=str:\"dstnat\", 400=bool:true, 1=u32:7, 418=bool:true, 50=be32:203.0.113.9, 51=be32:203.0.113.9, "
       "419=bool:true, 52=be32:127.0.0.1, 53=be32:127.0.0.1, 440=bool:true, 99=arr:[18081,18081], 404=bool:true, "
       "11=u32:17, 40=u32:22, 1006=bool:true, 1000=be32:192.168.88.21, 1001=be32:192.168.88.21, 1007=bool:true, "
       "1002=u32:81, 1003=u32:81}",
       "add mapping: proto:UDP, ports:18081->81, internal ip:192.168.88.21"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(add(c.args), 0u);
    EXPECT_EQ(lastNat().command, bus::kCmdAddObject);
    EXPECT_EQ(lastNat().fields.toString(), c.request);
    EXPECT_EQ(routerLines(), Strings{c.routerLine});
  }
  EXPECT_EQ(entry(18080).ruleId, natLog()[0].ruleId);
  EXPECT_EQ(count(), "3");  // the dummy entry and both mappings
}

TEST_F(PortMappingTableTest, RefusalsChangeNothingAndSendNothing) {
  net::Socket busy(socket(AF_INET, SOCK_STREAM, 0));  // a local TCP service on the external address
  sockaddr_in bound = net::socketAddress(kLoopback, 0);
  socklen_t length = sizeof(bound);
  ASSERT_EQ(bind(busy.fd(), reinterpret_cast<sockaddr*>(&bound), sizeof(bound)), 0);
  ASSERT_EQ(getsockname(busy.fd(), reinterpret_cast<sockaddr*>(&bound), &length), 0);
  const std::string port = std::to_string(ntohs(bound.sin_port));
  const std::pair<Strings, uint32_t> cases[] = {
      {addArgs("", "", "TCP"), 716},
      {addArgs("", "18080", "TCP", "80", "192.168.88.20", "1", "x", "3600"), 725},
      {addArgs("", port, "TCP"), 729},
  };
  for (const auto& [args, result] : cases) EXPECT_EQ(add(args), result) << args[1];
  EXPECT_TRUE(natLog().empty());
  EXPECT_EQ(count(), "1");
  EXPECT_EQ(add(addArgs("", port, "UDP")), 0u);  // the probe uses the protocol's socket type
}

TEST_F(PortMappingTableTest, UpdateFromTheSameClientSetsTheRuleInPlaceAndOtherClientsAreRefused) {
  ASSERT_EQ(add(addArgs("", "18080", "TCP", "80", "192.168.88.20", "1", "old")), 0u);
  const uint32_t ruleId = entry(18080).ruleId;
  routerLines();
  EXPECT_EQ(add(addArgs("", "18080", "TCP", "80", "192.168.88.21")), 718u);
  EXPECT_EQ(natLog().size(), 1u);

  ASSERT_EQ(add(addArgs("", "18080", "TCP", "81", "192.168.88.20", "0", "new")), 0u);
  EXPECT_EQ(lastNat().command, bus::kCmdSetObject);
  EXPECT_EQ(lastNat().fields.toString(), ruleText(ruleId) +
                                             ", 0xfe000a=bool:true, 1000=be32:192.168.88.20, "
                                             "1001=be32:192.168.88.20, 1002=u32:81, 1003=u32:81}");
  const PortMapping& stored = entry(18080);
  EXPECT_EQ(stored.ruleId, ruleId);
  EXPECT_EQ(stored.internalPort, 81);
  EXPECT_FALSE(stored.enabled);
  EXPECT_EQ(stored.description, "new");
  EXPECT_EQ(stored.internalClient.toString(), "192.168.88.20");
  EXPECT_EQ(count(), "2");
  EXPECT_EQ(routerLines(), Strings{"set mapping: proto:TCP, ports:18080->81, internal ip:192.168.88.20"});
}

TEST_F(PortMappingTableTest, LostRuleIsAddedAgainInTheSameMessage) {
  ASSERT_EQ(add(addArgs("", "18080", "TCP", "80", "192.168.88.20", "1", "old")), 0u);
  const uint32_t oldRule = entry(18080).ruleId;
  loseRule(oldRule);
  ASSERT_EQ(add(addArgs("", "18080", "TCP", "82", "192.168.88.20", "1", "again")), 0u);
  // The failed set's fields first, then the add's fields that it lacked.
  EXPECT_EQ(natLog()[natLog().size() - 2].command, bus::kCmdSetObject);
  EXPECT_EQ(lastNat().command, bus::kCmdAddObject);
  EXPECT_EQ(lastNat().fields.toString(),
            ruleText(oldRule) +
                ", 0xfe000a=bool:false, 1000=be32:192.168.88.20, 1001=be32:192.168.88.20, 1002=u32:82, "
                "1003=u32:82, 0xfe0007=bool:true, 0xfe0009=str:\"upnp 192.168.88.20: again\", 39=str:\"dstnat\", "
                "400=bool:true, 1=u32:7, 419=bool:true, 52=be32:127.0.0.1, 53=be32:127.0.0.1, 440=bool:true, "
                "99=arr:[18080,18080], 404=bool:true, 11=u32:6, 40=u32:22, 1006=bool:true, 1007=bool:true}");
  EXPECT_NE(lastNat().ruleId, oldRule);
  EXPECT_EQ(entry(18080).ruleId, lastNat().ruleId);
  EXPECT_EQ(entry(18080).internalPort, 82);
  EXPECT_EQ(mService.mappings.size(), 1u);
  EXPECT_EQ(mNat.rules().size(), 1u);
}

TEST_F(PortMappingTableTest, FirewallErrorsGive501AndKeepTheOldEntry) {
  failNextNat(bus::kCmdAddObject);
  EXPECT_EQ(add(addArgs("", "18080", "TCP")), 501u);
  EXPECT_EQ(mService.mappings.size(), 0u);
  EXPECT_EQ(count(), "1");
  EXPECT_TRUE(routerLines().empty());

  ASSERT_EQ(add(addArgs("", "18080", "TCP", "80", "192.168.88.20", "1", "old")), 0u);
  const uint32_t ruleId = entry(18080).ruleId;
  failNextNat(bus::kCmdSetObject);
  EXPECT_EQ(add(addArgs("", "18080", "TCP", "99")), 501u);
  EXPECT_EQ(lastNat().command, bus::kCmdSetObject);  // no fallback add

  loseRule(ruleId);
  failNextNat(bus::kCmdAddObject);
  EXPECT_EQ(add(addArgs("", "18080", "TCP", "82")), 501u);  // the fallback add fails too
  EXPECT_EQ(entry(18080).ruleId, ruleId);
  EXPECT_EQ(entry(18080).internalPort, 80);
  EXPECT_EQ(entry(18080).description, "old");
}

TEST_F(PortMappingTableTest, DeleteRemovesRuleAndEntryEvenWhenTheFirewallRefuses) {
  ASSERT_EQ(add(addArgs("", "18080", "TCP", "8080")), 0u);
  ASSERT_EQ(add(addArgs("203.0.113.9", "18080", "TCP")), 0u);
  const uint32_t ruleId = entry(18080).ruleId;
  routerLines();
  for (const Strings& key : {Strings{"", "18081", "TCP"}, Strings{"", "18080", "UDP"},
                             Strings{"203.0.113.8", "18080", "TCP"}, Strings{"", "0", "TCP"}})
    EXPECT_EQ(del(key[0], key[1], key[2]), 714u) << key[0] << key[1] << key[2];
  EXPECT_EQ(natLog().size(), 2u);

  EXPECT_EQ(del("", "18080", "TCP"), 0u);
  EXPECT_EQ(lastNat().command, bus::kCmdRemoveObject);
  EXPECT_EQ(lastNat().fields.toString(), ruleText(ruleId) + "}");
  EXPECT_EQ(mNat.rules().size(), 1u);
  EXPECT_EQ(count(), "2");
  EXPECT_EQ(routerLines(), Strings{"remove mapping: proto:TCP, ports:18080->8080, internal ip:192.168.88.20"});

  failNextNat(bus::kCmdRemoveObject);
  EXPECT_EQ(del("203.0.113.9", "18080", "TCP"), 501u);
  EXPECT_EQ(mService.mappings.size(), 0u);
  EXPECT_EQ(count(), "1");
}

TEST_F(PortMappingTableTest, DummyEntryOnAndOffForBothGetActionsAndTheCount) {
  const Strings dummyGeneric = {"", "0", "TCP", "0", "0.0.0.0", "0", kDummy, "0"};
  const Strings dummySpecific = {"0", "0.0.0.0", "0", kDummy, "0"}, realSpecific = {"5", "192.168.88.20", "1", "real", "0"};
  for (const bool dummy : {true, false}) {
    SCOPED_TRACE(dummy);
    WANIPConnectionService service(kIfId, IPAddr(), mRouterLog);  // address not yet known
    service.showDummyRule = dummy;
    service.refreshEntryCount();
    Strings out;
    EXPECT_EQ(value(service, "PortMappingNumberOfEntries"), dummy ? "1" : "0");
    EXPECT_EQ(call(service, "GetGenericPortMappingEntry", {"0"}, &out), dummy ? 0u : 713u);
    EXPECT_EQ(out, dummy ? dummyGeneric : Strings());
    EXPECT_EQ(call(service, "GetGenericPortMappingEntry", {"1"}, &out), 713u);
    EXPECT_EQ(call(service, "GetSpecificPortMappingEntry", {"", "0", "TCP"}, &out), dummy ? 0u : 714u);

    // A real mapping of port 0 TCP sits behind the dummy, which still wins
    // the specific lookup.
    ASSERT_EQ(call(service, "AddPortMapping", addArgs("", "0", "TCP", "5", "192.168.88.20", "1", "real")), 0u);
    EXPECT_EQ(lastNat().fields.getBe32(52), IPAddr());
    EXPECT_EQ(value(service, "PortMappingNumberOfEntries"), dummy ? "2" : "1");
    ASSERT_EQ(call(service, "GetGenericPortMappingEntry", {dummy ? "1" : "0"}, &out), 0u);
    EXPECT_EQ(out, (Strings{"", "0", "TCP", "5", "192.168.88.20", "1", "real", "0"}));
    ASSERT_EQ(call(service, "GetSpecificPortMappingEntry", {"", "0", "TCP"}, &out), 0u);
    EXPECT_EQ(out, dummy ? dummySpecific : realSpecific);
  }
}

TEST_F(PortMappingTableTest, LookupsMatchTheExactKeyAndListingFollowsHostThenPortThenProtocol) {
  // Added out of order; 10.0.0.2 < 9.0.0.1 byte-wise but not numerically.
  const std::vector<Strings> adds = {
      {"10.0.0.2", "18001", "UDP"}, {"", "18002", "UDP"},         {"9.0.0.1", "18001", "TCP"},
      {"", "18002", "TCP"},         {"10.0.0.2", "18000", "TCP"}, {"not an address", "18001", "TCP"},
      {"10.0.0.2", "18001", "TCP"},
  };
  for (const auto& a : adds) ASSERT_EQ(add(addArgs(a[0], a[1], a[2], "90")), 0u);
  const Strings expected = {"/18001/TCP",         "/18002/TCP",         "/18002/UDP",        "9.0.0.1/18001/TCP",
                            "10.0.0.2/18000/TCP", "10.0.0.2/18001/TCP", "10.0.0.2/18001/UDP"};
  Strings listed, out;
  for (uint32_t i = 1; call(mService, "GetGenericPortMappingEntry", {std::to_string(i)}, &out) == 0; ++i)
    listed.push_back(out[0] + "/" + out[1] + "/" + out[2]);
  EXPECT_EQ(listed, expected);

  ASSERT_EQ(call(mService, "GetSpecificPortMappingEntry", {"10.0.0.2", "18000", "TCP"}, &out), 0u);
  EXPECT_EQ(out, (Strings{"90", "192.168.88.20", "1", "web", "0"}));
  for (const Strings& key : {Strings{"10.0.0.3", "18000", "TCP"}, Strings{"10.0.0.2", "18000", "UDP"},
                             Strings{"", "18000", "TCP"}})
    EXPECT_EQ(call(mService, "GetSpecificPortMappingEntry", key, &out), 714u) << key[0];
}

TEST_F(PortMappingTableTest, EntryAtAgreesWithTheMapUnderChanges) {
  std::mt19937 random(12345);
  const PortMappingTable& table = mService.mappings;
  for (int i = 0; i < 300; ++i) ASSERT_EQ(add(addArgs("", std::to_string(20000 + i * 3), "TCP")), 0u);
  for (int round = 0; round < 400; ++round) {
    const size_t index = random() % (table.size() + 2);
    const auto expected = index < table.size() ? std::next(table.entries().begin(), index) : table.entries().end();
    ASSERT_TRUE(table.entryAt(index) == expected) << "round " << round << " index " << index;
    if (round % 7 == 0) {  // a change between lookups must not leave a stale position behind
      const auto victim = std::next(table.entries().begin(), random() % table.size());
      ASSERT_EQ(del("", std::to_string(victim->first.externalPort), "TCP"), 0u);
      ASSERT_EQ(add(addArgs("", std::to_string(20001 + round), "TCP")), 0u);
    }
  }
}

TEST_F(PortMappingTableTest, AddressChangeRetargetsEveryRuleInTableOrder) {
  ASSERT_EQ(add(addArgs("203.0.113.9", "18080", "TCP")), 0u);
  ASSERT_EQ(add(addArgs("", "18081", "UDP")), 0u);
  ASSERT_EQ(add(addArgs("", "18080", "TCP")), 0u);
  routerLines();
  const size_t before = natLog().size();
  mService.setExternalIp(IPAddr());  // zero: ignored
  mService.setExternalIp(kLoopback);  // same: ignored
  const IPAddr next = *IPAddr::parse("127.0.0.2");
  mService.setExternalIp(next);
  EXPECT_EQ(routerLines(), Strings{"new external ip: 127.0.0.2"});  // also lets the one-way sets arrive
  EXPECT_EQ(mService.externalAddress, next);
  EXPECT_EQ(value(mService, "ExternalIPAddress"), "127.0.0.2");
  ASSERT_EQ(natLog().size(), before + 3);
  auto mapping = mService.mappings.entries().begin();
  for (size_t i = before; i < natLog().size(); ++i, ++mapping) {
    EXPECT_EQ(natLog()[i].command, bus::kCmdSetObject);
    EXPECT_EQ(natLog()[i].fields.toString(),
              ruleText(mapping->second.ruleId) + ", 419=bool:true, 52=be32:127.0.0.2, 53=be32:127.0.0.2}");
  }
  for (const auto& [id, rule] : mNat.rules()) EXPECT_EQ(rule.getBe32(53), next) << id;
}

TEST_F(PortMappingTableTest, CleanupRemovesEveryRuleDespiteErrors) {
  for (const char* port : {"18080", "18081", "18082"}) ASSERT_EQ(add(addArgs("", port, "TCP")), 0u);
  failNextNat(bus::kCmdRemoveObject);
  const size_t before = natLog().size();
  mService.cleanupMappings();
  ASSERT_EQ(natLog().size(), before + 3);
  for (size_t i = before; i < natLog().size(); ++i) EXPECT_EQ(natLog()[i].command, bus::kCmdRemoveObject);
  EXPECT_EQ(mNat.rules().size(), 1u);  // the one the firewall refused to remove
  EXPECT_EQ(mService.mappings.size(), 0u);
}

}  // namespace
}  // namespace upnp::test
