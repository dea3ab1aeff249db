#pragma once

#include <chrono>
#include <memory>

#include "daemon/gateway.h"
#include "daemon/upnp_config.h"
#include "platform/looper.h"
#include "platform/mirror.h"
#include "platform/system.h"

namespace upnp {

// Mirror of the router's address table: one AddressEntry per address.
class AddressMirror : public bus::AMapMirror {
 public:
  AddressMirror() : AMapMirror({bus::kAddrRouter, 1}) {}
  ~AddressMirror() override;

 protected:
  std::unique_ptr<bus::AObject> makeObject() const override;
};

// An entry of the router's address table.
class AddressEntry : public bus::AObject {
 public:
  void save(bus::message& out) const override;
  void load(const bus::message& in) override;

  IPAddr address;          // field 1
  uint32_t prefix = 24;    // field 2: prefix length of the address's subnet
  uint32_t interface = 0;  // field 5, or field 10 when 5 is absent
  bool disabled = false;   // 0xfe000a
};

// How long the process stays after start-up or a disabling change while the
// service is disabled.
inline constexpr std::chrono::milliseconds kLeaveDelay = std::chrono::seconds(1);

// The daemon: the process's Looper with the configuration, the root device and
// the two mirrors. Created once by main and never destroyed.
class UpnpDaemon : public bus::Looper {
 public:
  UpnpDaemon();
  ~UpnpDaemon() override;

  // Builds the root device, registers the handlers, loads the settings and
  // fetches the router identity (everything before the loop runs).
  void start();

  void enable();
  void disable();

  bool running = false;  // between enable and disable
  UpnpConfig config;
  Gateway gateway;
  bus::DeviceMirror deviceMirror;
  AddressMirror addressMirror;
};

// The process's daemon; set during start-up before any handler is registered.
UpnpDaemon& theDaemon();

// The router log (topic 67), made before main; the WAN services write the
// address and port-mapping lines to it.
bus::lstream& routerLog();

}  // namespace upnp
