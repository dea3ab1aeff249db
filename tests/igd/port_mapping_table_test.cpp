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

using Strings = std::vector<std::string>;

constexpr uint32_t kIfId = 7;
const IPAddr kLoopback = *IPAddr::parse("127.0.0.1");
const IPAddr kClient = *IPAddr::parse("192.168.88.20");
const char* const kDummy = "Dummy inactive rule for windows to work";

// AddPortMapping inputs in declared order.
Strings addArgs(const std::string& remote, const std::string& port, const std::string& proto,
                const std::string& internalPort = "80", const std::string& client = "192.168.88.20",
                const std::string& enabled = "1", const std::string& description = "web",
                const std::string& lease = "0") {
  return {remote, port, proto, internalPort, client, enabled, description, lease};
}

class PortMappingTableTest : public IgdTest {
 protected:
  PortMappingTableTest() : mService(kIfId, kLoopback) {}

  uint32_t add(Strings args, const char* requester = "192.168.88.20") {
    return call(mService, "AddPortMapping", std::move(args), nullptr, requester);
  }
  uint32_t del(const std::string& remote, const std::string& port, const std::string& proto) {
    return call(mService, "DeletePortMapping", {remote, port, proto});
  }
  std::string count() { return value(mService, "PortMappingNumberOfEntries"); }
  const PortMapping& only(const std::string& port, uint32_t protocol = kProtocolTcp) {
    PortMappingKey key;
    key.externalPort = static_cast<uint16_t>(std::stoul(port));
    key.protocol = protocol;
    return mService.mappings.entries().at(key);
  }
  // The router log lines since the last call.
  Strings routerLines() {
    drain();
    Strings lines;
    lines.swap(mLog.lines);
    return lines;
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

// The NAT requests are pinned as message::toString texts: every field's id,
// type and value, in order.
TEST_F(PortMappingTableTest, AddRequestCarriesEveryFieldInWireOrderAndTheRuleIdIsKept) {
  const struct {
    Strings args;
    const char* request;
    const char* debug;
    const char* routerLine;
  } cases[] = {
      {addArgs("", "18080", "TCP", "8080", "192.168.88.20", "0", "web"),
       "{0xff0001=arr:[20,5], 0xfe0007=bool:true, 0xfe000a=bool:true, 0xfe0009=str:\"upnp 192.168.88.20: web\", "
       "39=str:\"dstnat\", 400=bool:true, 1=u32:7, 419=bool:true, 52=be32:127.0.0.1, 53=be32:127.0.0.1, "
       "440=bool:true, 99=arr:[18080,18080], 404=bool:true, 11=u32:6, 40=u32:22, 1006=bool:true, "
       "1000=be32:192.168.88.20, 1001=be32:192.168.88.20, 1007=bool:true, 1002=u32:8080, 1003=u32:8080}",
       "add map 0.0.0.0 18080->8080, 192.168.88.20\n",
       "add mapping: proto:TCP, ports:18080->8080, internal ip:192.168.88.20"},
      // A remote host adds the source group; UDP is protocol 17.
      {addArgs("203.0.113.9", "18081", "UDP", "81", "192.168.88.20", "yes", "game"),
       "{0xff0001=arr:[20,5], 0xfe0007=bool:true, 0xfe000a=bool:false, 0xfe0009=str:\"upnp 192.168.88.20: game\", "
       "39=str:\"dstnat\", 400=bool:true, 1=u32:7, 418=bool:true, 50=be32:203.0.113.9, 51=be32:203.0.113.9, "
       "419=bool:true, 52=be32:127.0.0.1, 53=be32:127.0.0.1, 440=bool:true, 99=arr:[18081,18081], 404=bool:true, "
       "11=u32:17, 40=u32:22, 1006=bool:true, 1000=be32:192.168.88.20, 1001=be32:192.168.88.20, 1007=bool:true, "
       "1002=u32:81, 1003=u32:81}",
       "add map 203.0.113.9 18081->81, 192.168.88.20\n",
       "add mapping: proto:UDP, ports:18081->81, internal ip:192.168.88.20"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(stdoutOf([&] { EXPECT_EQ(add(c.args), 0u); }), c.debug);
    EXPECT_EQ(natLog().back().command, bus::kCmdAddObject);
    EXPECT_EQ(natLog().back().fields.toString(), c.request);
    EXPECT_EQ(routerLines(), Strings{c.routerLine});
    EXPECT_EQ(mLog.topics.back(), 67u);
  }
  EXPECT_EQ(only("18080").ruleId, natLog()[0].ruleId);
}

TEST_F(PortMappingTableTest, RefusalsChangeNothingAndSendNothing) {
  BusyPort busy;  // TCP only
  const struct {
    const char* name;
    Strings args;
    uint32_t result;
    const char* debug;
  } cases[] = {
      {"wildcard port", addArgs("", "", "TCP"), 716, "addPortMapping: EXT_PORT_NO_WILDCARD\n"},
      {"lease", addArgs("", "18080", "TCP", "80", "192.168.88.20", "1", "x", "3600"), 725,
       "addPortMapping: ONLY_PERM_LEASES\n"},
      {"port busy", addArgs("", busy.port(), "TCP"), 729, "addPortMapping: CONFLICT_WITH_OTHER, port busy\n"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(stdoutOf([&] { EXPECT_EQ(add(c.args), c.result) << c.name; }), c.debug) << c.name;
  }
  EXPECT_TRUE(natLog().empty());
  EXPECT_EQ(mService.mappings.size(), 0u);
  EXPECT_EQ(count(), "1");
  // The probe uses the socket type of the protocol.
  EXPECT_EQ(add(addArgs("", busy.port(), "UDP")), 0u);
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
  routerLines();
  EXPECT_EQ(stdoutOf([&] { ASSERT_EQ(add(addArgs("", "18080", "TCP", "81", "192.168.88.20", "0", "new")), 0u); }),
            "set map 0.0.0.0 18080->81, 192.168.88.20\n");
  EXPECT_EQ(natLog().back().command, bus::kCmdSetObject);
  EXPECT_EQ(natLog().back().fields.toString(),
            "{0xff0001=arr:[20,5], 0xfe0001=u32:" + std::to_string(ruleId) +
                ", 0xfe000a=bool:true, 1000=be32:192.168.88.20, 1001=be32:192.168.88.20, 1002=u32:81, 1003=u32:81}");
  const PortMapping& stored = only("18080");
  EXPECT_EQ(stored.ruleId, ruleId);
  EXPECT_EQ(stored.internalPort, 81);
  EXPECT_FALSE(stored.enabled);
  EXPECT_EQ(stored.description, "new");
  EXPECT_EQ(count(), "2");
  EXPECT_EQ(routerLines(), Strings{"set mapping: proto:TCP, ports:18080->81, internal ip:192.168.88.20"});
}

TEST_F(PortMappingTableTest, UpdateFromOtherClientIsRefused) {
  ASSERT_EQ(add(addArgs("", "18080", "TCP")), 0u);
  EXPECT_EQ(stdoutOf([&] { EXPECT_EQ(add(addArgs("", "18080", "TCP", "80", "192.168.88.21")), 718u); }),
            "set map 0.0.0.0 18080->80, 192.168.88.21\n"
            "addPortMapping: CONFLICT_IN_ENTRY 192.168.88.21 != 192.168.88.20\n");
  EXPECT_EQ(natLog().size(), 1u);
  EXPECT_EQ(only("18080").internalClient, kClient);
}

TEST_F(PortMappingTableTest, LostRuleIsAddedAgainInTheSameMessage) {
  ASSERT_EQ(add(addArgs("", "18080", "TCP", "80", "192.168.88.20", "1", "old")), 0u);
  const uint32_t oldRule = only("18080").ruleId;
  removeRuleBehindOurBack(oldRule);
  EXPECT_EQ(stdoutOf([&] { ASSERT_EQ(add(addArgs("", "18080", "TCP", "82", "192.168.88.20", "1", "again")), 0u); }),
            "set map 0.0.0.0 18080->82, 192.168.88.20\n"
            "set nat failed: no such rule\n"
            "add map 0.0.0.0 18080->82, 192.168.88.20\n");
  // The failed set's fields first, then the add's fields that it lacked.
  const auto& logged = natLog().back();
  EXPECT_EQ(logged.command, bus::kCmdAddObject);
  EXPECT_EQ(logged.fields.toString(),
            "{0xff0001=arr:[20,5], 0xfe0001=u32:" + std::to_string(oldRule) +
                ", 0xfe000a=bool:false, 1000=be32:192.168.88.20, 1001=be32:192.168.88.20, 1002=u32:82, "
                "1003=u32:82, 0xfe0007=bool:true, 0xfe0009=str:\"upnp 192.168.88.20: again\", 39=str:\"dstnat\", "
                "400=bool:true, 1=u32:7, 419=bool:true, 52=be32:127.0.0.1, 53=be32:127.0.0.1, 440=bool:true, "
                "99=arr:[18080,18080], 404=bool:true, 11=u32:6, 40=u32:22, 1006=bool:true, 1007=bool:true}");
  EXPECT_NE(logged.ruleId, oldRule);
  EXPECT_EQ(only("18080").ruleId, logged.ruleId);
  EXPECT_EQ(only("18080").internalPort, 82);
  EXPECT_EQ(mService.mappings.size(), 1u);
}

TEST_F(PortMappingTableTest, FirewallErrorsGive501AndKeepTheOldEntry) {
  failNextNat(bus::kCmdAddObject, bus::kErrFailed, "boom");
  EXPECT_EQ(stdoutOf([&] { EXPECT_EQ(add(addArgs("", "18080", "TCP")), 501u); }),
            "add map 0.0.0.0 18080->80, 192.168.88.20\nadd nat failed: boom\n");
  EXPECT_EQ(mService.mappings.size(), 0u);
  EXPECT_EQ(count(), "1");

  ASSERT_EQ(add(addArgs("", "18080", "TCP", "80", "192.168.88.20", "1", "old")), 0u);
  const uint32_t ruleId = only("18080").ruleId;
  failNextNat(bus::kCmdSetObject, bus::kErrFailed, "busy");
  EXPECT_EQ(add(addArgs("", "18080", "TCP", "99")), 501u);
  EXPECT_EQ(natLog().back().command, bus::kCmdSetObject);  // no fallback add

  removeRuleBehindOurBack(ruleId);
  failNextNat(bus::kCmdAddObject, bus::kErrFailed, "table full");
  EXPECT_EQ(add(addArgs("", "18080", "TCP", "82")), 501u);  // the fallback add fails too
  EXPECT_EQ(only("18080").ruleId, ruleId);
  EXPECT_EQ(only("18080").internalPort, 80);
  EXPECT_EQ(only("18080").description, "old");
}

TEST_F(PortMappingTableTest, DeleteRemovesRuleAndEntry) {
  ASSERT_EQ(add(addArgs("", "18080", "TCP", "8080")), 0u);
  const uint32_t ruleId = only("18080").ruleId;
  routerLines();
  EXPECT_EQ(stdoutOf([&] { EXPECT_EQ(del("", "18080", "TCP"), 0u); }), "del map 18080\n");
  const auto& logged = natLog().back();
  EXPECT_EQ(logged.command, bus::kCmdRemoveObject);
  EXPECT_EQ(logged.fields.toString(), "{0xff0001=arr:[20,5], 0xfe0001=u32:" + std::to_string(ruleId) + "}");
  EXPECT_TRUE(mNat.rules().empty());
  EXPECT_EQ(count(), "1");
  EXPECT_EQ(routerLines(), Strings{"remove mapping: proto:TCP, ports:18080->8080, internal ip:192.168.88.20"});
}

TEST_F(PortMappingTableTest, DeleteOfUnknownKeyIs714AndARefusedRemoveStillForgetsTheEntry) {
  ASSERT_EQ(add(addArgs("203.0.113.9", "18080", "TCP")), 0u);
  const std::string noSuchEntry = "deletePortMapping: NO_SUCH_ENTRY\n";
  EXPECT_EQ(stdoutOf([&] {
              EXPECT_EQ(del("", "18080", "TCP"), 714u);  // other remote host
              EXPECT_EQ(del("203.0.113.9", "18080", "UDP"), 714u);
              EXPECT_EQ(del("", "0", "TCP"), 714u);  // the dummy entry
            }),
            noSuchEntry + noSuchEntry + noSuchEntry);
  EXPECT_EQ(mService.mappings.size(), 1u);

  failNextNat(bus::kCmdRemoveObject, bus::kErrFailed, "stuck");
  EXPECT_EQ(stdoutOf([&] { EXPECT_EQ(del("203.0.113.9", "18080", "TCP"), 501u); }),
            "del map 18080\nremove nat failed: stuck\n");
  EXPECT_EQ(mService.mappings.size(), 0u);
  EXPECT_EQ(count(), "1");
}

TEST_F(PortMappingTableTest, DummyEntryOnAndOffForBothGetActionsAndTheCount) {
  const Strings dummyGeneric = {"", "0", "TCP", "0", "0.0.0.0", "0", kDummy, "0"};
  const Strings realGeneric = {"", "0", "TCP", "5", "192.168.88.20", "1", "real", "0"};
  const Strings dummySpecific = {"0", "0.0.0.0", "0", kDummy, "0"};
  const Strings realSpecific = {"5", "192.168.88.20", "1", "real", "0"};
  for (const bool dummy : {true, false}) {
    SCOPED_TRACE(dummy ? "with dummy" : "without dummy");
    WANIPConnectionService service(kIfId, kLoopback);
    service.showDummyRule = dummy;
    service.refreshEntryCount();
    Strings out;
    EXPECT_EQ(value(service, "PortMappingNumberOfEntries"), dummy ? "1" : "0");
    EXPECT_EQ(call(service, "GetGenericPortMappingEntry", {"0"}, &out), dummy ? 0u : 713u);
    if (dummy) {
      EXPECT_EQ(out, dummyGeneric);
    }
    EXPECT_EQ(call(service, "GetGenericPortMappingEntry", {"1"}, &out), 713u);
    EXPECT_EQ(call(service, "GetSpecificPortMappingEntry", {"", "0", "TCP"}, &out), dummy ? 0u : 714u);

    // A real mapping of port 0 TCP: behind the dummy, which still wins the
    // specific lookup.
    ASSERT_EQ(call(service, "AddPortMapping", addArgs("", "0", "TCP", "5", "192.168.88.20", "1", "real")), 0u);
    EXPECT_EQ(value(service, "PortMappingNumberOfEntries"), dummy ? "2" : "1");
    ASSERT_EQ(call(service, "GetGenericPortMappingEntry", {dummy ? "1" : "0"}, &out), 0u);
    EXPECT_EQ(out, realGeneric);
    ASSERT_EQ(call(service, "GetSpecificPortMappingEntry", {"", "0", "TCP"}, &out), 0u);
    EXPECT_EQ(out, dummy ? dummySpecific : realSpecific);
  }
}

TEST_F(PortMappingTableTest, SpecificEntryMatchesTheExactKey) {
  ASSERT_EQ(add(addArgs("203.0.113.9", "18080", "UDP", "90", "192.168.88.20", "true", "d")), 0u);
  ASSERT_EQ(add(addArgs("not an address", "18080", "UDP", "91", "192.168.88.20", "no", "e")), 0u);
  Strings out;
  ASSERT_EQ(call(mService, "GetSpecificPortMappingEntry", {"203.0.113.9", "18080", "UDP"}, &out), 0u);
  EXPECT_EQ(out, (Strings{"90", "192.168.88.20", "1", "d", "0"}));
  ASSERT_EQ(call(mService, "GetSpecificPortMappingEntry", {"", "18080", "UDP"}, &out), 0u);
  EXPECT_EQ(out, (Strings{"91", "192.168.88.20", "0", "e", "0"}));
  EXPECT_EQ(call(mService, "GetSpecificPortMappingEntry", {"203.0.113.10", "18080", "UDP"}, &out), 714u);
  EXPECT_EQ(call(mService, "GetSpecificPortMappingEntry", {"203.0.113.9", "18080", "TCP"}, &out), 714u);
}

TEST_F(PortMappingTableTest, ListingFollowsHostThenPortThenProtocol) {
  // Added out of order; 10.0.0.2 < 9.0.0.1 byte-wise but not numerically.
  const std::vector<Strings> adds = {
      {"10.0.0.2", "18001", "UDP"}, {"", "18002", "UDP"},         {"9.0.0.1", "18001", "TCP"},
      {"", "18002", "TCP"},         {"10.0.0.2", "18000", "TCP"}, {"", "18001", "TCP"},
      {"10.0.0.2", "18001", "TCP"},
  };
  for (const auto& a : adds) ASSERT_EQ(add(addArgs(a[0], a[1], a[2])), 0u) << a[0] << a[1] << a[2];
  const Strings expected = {"/18001/TCP",         "/18002/TCP",         "/18002/UDP",        "9.0.0.1/18001/TCP",
                            "10.0.0.2/18000/TCP", "10.0.0.2/18001/TCP", "10.0.0.2/18001/UDP"};
  Strings listed, out;
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
      ASSERT_EQ(del("", std::to_string(victim->first.externalPort), "TCP"), 0u);
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
  auto mapping = mService.mappings.entries().begin();
  for (size_t i = before; i < natLog().size(); ++i, ++mapping) {  // in table order
    EXPECT_EQ(natLog()[i].command, bus::kCmdSetObject);
    EXPECT_EQ(natLog()[i].result, 0u);
    EXPECT_EQ(natLog()[i].fields.toString(), "{0xff0001=arr:[20,5], 0xfe0001=u32:" +
                                                 std::to_string(mapping->second.ruleId) +
                                                 ", 419=bool:true, 52=be32:127.0.0.2, 53=be32:127.0.0.2}");
  }
  for (const auto& [id, rule] : mNat.rules()) EXPECT_EQ(rule.getBe32(52), next) << id;
}

TEST_F(PortMappingTableTest, CleanupRemovesEveryRuleDespiteErrors) {
  for (const char* port : {"18080", "18081", "18082"}) ASSERT_EQ(add(addArgs("", port, "TCP")), 0u);
  failNextNat(bus::kCmdRemoveObject, bus::kErrFailed, "stuck");
  const size_t before = natLog().size();
  EXPECT_EQ(stdoutOf([&] { mService.cleanupMappings(); }), "on cleanup remove nat failed: stuck\n");
  ASSERT_EQ(natLog().size(), before + 3);
  for (size_t i = before; i < natLog().size(); ++i) EXPECT_EQ(natLog()[i].command, bus::kCmdRemoveObject);
  EXPECT_EQ(mNat.rules().size(), 1u);  // the one the firewall refused to remove
  EXPECT_EQ(mService.mappings.size(), 0u);
}

}  // namespace
}  // namespace upnp::test
