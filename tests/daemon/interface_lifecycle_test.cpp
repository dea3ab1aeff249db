#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "igd/wan_ip_connection_service.h"
#include "tests/daemon/daemon_fixture.h"

namespace upnp::test {
namespace {

size_t count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// Interfaces started for real on a veth pair in a network namespace of the
// test's own.
class InterfaceLifecycleTest : public DaemonFixture {
 protected:
  void SetUp() override {
    if (!enterPrivateNetwork()) GTEST_SKIP() << "needs root for a private network namespace";
    mDaemon->start();
    mLan = addRouterInterface("lan", "v0", 2);
    mLanAddress = addRouterAddress("10.9.0.1", mLan);
    ASSERT_FALSE(bus::isError(setSettings(1, -1, -1)));
  }

  // Starts `fn`, runs the loop, returns the daemon's output meanwhile.
  template <class Fn>
  std::string during(Fn fn, uint32_t ms = 300) {
    testing::internal::CaptureStdout();
    fn();
    settle(ms);
    return testing::internal::GetCapturedStdout();
  }

  uint32_t mLan = 0;
  uint32_t mLanAddress = 0;
};

TEST_F(InterfaceLifecycleTest, InternalInterfaceStartsWithItsAddress) {
  const std::string out = during([&] { addEntry(mLan, kTypeInternal); });
  EXPECT_NE(out.find("start int: lan 10.9.0.1\n"), std::string::npos) << out;
  InterfaceState* lan = record(mLan);
  ASSERT_NE(lan, nullptr);
  EXPECT_TRUE(lan->started);
  EXPECT_GE(lan->ssdpSocket, 0);
  EXPECT_GE(lan->httpSocket, 0);
  sockaddr_in bound{};
  socklen_t length = sizeof(bound);
  ASSERT_EQ(getsockname(lan->httpSocket, reinterpret_cast<sockaddr*>(&bound), &length), 0);
  EXPECT_EQ(ntohs(bound.sin_port), 2828);
  EXPECT_TRUE(lan->advertTimer.armed());
}

TEST_F(InterfaceLifecycleTest, ReportsOfUnconfiguredInterfacesAreFilteredOut) {
  const uint32_t other = addRouterInterface("other", "v1", 2);
  addEntry(mLan, kTypeInternal);
  settle();
  EXPECT_EQ(record(other), nullptr);
  EXPECT_EQ(mDaemon->gateway.interfaces.size(), 1u);
}

TEST_F(InterfaceLifecycleTest, NameOnlyChangeRestartsNothing) {
  addEntry(mLan, kTypeInternal);
  settle();
  bus::message rename;
  rename.setU32(bus::kFieldObjectId, mLan);
  rename.setString(routerd::kDevName, "lan-renamed");
  const std::string out = during([&] { call({bus::kAddrRouter, 0}, rename, bus::kCmdSetObject); });
  EXPECT_EQ(out.find("stop int: "), std::string::npos) << out;
  EXPECT_EQ(record(mLan)->name, "lan-renamed");
  EXPECT_TRUE(record(mLan)->started);
}

TEST_F(InterfaceLifecycleTest, LostAddressStopsAndReturningAddressStarts) {
  addEntry(mLan, kTypeInternal);
  settle();
  std::string out = during([&] { removeRouterAddress(mLanAddress); });
  EXPECT_NE(out.find("stop int: lan\n"), std::string::npos) << out;
  EXPECT_FALSE(record(mLan)->started);
  EXPECT_TRUE(record(mLan)->address.isZero());

  out = during([&] { addRouterAddress("10.9.0.1", mLan); });
  EXPECT_NE(out.find("start int: lan 10.9.0.1\n"), std::string::npos) << out;
  EXPECT_TRUE(record(mLan)->started);
}

TEST_F(InterfaceLifecycleTest, ForcedAddressRestartsTwiceOnEveryAddressChange) {
  addEntry(mLan, kTypeInternal, false, "10.9.0.77");
  settle();
  ASSERT_TRUE(record(mLan)->started);
  EXPECT_EQ(record(mLan)->address.toString(), "10.9.0.77");
  const std::string out = during([&] { addRouterAddress("10.9.0.5", mLan); });
  EXPECT_EQ(count(out, "start int: lan 10.9.0.77\n"), 2u) << out;
  EXPECT_EQ(count(out, "stop int: lan\n"), 2u) << out;
  EXPECT_EQ(record(mLan)->address.toString(), "10.9.0.77");
}

TEST_F(InterfaceLifecycleTest, SsdpSocketFailureLeavesItStoppedAndRetries) {
  // Someone else holds port 1900 without SO_REUSEADDR: the daemon's bind fails.
  const int blocker = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(1900);
  ASSERT_EQ(bind(blocker, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)), 0);

  std::string out = during([&] { addEntry(mLan, kTypeInternal); });
  EXPECT_NE(out.find("udp bind: Address already in use\n"), std::string::npos) << out;
  EXPECT_FALSE(record(mLan)->started);
  EXPECT_EQ(record(mLan)->ssdpSocket, -1);

  close(blocker);
  out = during([&] { addRouterAddress("10.9.0.9", mLan); });
  EXPECT_TRUE(record(mLan)->started) << out;
}

TEST_F(InterfaceLifecycleTest, DisableStopsEveryInterface) {
  addEntry(mLan, kTypeInternal);
  settle();
  ASSERT_TRUE(record(mLan)->started);
  const std::string out = during([&] { setSettings(0, -1, -1); });
  EXPECT_NE(out.find("stop int: lan\n"), std::string::npos) << out;
  EXPECT_FALSE(record(mLan)->started);
  EXPECT_EQ(record(mLan)->ssdpSocket, -1);
  EXPECT_EQ(record(mLan)->httpSocket, -1);
  EXPECT_TRUE(mDaemon->leavePending());
}

TEST_F(InterfaceLifecycleTest, ExternalInterfaceTracksItsAddressAndNeverTakesZero) {
  const uint32_t wan = addRouterInterface("wan", "v1", 1);
  const uint32_t wanAddress = addRouterAddress("10.9.0.2", wan);
  addEntry(wan, kTypeExternal);
  settle();
  InterfaceState* ext = record(wan);
  ASSERT_NE(ext, nullptr);
  ASSERT_TRUE(ext->started);
  ASSERT_NE(ext->connectionService, nullptr);
  EXPECT_EQ(ext->connectionService->externalAddress.toString(), "10.9.0.2");

  removeRouterAddress(wanAddress);
  settle();
  EXPECT_EQ(ext->connectionService->externalAddress.toString(), "10.9.0.2");
  addRouterAddress("10.9.0.3", wan);
  settle();
  EXPECT_EQ(ext->connectionService->externalAddress.toString(), "10.9.0.3");
}

}  // namespace
}  // namespace upnp::test
