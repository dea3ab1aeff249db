#include <memory>

#include "igd/wan_common_interface_config_service.h"
#include "igd/wan_ip_connection_service.h"
#include "platform/routerd/router_protocol.h"
#include "tests/igd/igd_fixture.h"

namespace upnp::test {
namespace {

constexpr uint32_t kIfId = 7;

TEST(ConnectionStatusTest, DisabledWinsThenRunning) {
  EXPECT_EQ(connectionStatus(true, true), ConnectionStatus::Disconnected);
  EXPECT_EQ(connectionStatus(true, false), ConnectionStatus::Disconnected);
  EXPECT_EQ(connectionStatus(false, true), ConnectionStatus::Connected);
  EXPECT_EQ(connectionStatus(false, false), ConnectionStatus::Connecting);
}

class WanServicesTest : public IgdTest {
 protected:
  WANIPConnectionService mConnection{kIfId, *IPAddr::parse("127.0.0.1"), mRouterLog};
  WANCommonInterfaceConfigService mCommon{kIfId, 1};
};

TEST_F(WanServicesTest, SwitchingTheInterfaceNeedsTheSettingAndAWillingRouter) {
  const std::string set = std::to_string(bus::kCmdSetObject) + " {0xff0001=arr:[20,0], 0xfe0001=u32:7, 0xfe000a=bool:";
  mConnection.allowDisableExternal = false;
  for (const char* action : {"ForceTermination", "RequestConnection", "SetConnectionType"})
    EXPECT_EQ(call(mConnection, action, action[0] == 'S' ? Strings{"IP_Bridged"} : Strings{}), 501u) << action;
  EXPECT_TRUE(mInterfaces.received.empty());
  EXPECT_EQ(value(mConnection, "ConnectionStatus") + " " + value(mConnection, "ConnectionType"),
            "Unconfigured IP_Routed");

  mConnection.allowDisableExternal = true;
  ASSERT_EQ(call(mConnection, "ForceTermination", {}), 0u);
  EXPECT_EQ(value(mConnection, "ConnectionStatus"), "Disconnected");
  ASSERT_EQ(call(mConnection, "RequestConnection", {}), 0u);
  EXPECT_EQ(value(mConnection, "ConnectionStatus"), "Connecting");
  EXPECT_EQ(mInterfaces.received, (Strings{set + "true}", set + "false}"}));

  // A refused switch keeps the status.
  mConnection.setConnectionStatus(ConnectionStatus::Connected);
  for (const char* action : {"ForceTermination", "RequestConnection"}) {
    mInterfaces.failNext = true;
    EXPECT_EQ(call(mConnection, action, {}), 501u) << action;
    EXPECT_EQ(value(mConnection, "ConnectionStatus"), "Connected") << action;
  }
}

TEST_F(WanServicesTest, EachCounterReadAsksTheRouterAnewAndShowsTheLow32Bits) {
  const std::pair<const char*, uint32_t> counters[] = {{"TotalBytesReceived", routerd::kDevRxBytes},
                                                       {"TotalBytesSent", routerd::kDevTxBytes},
                                                       {"TotalPacketsReceived", routerd::kDevRxPackets},
                                                       {"TotalPacketsSent", routerd::kDevTxPackets}};
  const std::pair<uint64_t, const char*> values[] = {
      {22, "22"}, {0xffffffffull, "4294967295"}, {0x100000000ull, "0"}, {0x1234567890ull, "878082192"}};
  for (const auto& [variable, field] : counters) {
    for (const auto& [reported, shown] : values) {
      mInterfaces.counters = {{routerd::kDevRxBytes, 1}, {routerd::kDevTxBytes, 2}, {routerd::kDevRxPackets, 3},
                              {routerd::kDevTxPackets, 4}};
      mInterfaces.counters[field] = reported;
      EXPECT_EQ(value(mCommon, variable), shown) << variable;
    }
  }
  ASSERT_EQ(mInterfaces.received.size(), 16u);
  for (const std::string& received : mInterfaces.received)
    EXPECT_EQ(received, std::to_string(bus::kCmdGetObject) + " {0xff0001=arr:[20,0], 0xfe0001=u32:7, 0xfe000c=u32:2}");

  mInterfaces.failNext = true;  // a failed read shows 0
  EXPECT_EQ(value(mCommon, "TotalBytesSent"), "0");
  EXPECT_EQ(value(mCommon, "TotalBytesSent"), "2");
}

TEST_F(WanServicesTest, AccessTypeFollowsTheDeviceToken) {
  EXPECT_EQ(value(mCommon, "WANAccessType") + value(WANCommonInterfaceConfigService(kIfId, 2), "WANAccessType"),
            "EthernetOther");
}

// Records the variables that setVariable starts events for.
struct RecordingSink : EventSink {
  void startEvent(Service&, Subscription&, const std::string& variable) override { events.push_back(variable); }
  Strings events;
};

TEST_F(WanServicesTest, SubscribersHearOfEveryChangeAndNothingElse) {
  RecordingSink sink;
  mConnection.eventSink = &sink;
  auto subscription = std::make_unique<Subscription>();
  subscription->service = &mConnection;
  mConnection.subscriptions["uuid:one"] = std::move(subscription);
  EXPECT_EQ(call(mConnection, "AddPortMapping", {"", "18080", "TCP", "80", "192.168.88.20", "1", "x", "0"}), 0u);
  // In place: the count is unchanged.
  EXPECT_EQ(call(mConnection, "AddPortMapping", {"", "18080", "TCP", "81", "192.168.88.20", "1", "y", "0"}), 0u);
  EXPECT_EQ(call(mConnection, "ForceTermination", {}), 0u);
  mConnection.setConnectionStatus(ConnectionStatus::Disconnected);  // same value again
  mConnection.setExternalIp(*IPAddr::parse("127.0.0.2"));
  EXPECT_EQ(call(mConnection, "DeletePortMapping", {"", "18080", "TCP"}), 0u);
  EXPECT_EQ(sink.events,
            (Strings{"PortMappingNumberOfEntries", "ConnectionStatus", "ExternalIPAddress", "PortMappingNumberOfEntries"}));
}

}  // namespace
}  // namespace upnp::test
