#include "igd/wan_device.h"

#include <iostream>
#include <memory>
#include <string>

#include "daemon/gateway.h"
#include "daemon/interface_state.h"
#include "daemon/upnp_daemon.h"
#include "igd/wan_common_interface_config_service.h"
#include "igd/wan_ip_connection_service.h"
#include "ssdp/ssdp.h"

namespace upnp {

namespace {

// The WANDevice with its WANConnectionDevice for interface `id`, carrying the
// two service entries.
Device buildWanDevice(const std::string& identity, const std::string& id, const ServiceEntry& commonEntry,
                      const ServiceEntry& connectionEntry) {
  Device connectionDevice;
  connectionDevice.info.deviceType = "schemas-upnp-org:device:WANConnectionDevice:1";
  connectionDevice.info.friendlyName = "WAN Connection Device";
  connectionDevice.info.UDN = "UUID-QUENLARK-WAN-CONNECTION-DEVICE-" + identity + "-" + id;
  connectionDevice.services.push_back(connectionEntry);

  Device wanDevice;
  wanDevice.info.deviceType = "schemas-upnp-org:device:WANDevice:1";
  wanDevice.info.friendlyName = "WAN Device";
  wanDevice.info.UDN = "UUID-QUENLARK-WAN-DEVICE-" + identity + "-" + id;
  wanDevice.services.push_back(commonEntry);
  addDeviceCopy(wanDevice.embeddedDevices, connectionDevice);
  return wanDevice;
}

}  // namespace

void startExternal(Gateway& gateway, InterfaceState& state) {
  if (state.started || state.deviceToken == 0) return;
  std::cout << "start ext: " << state.name << std::endl;
  const uint32_t interfaceId = state.config.interface;
  const std::string id = std::to_string(interfaceId);

  const ServiceEntry commonEntry =
      makeServiceEntry("upnp-org", "WANCommonInterfaceConfig:1", "WANCommonIFC1", "wancommonifc-" + id);
  const ServiceEntry connectionEntry =
      makeServiceEntry("upnp-org", "WANIPConnection:1", "WANIPConn1", "wanipconn-" + id);
  addDeviceCopy(gateway.embeddedDevices, buildWanDevice(gateway.identity, id, commonEntry, connectionEntry));
  gateway.registerDocument(commonEntry.SCPDURL, "wancommonifcfg.xml");
  gateway.registerDocument(connectionEntry.SCPDURL, "wanipconn.xml");

  state.commonService = std::make_unique<WANCommonInterfaceConfigService>(interfaceId, state.deviceToken);
  state.connectionService = std::make_unique<WANIPConnectionService>(interfaceId, state.address);
  WANIPConnectionService& connection = *state.connectionService;
  connection.showDummyRule = theDaemon().config.showDummyRule;
  connection.allowDisableExternal = theDaemon().config.allowDisableExternal;
  connection.refreshEntryCount();

  gateway.registerService(commonEntry, *state.commonService);
  gateway.registerService(connectionEntry, connection);
  connection.setConnectionStatus(state.disabled ? 3 : state.running ? 2 : 1);
  connection.setExternalIp(state.address);

  // Control points drop what they knew of the tree and learn the enlarged one.
  advertiseAll(gateway, gateway.ssdpTargets, true);
  gateway.refreshTargets();
  advertiseAll(gateway, gateway.ssdpTargets, false);
  state.started = true;
}

}  // namespace upnp
