#include "igd/wan_device.h"

namespace upnp {

std::string wanDeviceUdn(const std::string& identity, const std::string& id) {
  return "UUID-QUENLARK-WAN-DEVICE-" + identity + "-" + id;
}

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
  wanDevice.info.UDN = wanDeviceUdn(identity, id);
  wanDevice.services.push_back(commonEntry);
  addDeviceCopy(wanDevice.embeddedDevices, connectionDevice);
  return wanDevice;
}

}  // namespace upnp
