#include "igd/port_mapping_table.h"

#include <netinet/in.h>
#include <sys/socket.h>


#include "platform/net.h"
#include "tests/igd/igd_fixture.h"

namespace upnp::test {
namespace {

std::string ruleText(uint32_t ruleId) { return "{0xff0001=arr:[20,5], 0xfe0001=u32:" + std::to_string(ruleId); }

// The NAT requests are the wire: every field's id, type and value, in order.
TEST_F(IgdTest, AddSendsEveryFieldInWireOrderAndRefusalsSendNothing) {
  net::Socket busy(socket(AF_INET, SOCK_STREAM, 0));  // a local TCP service on the external address
  sockaddr_in bound = net::socketAddress(mService.externalAddress, 0);
  socklen_t length = sizeof(bound);
  ASSERT_EQ(bind(busy.fd(), reinterpret_cast<sockaddr*>(&bound), sizeof(bound)), 0);
  ASSERT_EQ(getsockname(busy.fd(), reinterpret_cast<sockaddr*>(&bound), &length), 0);
  const std::string port = std::to_string(ntohs(bound.sin_port));
  Strings leased = addArgs("", "18080", "TCP");
  leased[7] = "3600";
  for (const auto& [args, result] : {std::pair{addArgs("", "", "TCP"), 716u}, {leased, 725u}, {addArgs("", port, "TCP"), 729u}})
    EXPECT_EQ(add(args), result) << args[1];
  EXPECT_TRUE(natLog().empty());
  EXPECT_EQ(value(mService, "PortMappingNumberOfEntries"), "1");  // the dummy

  ASSERT_EQ(add(addArgs("", "18080", "TCP", "8080", "192.168.88.20", "0", "web")), 0u);
  EXPECT_EQ(lastNat().command, bus::kCmdAddObject);
  EXPECT_EQ(lastNat().fields.toString(),
            "{0xff0001=arr:[20,5], 0xfe0007=bool:true, 0xfe000a=bool:true, 0xfe0009=str:\"upnp 192.168.88.20: web\", "
            "39=str:\"dstnat\", 400=bool:true, 1=u32:7, 419=bool:true, 52=be32:127.0.0.1, 53=be32:127.0.0.1, "
            "440=bool:true, 99=arr:[18080,18080], 404=bool:true, 11=u32:6, 40=u32:22, 1006=bool:true, "
            "1000=be32:192.168.88.20, 1001=be32:192.168.88.20, 1007=bool:true, 1002=u32:8080, 1003=u32:8080}");
  EXPECT_EQ(routerLines(), Strings{"add mapping: proto:TCP, ports:18080->8080, internal ip:192.168.88.20"});
  // A remote host adds the source group before the destination; UDP is protocol 17.
  ASSERT_EQ(add(addArgs("203.0.113.9", "18081", "UDP", "81", "192.168.88.21", "yes")), 0u);
  const std::string udp = lastNat().fields.toString();
  EXPECT_NE(udp.find("1=u32:7, 418=bool:true, 50=be32:203.0.113.9, 51=be32:203.0.113.9, 419=bool:true"), std::string::npos);
  EXPECT_EQ(lastNat().fields.getU32(11), 17u);
  EXPECT_FALSE(lastNat().fields.getBool(0xfe000a, true));
  EXPECT_EQ(entry(18080).ruleId, natLog()[0].ruleId);
  EXPECT_EQ(value(mService, "PortMappingNumberOfEntries"), "3");
  EXPECT_EQ(add(addArgs("", port, "UDP")), 0u);  // the probe uses the protocol's socket type
}

TEST_F(IgdTest, UpdateSetsInPlaceFallsBackToAddAndKeepsTheEntryOnErrors) {
  ASSERT_EQ(add(addArgs("", "18080", "TCP", "80", "192.168.88.20", "1", "old")), 0u);
  const uint32_t ruleId = entry(18080).ruleId;
  routerLines();
  EXPECT_EQ(add(addArgs("", "18080", "TCP", "80", "192.168.88.21")), 718u);
  failNextNat(bus::kCmdSetObject);
  EXPECT_EQ(add(addArgs("", "18080", "TCP", "99")), 501u);
  EXPECT_EQ(natLog().size(), 2u);  // no fallback add after a refused set
  ASSERT_EQ(add(addArgs("", "18080", "TCP", "81", "192.168.88.20", "0", "new")), 0u);
  EXPECT_EQ(lastNat().command, bus::kCmdSetObject);
  EXPECT_EQ(lastNat().fields.toString(),
            ruleText(ruleId) + ", 0xfe000a=bool:true, 1000=be32:192.168.88.20, 1001=be32:192.168.88.20, 1002=u32:81, "
                               "1003=u32:81}");
  EXPECT_EQ(routerLines(), Strings{"set mapping: proto:TCP, ports:18080->81, internal ip:192.168.88.20"});

  bus::message lose;  // the rule vanishes behind the daemon's back
  lose.setU32(bus::kFieldObjectId, ruleId);
  ASSERT_FALSE(bus::isError(natRequest(lose, bus::kCmdRemoveObject)));
  failNextNat(bus::kCmdAddObject);
  EXPECT_EQ(add(addArgs("", "18080", "TCP", "82")), 501u);  // the fallback add fails too
  EXPECT_EQ(entry(18080).ruleId, ruleId);
  EXPECT_EQ(entry(18080).internalPort, 81);
  ASSERT_EQ(add(addArgs("", "18080", "TCP", "82", "192.168.88.20", "1", "again")), 0u);
  // The failed set's fields first, then the add's fields that it lacked.
  EXPECT_EQ(natLog()[natLog().size() - 2].command, bus::kCmdSetObject);
  EXPECT_EQ(lastNat().command, bus::kCmdAddObject);
  EXPECT_EQ(lastNat().fields.toString(),
            ruleText(ruleId) +
                ", 0xfe000a=bool:false, 1000=be32:192.168.88.20, 1001=be32:192.168.88.20, 1002=u32:82, "
                "1003=u32:82, 0xfe0007=bool:true, 0xfe0009=str:\"upnp 192.168.88.20: again\", 39=str:\"dstnat\", "
                "400=bool:true, 1=u32:7, 419=bool:true, 52=be32:127.0.0.1, 53=be32:127.0.0.1, 440=bool:true, "
                "99=arr:[18080,18080], 404=bool:true, 11=u32:6, 40=u32:22, 1006=bool:true, 1007=bool:true}");
  EXPECT_NE(lastNat().ruleId, ruleId);
  EXPECT_EQ(entry(18080).ruleId, lastNat().ruleId);
  EXPECT_EQ(mNat.rules().size(), 1u);
  failNextNat(bus::kCmdAddObject);
  EXPECT_EQ(add(addArgs("", "18081", "TCP")), 501u);
  EXPECT_EQ(mService.mappings.size(), 1u);
}

TEST_F(IgdTest, DeleteRemovesRuleAndEntryEvenWhenTheFirewallRefuses) {
  ASSERT_EQ(add(addArgs("", "18080", "TCP", "8080")), 0u);
  ASSERT_EQ(add(addArgs("203.0.113.9", "18080", "TCP")), 0u);
  const uint32_t ruleId = entry(18080).ruleId;
  routerLines();
  for (const Strings& key : {Strings{"", "18081", "TCP"}, Strings{"", "18080", "UDP"}, Strings{"203.0.113.8", "18080", "TCP"}})
    EXPECT_EQ(del(key[0], key[1], key[2]), 714u) << key[0] << key[1] << key[2];
  EXPECT_EQ(del("", "18080", "TCP"), 0u);
  EXPECT_EQ(lastNat().command, bus::kCmdRemoveObject);
  EXPECT_EQ(lastNat().fields.toString(), ruleText(ruleId) + "}");
  EXPECT_EQ(natLog().size(), 3u);
  EXPECT_EQ(routerLines(), Strings{"remove mapping: proto:TCP, ports:18080->8080, internal ip:192.168.88.20"});
  failNextNat(bus::kCmdRemoveObject);
  EXPECT_EQ(del("203.0.113.9", "18080", "TCP"), 501u);
  EXPECT_EQ(mService.mappings.size(), 0u);
  EXPECT_EQ(value(mService, "PortMappingNumberOfEntries"), "1");
}

TEST_F(IgdTest, DummyEntryOnAndOffForBothGetActionsAndTheCount) {
  for (const bool on : {true, false}) {
    SCOPED_TRACE(on);
    WANIPConnectionService service(7, IPAddr(), mRouterLog);  // address not yet known
    service.showDummyRule = on;
    service.refreshEntryCount();
    Strings out;
    EXPECT_EQ(call(service, "GetGenericPortMappingEntry", {"1"}, &out), 713u);
    EXPECT_EQ(call(service, "GetSpecificPortMappingEntry", {"", "0", "TCP"}, &out), on ? 0u : 714u);
    // A real mapping of port 0 TCP sits behind the dummy, which still wins the specific lookup.
    ASSERT_EQ(call(service, "AddPortMapping", addArgs("", "0", "TCP", "5", "192.168.88.20", "1", "real")), 0u);
    EXPECT_EQ(lastNat().fields.getBe32(52), IPAddr());
    EXPECT_EQ(value(service, "PortMappingNumberOfEntries"), on ? "2" : "1");
    ASSERT_EQ(call(service, "GetGenericPortMappingEntry", {"0"}, &out), 0u);
    EXPECT_EQ(out[6], on ? "Dummy inactive rule for windows to work" : "real");
    ASSERT_EQ(call(service, "GetGenericPortMappingEntry", {on ? "1" : "0"}, &out), 0u);
    EXPECT_EQ(out, addArgs("", "0", "TCP", "5", "192.168.88.20", "1", "real"));
  }
}

TEST_F(IgdTest, ListingFollowsHostThenPortThenProtocol) {
  // Added out of order; 10.0.0.2 < 9.0.0.1 byte-wise but not numerically.
  for (const char* key : {"10.0.0.2/18001/UDP", "/18002/UDP", "9.0.0.1/18001/TCP", "/18002/TCP", "10.0.0.2/18000/TCP",
                          "not an address/18001/TCP", "10.0.0.2/18001/TCP"}) {
    const std::string k = key;
    ASSERT_EQ(add(addArgs(k.substr(0, k.find('/')), k.substr(k.find('/') + 1, 5), k.substr(k.size() - 3), "90")), 0u);
  }
  Strings listed, out;
  for (uint32_t i = 1; call(mService, "GetGenericPortMappingEntry", {std::to_string(i)}, &out) == 0; ++i)
    listed.push_back(out[0] + "/" + out[1] + "/" + out[2]);
  EXPECT_EQ(listed, (Strings{"/18001/TCP", "/18002/TCP", "/18002/UDP", "9.0.0.1/18001/TCP", "10.0.0.2/18000/TCP",
                             "10.0.0.2/18001/TCP", "10.0.0.2/18001/UDP"}));
}

TEST_F(IgdTest, AddressChangeRetargetsEveryRuleAndCleanupRemovesThemDespiteErrors) {
  for (const char* port : {"18080", "18081", "18082"}) ASSERT_EQ(add(addArgs("", port, "TCP")), 0u);
  routerLines();
  size_t before = natLog().size();
  mService.setExternalIp(IPAddr());  // zero: ignored
  mService.setExternalIp(mService.externalAddress);  // same: ignored
  mService.setExternalIp(*IPAddr::parse("127.0.0.2"));
  EXPECT_EQ(routerLines(), Strings{"new external ip: 127.0.0.2"});  // also lets the one-way sets arrive
  EXPECT_EQ(value(mService, "ExternalIPAddress"), "127.0.0.2");
  ASSERT_EQ(natLog().size(), before + 3);
  auto mapping = mService.mappings.entries().begin();
  for (size_t i = before; i < natLog().size(); ++i, ++mapping)
    EXPECT_EQ(natLog()[i].fields.toString(),
              ruleText(mapping->second.ruleId) + ", 419=bool:true, 52=be32:127.0.0.2, 53=be32:127.0.0.2}");

  failNextNat(bus::kCmdRemoveObject);
  before = natLog().size();
  mService.cleanupMappings();
  ASSERT_EQ(natLog().size(), before + 3);
  for (size_t i = before; i < natLog().size(); ++i) EXPECT_EQ(natLog()[i].command, bus::kCmdRemoveObject);
  EXPECT_EQ(mNat.rules().size(), 1u);  // the one the firewall refused to remove
  EXPECT_EQ(mService.mappings.size(), 0u);
}

}  // namespace
}  // namespace upnp::test
