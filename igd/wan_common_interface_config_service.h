#pragma once

#include <cstdint>
#include <string>

#include "model/service.h"

namespace upnp {

// The WANCommonInterfaceConfig service of one started external interface: link
// properties and the interface's traffic counters. Every counter read asks the
// router's interface table [20, 0] anew through the thread's Looper (one
// waiting request per counter). Owned by the interface's InterfaceState; loop
// thread only.
class WANCommonInterfaceConfigService : public Service {
 public:
  // Defines the nine state variables and six query actions, then sets both
  // bit rates. `deviceToken` 1 reports the access type "Ethernet", others "Other".
  WANCommonInterfaceConfigService(uint32_t externalInterfaceId, uint32_t deviceToken);
  ~WANCommonInterfaceConfigService();

  uint32_t externalInterfaceId;  // the interface's object id at [20, 0]

 private:
  // The low 32 bits of counter field `field` of a fresh statistics reply, in
  // decimal. A failed request is logged and reads as 0.
  std::string readCounter(uint32_t field) const;
};

}  // namespace upnp
