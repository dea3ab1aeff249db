#include "igd/wan_device.h"

#include "igd/wan_common_interface_config_service.h"
#include "igd/wan_ip_connection_service.h"
#include "tests/igd/igd_fixture.h"

namespace upnp::test {
namespace {

constexpr uint32_t kIfId = 7;

class WanDeviceTest : public IgdTest {
 protected:
  WanDeviceTest() {
    gateway().setUp("ID");
    UpnpInterfaceCfg cfg;
    cfg.interface = kIfId;
    cfg.type = kTypeExternal;
    gateway().addInterface(cfg, false);
    mState = gateway().interfaces.at(kIfId).get();
    mState->name = "wan";
    mState->deviceToken = 1;
    mState->running = true;
    mState->address = *IPAddr::parse("127.0.0.1");
  }

  Gateway& gateway() { return mDaemon.gateway; }

  InterfaceState* mState = nullptr;
};

TEST_F(WanDeviceTest, BuildsAndRegistersTheWanBranch) {
  // The service is built with the interface's address, so the catch-up
  // setExternalIp finds nothing new.
  EXPECT_EQ(stdoutOf([&] { startExternal(gateway(), *mState); }), "start ext: wan\n");
  ASSERT_TRUE(mState->started);
  ASSERT_TRUE(mState->commonService && mState->connectionService);

  ASSERT_EQ(gateway().embeddedDevices.size(), 1u);
  const Device& wan = gateway().embeddedDevices[0];
  EXPECT_EQ(wan.info.deviceType, "schemas-upnp-org:device:WANDevice:1");
  EXPECT_EQ(wan.info.friendlyName, "WAN Device");
  EXPECT_EQ(wan.info.UDN, "UUID-QUENLARK-WAN-DEVICE-ID-7");
  ASSERT_EQ(wan.services.size(), 1u);
  ASSERT_EQ(wan.embeddedDevices.size(), 1u);
  const Device& connection = wan.embeddedDevices[0];
  EXPECT_EQ(connection.info.deviceType, "schemas-upnp-org:device:WANConnectionDevice:1");
  EXPECT_EQ(connection.info.friendlyName, "WAN Connection Device");
  EXPECT_EQ(connection.info.UDN, "UUID-QUENLARK-WAN-CONNECTION-DEVICE-ID-7");
  EXPECT_TRUE(connection.embeddedDevices.empty());
  ASSERT_EQ(connection.services.size(), 1u);

  const ServiceEntry& common = wan.services[0];
  const ServiceEntry& ip = connection.services[0];
  EXPECT_EQ(common.serviceType, "urn:schemas-upnp-org:service:WANCommonInterfaceConfig:1");
  EXPECT_EQ(common.serviceId, "urn:upnp-org:serviceId:WANCommonIFC1");
  EXPECT_EQ(common.SCPDURL, "/wancommonifc-7.xml");
  EXPECT_EQ(ip.serviceType, "urn:schemas-upnp-org:service:WANIPConnection:1");
  EXPECT_EQ(ip.serviceId, "urn:upnp-org:serviceId:WANIPConn1");
  EXPECT_EQ(ip.SCPDURL, "/wanipconn-7.xml");
  EXPECT_EQ(gateway().files.at("/wancommonifc-7.xml"), "wancommonifcfg.xml");
  EXPECT_EQ(gateway().files.at("/wanipconn-7.xml"), "wanipconn.xml");
  EXPECT_EQ(gateway().eventUrlTable.at(common.eventSubURL), mState->commonService.get());
  EXPECT_EQ(gateway().controlUrlTable.at(common.controlURL), mState->commonService.get());
  EXPECT_EQ(gateway().eventUrlTable.at(ip.eventSubURL), mState->connectionService.get());
  EXPECT_EQ(gateway().controlUrlTable.at(ip.controlURL), mState->connectionService.get());
  EXPECT_EQ(gateway().ssdpTargets.size(), 10u);

  EXPECT_EQ(mState->connectionService->externalInterfaceId, kIfId);
  EXPECT_EQ(mState->commonService->externalInterfaceId, kIfId);
  EXPECT_EQ(value(*mState->connectionService, "ConnectionStatus"), "Connected");
  EXPECT_EQ(value(*mState->connectionService, "ExternalIPAddress"), "127.0.0.1");
}

TEST_F(WanDeviceTest, CopiesTheSettingsIntoTheConnectionService) {
  const struct {
    bool showDummyRule, allowDisableExternal;
    const char* count;
  } cases[] = {{true, true, "1"}, {false, false, "0"}, {false, true, "0"}};
  for (const auto& c : cases) {
    mDaemon.config.showDummyRule = c.showDummyRule;
    mDaemon.config.allowDisableExternal = c.allowDisableExternal;
    startExternal(gateway(), *mState);
    WANIPConnectionService& service = *mState->connectionService;
    EXPECT_EQ(service.showDummyRule, c.showDummyRule);
    EXPECT_EQ(service.allowDisableExternal, c.allowDisableExternal);
    EXPECT_EQ(value(service, "PortMappingNumberOfEntries"), c.count);
    gateway().stopInterface(*mState);
  }
}

TEST_F(WanDeviceTest, StartsOnlyOnceAndNeedsAToken) {
  mState->deviceToken = 0;
  startExternal(gateway(), *mState);
  EXPECT_FALSE(mState->started);
  EXPECT_TRUE(gateway().embeddedDevices.empty());

  mState->deviceToken = 1;
  mState->disabled = true;
  startExternal(gateway(), *mState);
  const Service* first = mState->connectionService.get();
  const size_t files = gateway().files.size();
  startExternal(gateway(), *mState);
  EXPECT_EQ(mState->connectionService.get(), first);
  EXPECT_EQ(gateway().embeddedDevices.size(), 1u);
  EXPECT_EQ(gateway().files.size(), files);
  EXPECT_EQ(value(*mState->connectionService, "ConnectionStatus"), "Disconnected");
}

TEST_F(WanDeviceTest, StopRemovesTheBranchAndEveryRule) {
  startExternal(gateway(), *mState);
  for (const char* port : {"18080", "18081"})
    ASSERT_EQ(call(*mState->connectionService, "AddPortMapping", {"", port, "TCP", "80", "10.0.0.2", "1", "", "0"}),
              0u);
  ASSERT_EQ(mNat.rules().size(), 2u);
  gateway().stopInterface(*mState);
  EXPECT_TRUE(mNat.rules().empty());
  EXPECT_FALSE(mState->started);
  EXPECT_FALSE(mState->connectionService || mState->commonService);
  EXPECT_TRUE(gateway().embeddedDevices.empty());
  EXPECT_EQ(gateway().eventUrlTable.size(), 1u);  // OSInfo alone
  EXPECT_EQ(gateway().controlUrlTable.size(), 1u);
  EXPECT_EQ(gateway().ssdpTargets.size(), 4u);
}

}  // namespace
}  // namespace upnp::test
