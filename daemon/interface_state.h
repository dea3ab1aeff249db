#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "daemon/upnp_interface_cfg.h"
#include "platform/ip_addr.h"
#include "platform/thin_runner.h"

namespace upnp {

class WANCommonInterfaceConfigService;
class WANIPConnectionService;

// The daemon's record of one configured interface, kept in step with the
// router's device and address reports. Owned by the Gateway's interface table.
struct InterfaceState {
  explicit InterfaceState(const UpnpInterfaceCfg& cfg);
  ~InterfaceState();
  InterfaceState(const InterfaceState&) = delete;
  InterfaceState& operator=(const InterfaceState&) = delete;

  bool isInternal() const { return config.type == kTypeInternal; }
  bool isExternal() const { return config.type == kTypeExternal; }

  UpnpInterfaceCfg config;   // copy of the entry the record was made from
  std::string name;          // device field 0x10006
  uint32_t deviceToken = 0;  // device field 0x10001; nothing starts while zero
  uint32_t ifindex = 0;      // kernel interface index
  bool disabled = false;
  bool running = false;      // status bits 0x100 and 0x400 both set
  IPAddr address;            // forced address, first router address, or zero
  bool started = false;      // sockets (internal) or WAN services (external) are up
  int ssdpSocket = -1;
  int httpSocket = -1;
  bus::Timer advertTimer;    // internal only, armed while started
  std::unique_ptr<WANCommonInterfaceConfigService> commonService;  // external only
  std::unique_ptr<WANIPConnectionService> connectionService;       // external only
};

}  // namespace upnp
