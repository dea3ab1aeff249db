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

  std::string value(const std::string& name) {
    std::string text = "(none)";
    mService.stateVariables.at(name)->getValue(text);
    return text;
  }

  WANIPConnectionService mService;
};

struct VariableCase {
  const char* name;
  VariableKind kind;
  bool sendEvents;
  const char* initial;  // null: no value
  std::vector<std::string> allowed;
};

TEST_F(WANIPConnectionServiceTest, DefinesTheEighteenVariables) {
  using K = VariableKind;
  const VariableCase cases[] = {
      {"ConnectionType", K::STRING, false, "IP_Routed", {"Unconfigured", "IP_Routed", "IP_Bridged"}},
      {"PossibleConnectionTypes", K::STRING, true, "IP_Routed", {"IP_Routed"}},
      {"ConnectionStatus", K::STRING, true, "Unconfigured", {"Unconfigured", "Connected", "Disconnected", "Connecting"}},
      {"X_Name", K::STRING, false, "Local Area Connection", {}},
      {"LastConnectionError", K::STRING, false, "ERROR_NONE", {"ERROR_NONE"}},
      {"RSIPAvailable", K::BOOLEAN, false, "0", {}},
      {"NATEnabled", K::BOOLEAN, false, "1", {}},
      {"ExternalIPAddress", K::STRING, true, "127.0.0.1", {}},
      {"PortMappingNumberOfEntries", K::UI2, true, "1", {}},
      {"PortMappingEnabled", K::BOOLEAN, false, nullptr, {}},
      {"PortMappingLeaseDuration", K::UI4, false, nullptr, {}},
      {"RemoteHost", K::STRING, false, nullptr, {}},
      {"ExternalPort", K::UI2, false, nullptr, {}},
      {"InternalPort", K::UI2, false, nullptr, {}},
      {"PortMappingProtocol", K::STRING, false, nullptr, {"TCP", "UDP"}},
      {"InternalClient", K::STRING, false, nullptr, {}},
      {"PortMappingDescription", K::STRING, false, nullptr, {}},
  };
  EXPECT_EQ(mService.stateVariables.size(), 18u);
  EXPECT_EQ(mService.serviceType, "urn:schemas-upnp-org:service:WANIPConnection:1");
  for (const auto& c : cases) {
    const StateVariable& v = *mService.stateVariables.at(c.name);
    EXPECT_EQ(v.kind, c.kind) << c.name;
    EXPECT_EQ(v.sendEvents, c.sendEvents) << c.name;
    EXPECT_EQ(v.allowedValues, c.allowed) << c.name;
    EXPECT_FALSE(v.hasRange) << c.name;
    EXPECT_EQ(value(c.name), c.initial ? c.initial : "(none)") << c.name;
  }
  const StateVariable& uptime = *mService.stateVariables.at("Uptime");
  EXPECT_EQ(uptime.kind, VariableKind::UI4);
  EXPECT_FALSE(uptime.sendEvents);
}

TEST_F(WANIPConnectionServiceTest, UptimeIsTheRouterUptimeAtEachRead) {
  const uint32_t before = bus::getUptime();
  const unsigned long read = std::stoul(value("Uptime"));
  EXPECT_GE(read, before);
  EXPECT_LE(read, bus::getUptime());
}

struct ActionCase {
  const char* name;
  std::vector<std::string> inArguments, inVariables, outArguments, outVariables;
  bool hasHandler;
};

TEST_F(WANIPConnectionServiceTest, DefinesTheElevenActions) {
  const std::vector<std::string> keyArgs = {"NewRemoteHost", "NewExternalPort", "NewProtocol"};
  const std::vector<std::string> keyVars = {"RemoteHost", "ExternalPort", "PortMappingProtocol"};
  const std::vector<std::string> detailArgs = {"NewInternalPort", "NewInternalClient", "NewEnabled",
                                               "NewPortMappingDescription", "NewLeaseDuration"};
  const std::vector<std::string> detailVars = {"InternalPort", "InternalClient", "PortMappingEnabled",
                                               "PortMappingDescription", "PortMappingLeaseDuration"};
  std::vector<std::string> allArgs = keyArgs, allVars = keyVars;
  allArgs.insert(allArgs.end(), detailArgs.begin(), detailArgs.end());
  allVars.insert(allVars.end(), detailVars.begin(), detailVars.end());
  const ActionCase cases[] = {
      {"SetConnectionType", {"NewConnectionType"}, {"ConnectionType"}, {}, {}, true},
      {"GetConnectionTypeInfo", {}, {}, {"NewConnectionType", "NewPossibleConnectionTypes"},
       {"ConnectionType", "PossibleConnectionTypes"}, false},
      {"RequestConnection", {}, {}, {}, {}, true},
      {"ForceTermination", {}, {}, {}, {}, true},
      {"GetStatusInfo", {}, {}, {"NewConnectionStatus", "NewLastConnectionError", "NewUptime"},
       {"ConnectionStatus", "LastConnectionError", "Uptime"}, false},
      {"GetNATRSIPStatus", {}, {}, {"NewRSIPAvailable", "NewNATEnabled"}, {"RSIPAvailable", "NATEnabled"}, false},
      {"GetGenericPortMappingEntry", {"NewPortMappingIndex"}, {"PortMappingNumberOfEntries"}, allArgs, allVars,
       true},
      {"GetSpecificPortMappingEntry", keyArgs, keyVars, detailArgs, detailVars, true},
      {"AddPortMapping", allArgs, allVars, {}, {}, true},
      {"DeletePortMapping", keyArgs, keyVars, {}, {}, true},
      {"GetExternalIPAddress", {}, {}, {"NewExternalIPAddress"}, {"ExternalIPAddress"}, false},
  };
  EXPECT_EQ(mService.actions.size(), 11u);
  for (const auto& c : cases) {
    const Action& a = mService.actions.at(c.name);
    EXPECT_EQ(a.inArguments, c.inArguments) << c.name;
    EXPECT_EQ(a.inVariables, c.inVariables) << c.name;
    EXPECT_EQ(a.outArguments, c.outArguments) << c.name;
    EXPECT_EQ(a.outVariables, c.outVariables) << c.name;
    EXPECT_EQ(static_cast<bool>(a.handler), c.hasHandler) << c.name;
  }
}

TEST_F(WANIPConnectionServiceTest, SetConnectionTypeIsNotImplemented) {
  EXPECT_EQ(call(mService, "SetConnectionType", {"IP_Bridged"}), 501u);
  EXPECT_EQ(value("ConnectionType"), "IP_Routed");
}

TEST_F(WANIPConnectionServiceTest, ConnectionStatusCodes) {
  const std::pair<uint32_t, const char*> cases[] = {{2, "Connected"}, {3, "Disconnected"}, {1, "Connecting"},
                                                    {0, "Connecting"}, {9, "Connecting"}};
  for (const auto& [code, text] : cases) {
    mService.setConnectionStatus(code);
    EXPECT_EQ(value("ConnectionStatus"), text) << code;
  }
}

TEST_F(WANIPConnectionServiceTest, SwitchingNeedsTheSetting) {
  mService.allowDisableExternal = false;
  EXPECT_EQ(call(mService, "ForceTermination", {}), 501u);
  EXPECT_EQ(call(mService, "RequestConnection", {}), 501u);
  EXPECT_TRUE(mInterfaces.received.empty());
  EXPECT_EQ(value("ConnectionStatus"), "Unconfigured");
}

TEST_F(WANIPConnectionServiceTest, ForceTerminationDisablesTheInterface) {
  ASSERT_EQ(call(mService, "ForceTermination", {}), 0u);
  ASSERT_EQ(mInterfaces.received.size(), 1u);
  const Received& r = mInterfaces.received[0];
  EXPECT_EQ(r.command, bus::kCmdSetObject);
  EXPECT_EQ(fieldIds(r.fields), (std::vector<uint32_t>{0xff0001, 0xfe0001, 0xfe000a}));
  EXPECT_EQ(r.fields.getU32Array(0xff0001), (std::vector<uint32_t>{20, 0}));
  EXPECT_EQ(r.fields.getU32(0xfe0001), kIfId);
  EXPECT_TRUE(r.fields.getBool(0xfe000a, false));
  EXPECT_EQ(value("ConnectionStatus"), "Disconnected");

  ASSERT_EQ(call(mService, "RequestConnection", {}), 0u);
  ASSERT_EQ(mInterfaces.received.size(), 2u);
  EXPECT_FALSE(mInterfaces.received[1].fields.getBool(0xfe000a, true));
  EXPECT_EQ(value("ConnectionStatus"), "Connecting");
}

TEST_F(WANIPConnectionServiceTest, RefusedSwitchLogsAndKeepsStatus) {
  mService.setConnectionStatus(2);
  const std::pair<const char*, const char*> cases[] = {{"ForceTermination", "disable device failed: "},
                                                       {"RequestConnection", "enable device failed: "}};
  for (const auto& [action, line] : cases) {
    mInterfaces.failNext = true;
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(call(mService, action, {}), 501u) << action;
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), std::string(line) + "no such device\n");
    EXPECT_EQ(value("ConnectionStatus"), "Connected") << action;
  }
}

TEST_F(WANIPConnectionServiceTest, ExternalAddressChange) {
  const IPAddr next = *IPAddr::parse("127.0.0.2");
  ::testing::internal::CaptureStdout();
  mService.setExternalIp(IPAddr());  // zero: ignored
  mService.setExternalIp(kFirst);    // same: ignored
  mService.setExternalIp(next);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "set external ip 127.0.0.2\n");
  EXPECT_EQ(mService.externalAddress, next);
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
  const std::vector<std::string> add = {"", "18080", "TCP", "80", "192.168.88.20", "1", "x", "0"};
  const std::vector<std::string> update = {"", "18080", "TCP", "81", "192.168.88.20", "1", "y", "0"};
  EXPECT_EQ(call(mService, "AddPortMapping", add), 0u);
  EXPECT_EQ(call(mService, "AddPortMapping", update), 0u);  // in place: count unchanged
  EXPECT_EQ(call(mService, "ForceTermination", {}), 0u);
  mService.setConnectionStatus(3);                          // same value again
  mService.setExternalIp(*IPAddr::parse("127.0.0.2"));
  EXPECT_EQ(call(mService, "DeletePortMapping", {"", "18080", "TCP"}), 0u);
  Service::setEventStarter(nullptr);
  EXPECT_EQ(gEvents, (std::vector<std::string>{"PortMappingNumberOfEntries", "ConnectionStatus",
                                               "ExternalIPAddress", "PortMappingNumberOfEntries"}));
}

TEST_F(WANIPConnectionServiceTest, UnknownAddressStartsAsZeroText) {
  WANIPConnectionService unknown(kIfId, IPAddr());
  std::string text;
  ASSERT_TRUE(unknown.stateVariables.at("ExternalIPAddress")->getValue(text));
  EXPECT_EQ(text, "0.0.0.0");
}

}  // namespace
}  // namespace upnp::test
