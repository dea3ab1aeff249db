#include "igd/wan_common_interface_config_service.h"

#include "platform/system.h"
#include "tests/igd/igd_fixture.h"

namespace upnp::test {
namespace {

constexpr uint32_t kIfId = 9;

class WANCommonInterfaceConfigServiceTest : public IgdTest {
 protected:
  WANCommonInterfaceConfigServiceTest() : mService(kIfId, 1) {}
  std::string value(const std::string& name) { return IgdTest::value(mService, name); }

  WANCommonInterfaceConfigService mService;
};

// Kinds, events, allowed values and arguments are checked against the served
// description (tests/http); here the counts and what no description holds.
TEST_F(WANCommonInterfaceConfigServiceTest, DefinesNineVariablesWithTheirValuesAndSixQueryActions) {
  EXPECT_EQ(mService.serviceType, "urn:schemas-upnp-org:service:WANCommonInterfaceConfig:1");
  EXPECT_EQ(mService.stateVariables.size(), 9u);
  EXPECT_EQ(value("WANAccessType"), "Ethernet");
  EXPECT_EQ(IgdTest::value(WANCommonInterfaceConfigService(kIfId, 2), "WANAccessType"), "Other");
  EXPECT_EQ(value("Layer1UpstreamMaxBitRate"), "10000000");
  EXPECT_EQ(value("Layer1DownstreamMaxBitRate"), "10000000");
  EXPECT_EQ(value("PhysicalLinkStatus"), "Up");
  EXPECT_EQ(mService.actions.size(), 6u);
  for (const auto& [name, action] : mService.actions) EXPECT_FALSE(static_cast<bool>(action.handler)) << name;
  EXPECT_EQ(mService.actions.at("X_GetICSStatistics").outArguments,
            (std::vector<std::string>{"TotalBytesSent", "TotalBytesReceived", "TotalPacketsSent",
                                      "TotalPacketsReceived", "Layer1DownstreamMaxBitRate", "Uptime"}));
}

TEST_F(WANCommonInterfaceConfigServiceTest, EachCounterReadAsksTheRouterAnew) {
  mInterfaces.rxBytes = 11;
  mInterfaces.txBytes = 22;
  mInterfaces.rxPackets = 33;
  mInterfaces.txPackets = 44;
  EXPECT_EQ(value("TotalBytesReceived"), "11");
  EXPECT_EQ(value("TotalBytesSent"), "22");
  EXPECT_EQ(value("TotalPacketsReceived"), "33");
  EXPECT_EQ(value("TotalPacketsSent"), "44");
  mInterfaces.txBytes = 23;
  EXPECT_EQ(value("TotalBytesSent"), "23");
  ASSERT_EQ(mInterfaces.received.size(), 5u);
  for (const Received& r : mInterfaces.received) {
    EXPECT_EQ(r.command, bus::kCmdGetObject);
    EXPECT_EQ(r.fields.toString(), "{0xff0001=arr:[20,0], 0xfe0001=u32:9, 0xfe000c=u32:2}");
  }
}

TEST_F(WANCommonInterfaceConfigServiceTest, CountersWrapAt32Bits) {
  const std::pair<uint64_t, const char*> cases[] = {
      {0xffffffffull, "4294967295"}, {0x100000000ull, "0"}, {0x1234567890ull, "878082192"}, {(1ull << 63) + 5, "5"}};
  for (const auto& [counter, shown] : cases) {
    mInterfaces.rxPackets = counter;
    EXPECT_EQ(value("TotalPacketsReceived"), shown) << counter;
  }
}

TEST_F(WANCommonInterfaceConfigServiceTest, FailedStatisticsAreLoggedAndReadAsZero) {
  mInterfaces.txBytes = 99;
  mInterfaces.failNext = true;
  EXPECT_EQ(stdoutOf([&] { EXPECT_EQ(value("TotalBytesSent"), "0"); }), "get device stats: no such device\n");
  EXPECT_EQ(value("TotalBytesSent"), "99");
}

TEST_F(WANCommonInterfaceConfigServiceTest, UptimeIsTheRouterUptime) {
  const uint32_t before = bus::getUptime();
  const unsigned long read = std::stoul(value("X_Uptime"));
  EXPECT_GE(read, before);
  EXPECT_LE(read, bus::getUptime());
  EXPECT_TRUE(mInterfaces.received.empty());
}

}  // namespace
}  // namespace upnp::test
