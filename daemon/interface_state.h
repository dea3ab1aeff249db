#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "daemon/upnp_interface_cfg.h"
#include "http/http_host.h"
#include "model/device.h"
#include "platform/ip_addr.h"
#include "platform/net.h"

namespace upnp {

class SsdpInterface;
class WANCommonInterfaceConfigService;
class WANIPConnectionService;

// The daemon's record of one configured interface, kept in step with the
// router's device and address reports. Its ServedInterface part (name,
// address, kernel index) is what the HTTP and SSDP servers of an internal
// interface read. Owned by the Gateway's interface table.
struct InterfaceState : ServedInterface {
  // `targets` (the gateway's announced targets) must outlive the record.
  InterfaceState(const UpnpInterfaceCfg& cfg, const SsdpTargets& targets);
  ~InterfaceState();
  InterfaceState(const InterfaceState&) = delete;
  InterfaceState& operator=(const InterfaceState&) = delete;

  bool isInternal() const { return config.type == kTypeInternal; }
  bool isExternal() const { return config.type == kTypeExternal; }

  UpnpInterfaceCfg config;   // copy of the entry the record was made from
  uint32_t deviceToken = 0;  // device field 0x10001; nothing starts while zero
  bool disabled = false;
  bool running = false;      // status bits 0x100 and 0x400 both set
  bool started = false;      // sockets (internal) or WAN services (external) are up
  std::unique_ptr<SsdpInterface> ssdp;  // internal only: announcements and searches
  net::Socket httpSocket;               // internal only: the HTTP listening socket
  std::unique_ptr<WANCommonInterfaceConfigService> commonService;  // external only
  std::unique_ptr<WANIPConnectionService> connectionService;       // external only
};

}  // namespace upnp
