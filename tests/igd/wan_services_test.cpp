#include "igd/wan_common_interface_config_service.h"
#include "tests/igd/igd_fixture.h"

namespace upnp::test {
namespace {

TEST_F(IgdTest, SwitchingTheInterfaceNeedsTheSettingAndAWillingRouter) {
  const std::string set = std::to_string(bus::kCmdSetObject) + " {0xff0001=arr:[20,0], 0xfe0001=u32:7, 0xfe000a=bool:";
  mService.allowDisableExternal = false;
  for (const char* action : {"ForceTermination", "RequestConnection", "SetConnectionType"})
    EXPECT_EQ(call(mService, action, action[0] == 'S' ? Strings{"IP_Bridged"} : Strings{}), 501u) << action;
  EXPECT_TRUE(mInterfaces.received.empty());
  EXPECT_EQ(value(mService, "ConnectionStatus") + " " + value(mService, "ConnectionType"), "Unconfigured IP_Routed");
  mService.allowDisableExternal = true;
  ASSERT_EQ(call(mService, "ForceTermination", {}), 0u);
  EXPECT_EQ(value(mService, "ConnectionStatus"), "Disconnected");
  ASSERT_EQ(call(mService, "RequestConnection", {}), 0u);
  EXPECT_EQ(value(mService, "ConnectionStatus"), "Connecting");
  EXPECT_EQ(mInterfaces.received, (Strings{set + "true}", set + "false}"}));
  mService.setConnectionStatus(connectionStatus(false, true));
  for (const char* action : {"ForceTermination", "RequestConnection"}) {  // a refused switch keeps the status
    mInterfaces.failNext = true;
    EXPECT_EQ(call(mService, action, {}), 501u) << action;
    EXPECT_EQ(value(mService, "ConnectionStatus"), "Connected") << action;
  }
}

TEST_F(IgdTest, EachCounterReadAsksTheRouterAnewAndShowsTheLow32Bits) {
  WANCommonInterfaceConfigService common{7, 1};
  mInterfaces.counters = {{routerd::kDevRxBytes, 0x1234567890ull}, {routerd::kDevTxBytes, 0xffffffffull},
                          {routerd::kDevRxPackets, 0x100000000ull}, {routerd::kDevTxPackets, 4}};
  EXPECT_EQ(value(common, "TotalBytesReceived") + " " + value(common, "TotalBytesSent") + " " +
                value(common, "TotalPacketsReceived") + " " + value(common, "TotalPacketsSent"),
            "878082192 4294967295 0 4");
  EXPECT_EQ(mInterfaces.received, Strings(4, std::to_string(bus::kCmdGetObject) +
                                                 " {0xff0001=arr:[20,0], 0xfe0001=u32:7, 0xfe000c=u32:2}"));
  mInterfaces.failNext = true;  // a failed read shows 0
  EXPECT_EQ(value(common, "TotalPacketsSent"), "0");
  EXPECT_EQ(value(common, "TotalPacketsSent"), "4");
  EXPECT_EQ(value(common, "WANAccessType") + value(WANCommonInterfaceConfigService(7, 2), "WANAccessType"),
            "EthernetOther");
}

}  // namespace
}  // namespace upnp::test
