#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

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
    ASSERT_EQ(system("ip link add w0 type veth peer name w1 && ip link set w0 up && ip addr add 10.9.9.1/24 dev w0"),
              0);
    for (int link : {0, 1}) ASSERT_TRUE((mListener[link] = mNet.peerSocket(link, true)).valid());
    mDaemon->start();
    mLan[0] = addRouterInterface("lan", "v0", 2);
    mLanAddress[0] = addRouterAddress("10.9.0.1", mLan[0]);
    mLan[1] = addRouterInterface("lan2", "v2", 3);
    mLanAddress[1] = addRouterAddress("10.9.1.1", mLan[1]);
    ASSERT_FALSE(bus::isError(setSettings(1, 1, 0)));
    settle();
  }

  // The NOTIFY bursts the host on `link` heard since the last call, as
  // "<count> <alive|byebye>" per run of equal NTS; alive ones must name
  // `address` as the location.
  std::string heard(int link, const std::string& address) {
    std::string summary, nts;
    size_t run = 0;
    const auto close = [&] {
      if (run > 0) summary += (summary.empty() ? "" : ", ") + std::to_string(run) + " " + nts;
    };
    for (const Datagram& d : PeerNetwork::drain(mListener[link], 50)) {
      const std::string kind = d.text.find("NTS: ssdp:alive") != std::string::npos ? "alive" : "byebye";
      EXPECT_EQ(d.source.substr(d.source.find(':')), ":1900");
      EXPECT_EQ(d.text.find("LOCATION: http://" + address + ":2828/") != std::string::npos, kind == "alive");
      if (kind != nts) close(), run = 0, nts = kind;
      ++run;
    }
    close();
    return summary;
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

TEST_F(InterfaceLifecycleTest, InternalInterfaceFollowsItsAddressAndAnswersSearches) {
  const uint32_t other = addRouterInterface("other", "w1", 2);  // reports of unconfigured interfaces are dropped
  configure(mLan[0], kTypeInternal);
  EXPECT_EQ(heard(0, "10.9.0.1"), "4 alive");
  EXPECT_EQ(heard(1, "10.9.1.1"), "");
  EXPECT_EQ(record(other), nullptr);
  InterfaceState* lan = record(mLan[0]);
  ASSERT_TRUE(lan != nullptr && lan->started && lan->ssdp->isOpen());
  sockaddr_in bound{};
  socklen_t length = sizeof(bound);
  ASSERT_EQ(getsockname(lan->httpSocket.fd(), reinterpret_cast<sockaddr*>(&bound), &length), 0);
  EXPECT_EQ(ntohs(bound.sin_port), 2828);
  const net::Socket searcher = mNet.peerSocket(0, false);
  ASSERT_TRUE(PeerNetwork::sendToGroup(searcher, "M-SEARCH * HTTP/1.1\r\nHOST: 239.255.255.250:1900\r\n"
                                                 "MAN: \"ssdp:discover\"\r\nMX: 1\r\nST: ssdp:all\r\n\r\n"));
  settle(100);
  const std::vector<Datagram> answers = PeerNetwork::drain(searcher, 50);
  ASSERT_EQ(answers.size(), 4u);
  EXPECT_EQ(answers[0].source, "10.9.0.1:1900");

  routerChange(routerd::kHandlerInterfaces, mLan[0], routerd::kDevName, "lan-renamed");
  EXPECT_EQ(heard(0, "10.9.0.1"), "");  // a name-only change restarts nothing
  EXPECT_EQ(lan->name, "lan-renamed");

  routerChange(routerd::kHandlerAddresses, mLanAddress[0]);
  EXPECT_TRUE(heard(0, "10.9.0.1").ends_with("4 byebye"));
  EXPECT_FALSE(lan->started || lan->ssdp->isOpen() || lan->httpSocket.valid());
  EXPECT_TRUE(lan->address.isZero());
  addRouterAddress("10.9.0.1", mLan[0]);
  settle();
  EXPECT_EQ(heard(0, "10.9.0.1"), "4 alive");
}

TEST_F(InterfaceLifecycleTest, ForcedAddressIsKeptAcrossAddressChanges) {
  configure(mLan[0], kTypeInternal, "10.9.0.77");
  EXPECT_TRUE(heard(0, "10.9.0.77").ends_with("4 alive"));
  addRouterAddress("10.9.0.5", mLan[0]);
  settle();
  // Stopped on the old address and started on the new one, which is the same.
  EXPECT_EQ(heard(0, "10.9.0.77"), "4 byebye, 4 alive, 4 byebye, 4 alive");
  EXPECT_EQ(record(mLan[0])->address.toString(), "10.9.0.77");
}

TEST_F(InterfaceLifecycleTest, TakenSsdpPortLeavesItStoppedUntilTheNextChange) {
  net::Socket blocker(socket(AF_INET, SOCK_DGRAM, 0));  // without SO_REUSEADDR
  const sockaddr_in any = net::socketAddress(IPAddr(), kSsdpPort);
  ASSERT_EQ(bind(blocker.fd(), reinterpret_cast<const sockaddr*>(&any), sizeof(any)), 0);
  configure(mLan[0], kTypeInternal);
  EXPECT_FALSE(record(mLan[0])->started);
  EXPECT_EQ(heard(0, "10.9.0.1"), "");
  blocker.reset();
  addRouterAddress("10.9.0.9", mLan[0]);
  settle();
  EXPECT_TRUE(record(mLan[0])->started);
  EXPECT_EQ(heard(0, "10.9.0.1"), "4 alive");
}

TEST_F(InterfaceLifecycleTest, SettingChangesRestartAndDisableStopsEveryInterface) {
  configure(mLan[0], kTypeInternal);
  configure(mLan[1], kTypeInternal);
  heard(0, "10.9.0.1");
  heard(1, "10.9.1.1");
  ASSERT_FALSE(bus::isError(setSettings(-1, 0, -1)));
  settle();
  for (int link : {0, 1}) EXPECT_EQ(heard(link, PeerNetwork::routerAddress(link)), "4 byebye, 4 alive") << link;
  ASSERT_FALSE(bus::isError(setSettings(0, -1, -1)));
  settle();
  for (int link : {0, 1}) {
    EXPECT_EQ(heard(link, PeerNetwork::routerAddress(link)), "4 byebye") << link;
    EXPECT_FALSE(record(mLan[link])->started || record(mLan[link])->httpSocket.valid());
  }
  EXPECT_TRUE(mDaemon->leavePending());
}

TEST_F(InterfaceLifecycleTest, ExternalInterfaceCarriesTheWanBranchAndItsRules) {
  configure(mLan[0], kTypeInternal);
  routerChange(routerd::kHandlerAddresses, mLanAddress[1]);
  configure(mLan[1], kTypeInternal);  // configured, but without an address it stays stopped
  ASSERT_FALSE(record(mLan[1])->started);
  heard(0, "10.9.0.1");
  const uint32_t wan = addRouterInterface("wan", "w0", 1);
  const uint32_t wanAddress = addRouterAddress("10.9.9.1", wan);
  const uint32_t entry = configure(wan, kTypeExternal);
  EXPECT_EQ(heard(0, "10.9.0.1"), "4 byebye, 10 alive");
  EXPECT_EQ(heard(1, "10.9.1.1"), "");
  WANIPConnectionService* connection = record(wan)->connectionService.get();
  ASSERT_NE(connection, nullptr);
  EXPECT_EQ(connection->externalAddress.toString(), "10.9.9.1");
  EXPECT_TRUE(connection->allowDisableExternal);  // the settings: 1, 1, 0
  EXPECT_FALSE(connection->showDummyRule);
  std::string count, status;
  connection->stateVariables.at("PortMappingNumberOfEntries")->getValue(count);
  connection->stateVariables.at("ConnectionStatus")->getValue(status);
  EXPECT_EQ(count + " " + status, "0 Connected");

  // As served on lan: the router's own address there is no internal client.
  const std::pair<const char*, uint32_t> clients[] = {{"10.9.0.1", 606}, {"10.9.0.2", 0}};
  for (const auto& [client, result] : clients) {
    ActionRequest add{*IPAddr::parse("10.9.0.2"), *IPAddr::parse("10.9.0.1"), 24, {}, {}};
    for (const char* input : {"", "18080", "TCP", "80", client, "1", "web", "0"})
      add.inputs.push_back({input, static_cast<uint32_t>(std::strtoul(input, nullptr, 10))});
    EXPECT_EQ(code(connection->actions.at("AddPortMapping").handler(add)), result);
  }
  ASSERT_EQ(mRouter.nat().rules().size(), 1u);

  routerChange(routerd::kHandlerAddresses, wanAddress);  // no address is no news
  EXPECT_EQ(connection->externalAddress.toString(), "10.9.9.1");
  addRouterAddress("10.9.9.3", wan);
  settle();
  EXPECT_EQ(connection->externalAddress.toString(), "10.9.9.3");
  EXPECT_EQ(mRouter.nat().rules().begin()->second.getBe32(52).toString(), "10.9.9.3");

  ASSERT_FALSE(bus::isError(changeEntry(entry)));
  settle();
  EXPECT_EQ(heard(0, "10.9.0.1"), "6 byebye");  // the WAN branch alone; no alive follows
  EXPECT_TRUE(mRouter.nat().rules().empty());
  EXPECT_TRUE(mDaemon->gateway.embeddedDevices.empty());
  EXPECT_EQ(mDaemon->gateway.ssdpTargets.size(), 4u);
  EXPECT_EQ(mDaemon->gateway.controlUrlTable.size(), 1u);  // OSInfo alone
  EXPECT_EQ(mDaemon->gateway.eventUrlTable.size(), 1u);
}

}  // namespace
}  // namespace upnp::test
