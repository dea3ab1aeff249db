#include "igd/wan_common_interface_config_service.h"

#include "platform/system.h"
#include "tests/igd/igd_fixture.h"

namespace upnp::test {
namespace {

constexpr uint32_t kIfId = 9;

class WANCommonInterfaceConfigServiceTest : public IgdTest {
 protected:
  WANCommonInterfaceConfigServiceTest() : mService(kIfId, 1) {}

  std::string value(const std::string& name) {
    std::string text = "(none)";
    mService.stateVariables.at(name)->getValue(text);
    return text;
  }

  WANCommonInterfaceConfigService mService;
};

TEST_F(WANCommonInterfaceConfigServiceTest, DefinesTheNineVariables) {
  using K = VariableKind;
  const struct {
    const char* name;
    K kind;
    bool sendEvents;
    std::vector<std::string> allowed;
  } cases[] = {
      {"WANAccessType", K::STRING, false, {"DSL", "POTS", "Cable", "Ethernet", "Other"}},
      {"Layer1UpstreamMaxBitRate", K::UI4, false, {}},
      {"Layer1DownstreamMaxBitRate", K::UI4, false, {}},
      {"PhysicalLinkStatus", K::STRING, true, {"Up", "Down"}},
      {"TotalBytesSent", K::UI4, false, {}},
      {"TotalBytesReceived", K::UI4, false, {}},
      {"TotalPacketsSent", K::UI4, false, {}},
      {"TotalPacketsReceived", K::UI4, false, {}},
      {"X_Uptime", K::UI4, false, {}},
  };
  EXPECT_EQ(mService.serviceType, "urn:schemas-upnp-org:service:WANCommonInterfaceConfig:1");
  EXPECT_EQ(mService.stateVariables.size(), 9u);
  for (const auto& c : cases) {
    const StateVariable& v = *mService.stateVariables.at(c.name);
    EXPECT_EQ(v.kind, c.kind) << c.name;
    EXPECT_EQ(v.sendEvents, c.sendEvents) << c.name;
    EXPECT_EQ(v.allowedValues, c.allowed) << c.name;
    EXPECT_TRUE(v.hasValue) << c.name;
  }
  EXPECT_EQ(value("WANAccessType"), "Ethernet");
  EXPECT_EQ(value("Layer1UpstreamMaxBitRate"), "10000000");
  EXPECT_EQ(value("Layer1DownstreamMaxBitRate"), "10000000");
  EXPECT_EQ(value("PhysicalLinkStatus"), "Up");
  WANCommonInterfaceConfigService other(kIfId, 2);
  std::string accessType;
  other.stateVariables.at("WANAccessType")->getValue(accessType);
  EXPECT_EQ(accessType, "Other");
}

TEST_F(WANCommonInterfaceConfigServiceTest, DefinesTheSixQueryActions) {
  const struct {
    const char* name;
    std::vector<std::string> outArguments, outVariables;
  } cases[] = {
      {"GetCommonLinkProperties",
       {"NewWANAccessType", "NewLayer1UpstreamMaxBitRate", "NewLayer1DownstreamMaxBitRate", "NewPhysicalLinkStatus"},
       {"WANAccessType", "Layer1UpstreamMaxBitRate", "Layer1DownstreamMaxBitRate", "PhysicalLinkStatus"}},
      {"GetTotalBytesSent", {"NewTotalBytesSent"}, {"TotalBytesSent"}},
      {"GetTotalBytesReceived", {"NewTotalBytesReceived"}, {"TotalBytesReceived"}},
      {"GetTotalPacketsSent", {"NewTotalPacketsSent"}, {"TotalPacketsSent"}},
      {"GetTotalPacketsReceived", {"NewTotalPacketsReceived"}, {"TotalPacketsReceived"}},
      {"X_GetICSStatistics",
       {"TotalBytesSent", "TotalBytesReceived", "TotalPacketsSent", "TotalPacketsReceived",
        "Layer1DownstreamMaxBitRate", "Uptime"},
       {"TotalBytesSent", "TotalBytesReceived", "TotalPacketsSent", "TotalPacketsReceived",
        "Layer1DownstreamMaxBitRate", "X_Uptime"}},
  };
  EXPECT_EQ(mService.actions.size(), 6u);
  for (const auto& c : cases) {
    const Action& a = mService.actions.at(c.name);
    EXPECT_TRUE(a.inArguments.empty()) << c.name;
    EXPECT_EQ(a.outArguments, c.outArguments) << c.name;
    EXPECT_EQ(a.outVariables, c.outVariables) << c.name;
    EXPECT_FALSE(static_cast<bool>(a.handler)) << c.name;
  }
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
    EXPECT_EQ(fieldIds(r.fields), (std::vector<uint32_t>{0xff0001, 0xfe0001, 0xfe000c}));
    EXPECT_EQ(r.fields.getU32Array(0xff0001), (std::vector<uint32_t>{20, 0}));
    EXPECT_EQ(r.fields.getU32(0xfe0001), kIfId);
    EXPECT_EQ(r.fields.getU32(0xfe000c), 2u);
  }
}

TEST_F(WANCommonInterfaceConfigServiceTest, CountersWrapAt32Bits) {
  const struct {
    uint64_t counter;
    const char* shown;
  } cases[] = {{0xffffffffull, "4294967295"}, {0x100000000ull, "0"}, {0x1234567890ull, "878082192"},
               {(1ull << 63) + 5, "5"}};
  for (const auto& c : cases) {
    mInterfaces.rxPackets = c.counter;
    EXPECT_EQ(value("TotalPacketsReceived"), c.shown) << c.counter;
  }
}

TEST_F(WANCommonInterfaceConfigServiceTest, FailedStatisticsAreLoggedAndReadAsZero) {
  mInterfaces.txBytes = 99;
  mInterfaces.failNext = true;
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(value("TotalBytesSent"), "0");
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "get device stats: no such device\n");
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
