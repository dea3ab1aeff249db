#pragma once

#include <cstdint>

#include "model/service.h"
#include "platform/ip_addr.h"

namespace upnp {

// The WANIPConnection service of one started external interface: connection
// status, external address, uptime and the port-mapping table.
// (Declarations the interface lifecycle relies on; the service fills in the rest.)
class WANIPConnectionService : public Service {
 public:
  WANIPConnectionService(uint32_t externalInterfaceId, IPAddr externalAddress);
  ~WANIPConnectionService();

  // 2 "Connected", 3 "Disconnected", anything else "Connecting".
  void setConnectionStatus(uint32_t code);
  // Adopts a new, nonzero, different external address and retargets every rule.
  void setExternalIp(IPAddr address);
  // Removes every mapping's NAT rule (errors logged) and empties the table.
  void cleanupMappings();

  uint32_t externalInterfaceId;
  IPAddr externalAddress;
  bool allowDisableExternal = true;
  bool showDummyRule = true;
};

}  // namespace upnp
