#include "igd/wan_ip_connection_service.h"

#include "platform/system.h"
#include "tests/igd/igd_fixture.h"

namespace upnp::test {
namespace {

constexpr uint32_t kIfId = 7;
const IPAddr kFirst = *IPAddr::parse("127.0.0.1");

class WANIPConnectionServiceTest : public IgdTest {
 protected:
  WANIPConnectionServiceTest() : mService(kIfId, kFirst) {}
  std::string value(const std::string& name) { return IgdTest::value(mService, name); }

  WANIPConnectionService mService;
};

// Kinds, events, allowed values and arguments are checked against the served
// description (tests/http); here the counts and what no description holds.
TEST_F(WANIPConnectionServiceTest, DefinesEighteenVariablesWithTheirStartValuesAndElevenActions) {
  EXPECT_EQ(mService.serviceType, "urn:schemas-upnp-org:service:WANIPConnection:1");
  EXPECT_EQ(mService.stateVariables.size(), 18u);
  const std::pair<const char*, const char*> initial[] = {
      {"ConnectionType", "IP_Routed"},       {"PossibleConnectionTypes", "IP_Routed"},
      {"ConnectionStatus", "Unconfigured"},  {"X_Name", "Local Area Connection"},
      {"LastConnectionError", "ERROR_NONE"}, {"RSIPAvailable", "0"},
      {"NATEnabled", "1"},                   {"ExternalIPAddress", "127.0.0.1"},
      {"PortMappingNumberOfEntries", "1"},   {"PortMappingEnabled", "(none)"},
      {"RemoteHost", "(none)"},              {"PortMappingDescription", "(none)"},
  };
  for (const auto& [name, text] : initial) EXPECT_EQ(value(name), text) << name;
  EXPECT_EQ(IgdTest::value(WANIPConnectionService(kIfId, IPAddr()), "ExternalIPAddress"), "0.0.0.0");

  EXPECT_EQ(mService.actions.size(), 11u);
  for (const char* name : {"SetConnectionType", "RequestConnection", "ForceTermination", "GetGenericPortMappingEntry",
                           "GetSpecificPortMappingEntry", "AddPortMapping", "DeletePortMapping"})
    EXPECT_TRUE(static_cast<bool>(mService.actions.at(name).handler)) << name;
  for (const char* name : {"GetConnectionTypeInfo", "GetStatusInfo", "GetNATRSIPStatus", "GetExternalIPAddress"})
    EXPECT_FALSE(static_cast<bool>(mService.actions.at(name).handler)) << name;
}

TEST_F(WANIPConnectionServiceTest, UptimeIsTheRouterUptimeAtEachRead) {
  const uint32_t before = bus::getUptime();
  const unsigned long read = std::stoul(value("Uptime"));
  EXPECT_GE(read, before);
  EXPECT_LE(read, bus::getUptime());
}

TEST_F(WANIPConnectionServiceTest, ConnectionStatusCodes) {
  const std::pair<uint32_t, const char*> cases[] = {{2, "Connected"}, {3, "Disconnected"}, {1, "Connecting"},
                                                    {0, "Connecting"}, {9, "Connecting"}};
  for (const auto& [code, text] : cases) {
    mService.setConnectionStatus(code);
    EXPECT_EQ(value("ConnectionStatus"), text) << code;
  }
}

TEST_F(WANIPConnectionServiceTest, SwitchingNeedsTheSettingAndConnectionTypeIsFixed) {
  mService.allowDisableExternal = false;
  EXPECT_EQ(call(mService, "ForceTermination", {}), 501u);
  EXPECT_EQ(call(mService, "RequestConnection", {}), 501u);
  EXPECT_EQ(call(mService, "SetConnectionType", {"IP_Bridged"}), 501u);
  EXPECT_TRUE(mInterfaces.received.empty());
  EXPECT_EQ(value("ConnectionStatus"), "Unconfigured");
  EXPECT_EQ(value("ConnectionType"), "IP_Routed");
}

TEST_F(WANIPConnectionServiceTest, ForceTerminationAndRequestConnectionSwitchTheInterface) {
  ASSERT_EQ(call(mService, "ForceTermination", {}), 0u);
  EXPECT_EQ(value("ConnectionStatus"), "Disconnected");
  ASSERT_EQ(call(mService, "RequestConnection", {}), 0u);
  EXPECT_EQ(value("ConnectionStatus"), "Connecting");
  ASSERT_EQ(mInterfaces.received.size(), 2u);
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(mInterfaces.received[i].command, bus::kCmdSetObject);
    EXPECT_EQ(mInterfaces.received[i].fields.toString(),
              std::string("{0xff0001=arr:[20,0], 0xfe0001=u32:7, 0xfe000a=bool:") + (i == 0 ? "true}" : "false}"));
  }

  // A refused switch is logged and keeps the status.
  mService.setConnectionStatus(2);
  const std::pair<const char*, const char*> cases[] = {{"ForceTermination", "disable device failed: "},
                                                       {"RequestConnection", "enable device failed: "}};
  for (const auto& entry : cases) {
    const char* action = entry.first;
    const char* line = entry.second;
    mInterfaces.failNext = true;
    EXPECT_EQ(stdoutOf([&] { EXPECT_EQ(call(mService, action, {}), 501u) << action; }),
              std::string(line) + "no such device\n");
    EXPECT_EQ(value("ConnectionStatus"), "Connected") << action;
  }
}

TEST_F(WANIPConnectionServiceTest, ExternalAddressChange) {
  EXPECT_EQ(stdoutOf([&] {
              mService.setExternalIp(IPAddr());  // zero: ignored
              mService.setExternalIp(kFirst);    // same: ignored
              mService.setExternalIp(*IPAddr::parse("127.0.0.2"));
            }),
            "set external ip 127.0.0.2\n");
  EXPECT_EQ(mService.externalAddress, *IPAddr::parse("127.0.0.2"));
  EXPECT_EQ(value("ExternalIPAddress"), "127.0.0.2");
  drain();
  EXPECT_EQ(mLog.lines, (std::vector<std::string>{"new external ip: 127.0.0.2"}));
  EXPECT_TRUE(natLog().empty());  // no mappings, nothing to retarget
}

// Records the variables that setVariable starts events for.
std::vector<std::string> gEvents;
void recordEvent(Service&, Subscription&, const std::string& variable) { gEvents.push_back(variable); }

TEST_F(WANIPConnectionServiceTest, SubscribersHearOfEveryChangeAndNothingElse) {
  auto subscription = std::make_unique<Subscription>();
  subscription->service = &mService;
  mService.subscriptions["uuid:one"] = std::move(subscription);
  gEvents.clear();
  Service::setEventStarter(recordEvent);
  EXPECT_EQ(call(mService, "AddPortMapping", {"", "18080", "TCP", "80", "192.168.88.20", "1", "x", "0"}), 0u);
  // In place: the count is unchanged.
  EXPECT_EQ(call(mService, "AddPortMapping", {"", "18080", "TCP", "81", "192.168.88.20", "1", "y", "0"}), 0u);
  EXPECT_EQ(call(mService, "ForceTermination", {}), 0u);
  mService.setConnectionStatus(3);  // same value again
  mService.setExternalIp(*IPAddr::parse("127.0.0.2"));
  EXPECT_EQ(call(mService, "DeletePortMapping", {"", "18080", "TCP"}), 0u);
  Service::setEventStarter(nullptr);
  EXPECT_EQ(gEvents, (std::vector<std::string>{"PortMappingNumberOfEntries", "ConnectionStatus",
                                               "ExternalIPAddress", "PortMappingNumberOfEntries"}));
}

}  // namespace
}  // namespace upnp::test
