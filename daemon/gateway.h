#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "daemon/interface_state.h"
#include "model/device.h"
#include "model/service.h"
#include "platform/message.h"
#include "platform/mirror.h"

namespace upnp {

struct HttpConnection;

// The root InternetGatewayDevice and the daemon's tables: configured
// interfaces, served files, open HTTP connections and the control and event
// URL maps. One per process, owned by the UpnpDaemon. Loop thread only.
class Gateway : public RootDevice {
 public:
  static constexpr uint16_t kHttpPort = 2828;
  static constexpr uint16_t kSsdpPort = 1900;

  Gateway();
  ~Gateway() override;

  // Start-up: identity, root values, icons, served files and the OSInfo service.
  void setUp(const std::string& routerIdentity);

  // Settings changes (UpnpConfig).
  void addInterface(const UpnpInterfaceCfg& cfg, bool serviceRunning);
  void removeInterface(const UpnpInterfaceCfg& cfg);

  // Mirror callbacks.
  void deviceFilter(bus::DeviceEntry& entry);
  void deviceChanged(uint32_t deviceId, const bus::message& record);
  void addressFilter(bus::AMapMirror::Entry& entry);
  void addressesChanged();

  void updateDevice(InterfaceState& state);
  void stopInternal(InterfaceState& state);
  void stopInterface(InterfaceState& state);

  // A UDP socket bound to the device of `ifindex` (SO_BINDTODEVICE), with
  // SO_REUSEADDR, bound to `bindAddress`:1900; -1 after logging the failure.
  int openSsdpSocket(uint32_t ifindex, IPAddr bindAddress);

  // Refills ssdpTargets from the current device tree.
  void refreshTargets();

  // Serves `file` (under fileDir) at `urlPath`, replacing an earlier entry.
  void registerDocument(const std::string& urlPath, const std::string& file);
  // Enters `service` in the event and control URL maps under its entry's URLs.
  void registerService(const ServiceEntry& entry, Service& service);
  // Takes `service` out of both maps (the first entry that names it in each).
  void unregisterService(const Service& service);

  InterfaceState* findBySsdpSocket(int socket);
  InterfaceState* findByHttpSocket(int socket);

  std::map<uint32_t, std::unique_ptr<InterfaceState>> interfaces;  // by router device id
  SsdpTargets ssdpTargets;
  std::string fileDir = "/zelo/etc/upnp/";
  std::map<std::string, std::string> files;                        // URL path -> file name
  std::map<int, std::unique_ptr<HttpConnection>> connections;      // by socket
  std::map<std::string, Service*> eventUrlTable;
  std::map<std::string, Service*> controlUrlTable;
  Service osInfo;
  std::string identity;

 private:
  void startInternal(InterfaceState& state);
  void closeConnectionsOf(const InterfaceState& state);
};

}  // namespace upnp
