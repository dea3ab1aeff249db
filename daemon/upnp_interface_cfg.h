#pragma once

#include <cstdint>

#include "platform/amap.h"
#include "platform/ip_addr.h"

namespace upnp {

// Interface roles of a "upnp interface" entry.
inline constexpr uint32_t kTypeExternal = 1;
inline constexpr uint32_t kTypeInternal = 2;

// One "upnp interface" entry of the settings: a router interface, its role and
// an optional forced address. Persisted by UpnpConfig's map.
class UpnpInterfaceCfg : public bus::AObject {
 public:
  // Message fields of the entry (besides the map's object id).
  static constexpr uint32_t kFieldInterface = 1;
  static constexpr uint32_t kFieldType = 2;
  static constexpr uint32_t kFieldForcedIpEnabled = 3;
  static constexpr uint32_t kFieldForcedIp = 4;

  void save(bus::message& out) const override;
  void load(const bus::message& in) override;

  bool disabled = false;        // stored, but creates no interface record
  bool dynamic = false;         // made by the system; cannot be changed
  uint32_t interface = 0;       // router device id
  uint32_t type = 0;            // kTypeExternal or kTypeInternal
  bool forcedIpEnabled = false;
  IPAddr forcedIp;
};

}  // namespace upnp
