#pragma once

#include <cstdint>

#include "igd/port_mapping_table.h"
#include "model/service.h"
#include "platform/ip_addr.h"

namespace bus {
class lstream;
}

namespace upnp {

// The ConnectionStatus of the WANIPConnection service.
enum class ConnectionStatus { Connecting = 1, Connected = 2, Disconnected = 3 };

// The status of an external interface: Disconnected while it is disabled,
// Connected while its link runs, Connecting otherwise.
ConnectionStatus connectionStatus(bool disabled, bool running);

// The WANIPConnection service of one started external interface: connection
// status, external address, uptime and the port-mapping table. Built when the
// external interface starts and destroyed when it stops; owned by the
// interface's InterfaceState. Requests to the router go through the thread's
// Looper. Loop thread only.
class WANIPConnectionService : public Service {
 public:
  // Defines the eighteen state variables and eleven actions with their initial
  // values; ExternalIPAddress starts as the text of `externalAddress` (zero
  // while not yet known). `routerLog` (the router log, topic 67) receives the
  // address and mapping lines and must outlive the service.
  WANIPConnectionService(uint32_t externalInterfaceId, IPAddr externalAddress, bus::lstream& routerLog);
  ~WANIPConnectionService();

  void setConnectionStatus(ConnectionStatus status);
  // Adopts a new, nonzero, different external address and retargets every rule.
  void setExternalIp(IPAddr address);
  // Removes every mapping's NAT rule (errors logged) and empties the table.
  void cleanupMappings();
  // Sets PortMappingNumberOfEntries from the table and showDummyRule; call it
  // after changing showDummyRule.
  void refreshEntryCount();

  // The actions that are not about port mappings.
  UpnpError SetConnectionType(ActionRequest& request);
  UpnpError RequestConnection(ActionRequest& request);
  UpnpError ForceTermination(ActionRequest& request);

  uint32_t externalInterfaceId;  // the interface's object id at [20, 0]
  IPAddr externalAddress;        // zero until known; changed only by setExternalIp
  bool allowDisableExternal = true;
  bool showDummyRule = true;     // the table shows its dummy entry first
  PortMappingTable mappings;     // reads the four fields above

 private:
  void defineVariables();
  void defineActions();

  bus::lstream& mRouterLog;
  // Sets the disabled flag of the external interface; false after logging
  // `failure` with the error text.
  bool setInterfaceDisabled(bool disabled, const char* failure);
};

}  // namespace upnp
