#include <gtest/gtest.h>

#include "igd/wan_ip_connection_service.h"
#include "ssdp/ssdp.h"
#include "tests/daemon/daemon_fixture.h"
#include "tests/ssdp/peer_network.h"

namespace upnp::test {
namespace {

// Interfaces started for real: internal ones on links 0 and 1 towards LAN
// hosts in a peer namespace (each with a group listener), the external one on
// a veth pair w0/w1 of its own, all in namespaces of the test's own.
class InterfaceLifecycleTest : public DaemonFixture {
 protected:
  void SetUp() override {
    if (!mNet.enter(2)) GTEST_SKIP() << "needs root for private network namespaces";
    ASSERT_EQ(system("ip link add w0 type veth peer name w1 && ip link set w0 up && ip addr add 10.9.9.1/24 dev w0"), 0);
    for (int link : {0, 1}) ASSERT_TRUE((mListener[link] = mNet.peerSocket(link, true)).valid());
    mDaemon->start();
    for (int link : {0, 1}) {
      mLan[link] = routerInterface(link ? "lan2" : "lan", link ? "v2" : "v0", 2 + link);
      mLanAddress[link] = routerAddress(link ? "10.9.1.1" : "10.9.0.1", mLan[link]);
    }
    ASSERT_FALSE(bus::isError(setSettings(1, 1, 0)));
    settle();
  }

  // The NOTIFY bursts the host on `link` heard since the last call, as
  // "<count> <alive|byebye>" per run; alive ones must name `address`.
  std::string heard(int link, const std::string& address) {
    std::string summary, nts;
    size_t run = 0;
    const auto close = [&] {
      if (run > 0) summary += (summary.empty() ? "" : ", ") + std::to_string(run) + " " + nts;
    };
    for (const Datagram& d : PeerNetwork::drain(mListener[link], 50)) {
      const std::string kind = d.text.find("NTS: ssdp:alive") != std::string::npos ? "alive" : "byebye";
      EXPECT_EQ(d.text.find("LOCATION: http://" + address + ":2828/") != std::string::npos, kind == "alive");
      if (kind != nts) close(), run = 0, nts = kind;
      ++run;
    }
    close();
    return summary;
  }
  void removeAddress(uint32_t id) {
    bus::message m;
    m.setU32(bus::kFieldObjectId, id);
    EXPECT_FALSE(bus::isError(send(m, bus::kCmdRemoveObject, {bus::kAddrRouter, routerd::kHandlerAddresses})));
    settle();
  }
  uint32_t configure(uint32_t id, uint32_t type, const char* forcedIp = nullptr) {
    const uint32_t entry = addEntry(id, type, false, forcedIp).getU32(bus::kFieldObjectId);
    settle();
    return entry;
  }

  PeerNetwork mNet;
  net::Socket mListener[2];
  uint32_t mLan[2] = {0, 0};
  uint32_t mLanAddress[2] = {0, 0};  // the router's address entries of the two
};

TEST_F(InterfaceLifecycleTest, InternalInterfaceFollowsItsAddress) {
  const uint32_t other = routerInterface("other", "w1", 2);  // reports of unconfigured interfaces are dropped
  configure(mLan[0], kTypeInternal);
  EXPECT_EQ(heard(0, "10.9.0.1"), "4 alive");
  EXPECT_EQ(heard(1, "10.9.1.1"), "");
  EXPECT_EQ(record(other), nullptr);
  InterfaceState* lan = record(mLan[0]);
  ASSERT_TRUE(lan != nullptr && lan->started && lan->httpSocket.valid());
  removeAddress(mLanAddress[0]);
  EXPECT_TRUE(heard(0, "10.9.0.1").ends_with("4 byebye"));
  EXPECT_FALSE(lan->started || lan->ssdp->isOpen() || lan->httpSocket.valid());
  routerAddress("10.9.0.1", mLan[0]);
  EXPECT_EQ(heard(0, "10.9.0.1"), "4 alive");
}

TEST_F(InterfaceLifecycleTest, ExternalInterfaceCarriesTheWanBranchAndItsRules) {
  configure(mLan[0], kTypeInternal);
  removeAddress(mLanAddress[1]);
  configure(mLan[1], kTypeInternal);  // configured, but without an address it stays stopped
  ASSERT_FALSE(record(mLan[1])->started);
  heard(0, "10.9.0.1");
  const uint32_t wan = routerInterface("wan", "w0", 1);
  const uint32_t wanAddress = routerAddress("10.9.9.1", wan);
  const uint32_t entry = configure(wan, kTypeExternal);
  EXPECT_EQ(heard(0, "10.9.0.1"), "4 byebye, 10 alive");
  EXPECT_EQ(heard(1, "10.9.1.1"), "");
  WANIPConnectionService* connection = record(wan)->connectionService.get();
  ASSERT_NE(connection, nullptr);
  EXPECT_TRUE(connection->allowDisableExternal && !connection->showDummyRule);  // the settings: 1, 1, 0
  std::string status;
  EXPECT_TRUE(connection->stateVariables.at("ConnectionStatus")->getValue(status) && status == "Connected");
  // As served on lan: the router's own address there is no internal client.
  for (const auto& [client, result] : {std::pair{"10.9.0.1", 606u}, {"10.9.0.2", 0u}}) {
    ActionRequest add{*IPAddr::parse("10.9.0.2"), *IPAddr::parse("10.9.0.1"), 24, {}, {}};
    for (const char* input : {"", "18080", "TCP", "80", client, "1", "web", "0"})
      add.inputs.push_back({input, static_cast<uint32_t>(std::strtoul(input, nullptr, 10))});
    EXPECT_EQ(code(connection->actions.at("AddPortMapping").handler(add)), result);
  }
  ASSERT_EQ(mRouter.nat().rules().size(), 1u);
  removeAddress(wanAddress);  // no address is no news
  EXPECT_EQ(connection->externalAddress.toString(), "10.9.9.1");
  routerAddress("10.9.9.3", wan);
  EXPECT_EQ(mRouter.nat().rules().begin()->second.getBe32(52).toString(), "10.9.9.3");

  ASSERT_FALSE(bus::isError(changeEntry(entry)));
  settle();
  EXPECT_EQ(heard(0, "10.9.0.1"), "6 byebye");  // the WAN branch alone; no alive follows
  EXPECT_TRUE(mRouter.nat().rules().empty());
  EXPECT_TRUE(mDaemon->gateway.embeddedDevices.empty());
  EXPECT_EQ(mDaemon->gateway.ssdpTargets.size(), 4u);
  EXPECT_EQ(mDaemon->gateway.controlUrlTable.size() + mDaemon->gateway.eventUrlTable.size(), 2u);  // OSInfo alone
}

}  // namespace
}  // namespace upnp::test
