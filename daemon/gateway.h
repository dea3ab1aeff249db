#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "daemon/interface_state.h"
#include "http/gena/gena.h"
#include "http/http_host.h"
#include "http/http_server.h"
#include "model/device.h"
#include "model/service.h"
#include "platform/message.h"
#include "platform/mirror.h"

namespace bus {
class lstream;
}

namespace upnp {

// The root InternetGatewayDevice and the daemon's tables: configured
// interfaces, served files and the control and event URL maps. It builds and
// wires the subsystems: the HTTP server (for which it is the host), SSDP on
// each started internal interface, the WAN services of the external one.
// One per process, owned by the UpnpDaemon. Loop thread only.
class Gateway : public RootDevice, public HttpHost {
 public:
  // `routerLog` is the router log handed to the WAN services; it must outlive
  // the gateway.
  explicit Gateway(bus::lstream& routerLog);
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
  // The router's services restarted: their NAT table lost our rules, so every
  // port mapping's rule is added again.
  void routerRestarted();

  // Brings `state` in line with its record: restarts an internal interface
  // (stop, then start when it has a token and an address); updates the WAN
  // services of an external one and starts them when not yet started.
  // Nothing while the service is not running or the token is zero.
  void updateDevice(InterfaceState& state);
  // Byebye burst, timer and sockets closed; nothing when not started.
  void stopInternal(InterfaceState& state);
  // stopInternal, or for an external interface: WAN branch withdrawn (byebye
  // of its targets), services unregistered, every NAT rule removed.
  void stopInterface(InterfaceState& state);

  // Refills ssdpTargets from the current device tree.
  void refreshTargets();
  // sendAdverts of `targets` on every started internal interface, in table order.
  void advertiseAll(const SsdpTargets& targets, bool byebye);

  // Serves `file` (under fileDir) at `urlPath`, replacing an earlier entry.
  void registerDocument(const std::string& urlPath, const std::string& file);
  // Enters `service` in the event and control URL maps under its entry's URLs
  // and gives it the event sink. `service` must stay alive until unregistered.
  void registerService(const ServiceEntry& entry, Service& service);
  // Takes `service` out of both maps (the first entry that names it in each).
  void unregisterService(const Service& service);

  // HttpHost.
  Service* controlService(const std::string& path) override;
  Service* eventService(const std::string& path) override;
  const std::string* servedFile(const std::string& path) const override;
  const std::string& documentDir() const override { return fileDir; }
  const std::string& description(const std::string& localAddress) override;
  const ServedInterface* interfaceOf(int socket) const override;

  std::map<uint32_t, std::unique_ptr<InterfaceState>> interfaces;  // by router device id
  SsdpTargets ssdpTargets;
  std::string fileDir = "/zelo/etc/upnp/";
  std::map<std::string, std::string> files;                        // URL path -> file name
  std::map<std::string, Service*> eventUrlTable;                   // not owned
  std::map<std::string, Service*> controlUrlTable;                 // not owned
  Service osInfo;
  std::string identity;
  EventNotifier events;  // the event sink of every registered service
  HttpServer http;       // connections of every internal interface

 private:
  void startInternal(InterfaceState& state);
  void startExternal(InterfaceState& state);

  bus::lstream& mRouterLog;
  // The description text per local address, built on first use and dropped
  // whenever the device tree changes.
  std::map<std::string, std::string> mDescriptions;
};

}  // namespace upnp
