#include "daemon/interface_state.h"

#include "igd/wan_common_interface_config_service.h"
#include "igd/wan_ip_connection_service.h"

namespace upnp {

InterfaceState::InterfaceState(const UpnpInterfaceCfg& cfg) : config(cfg) {
  if (cfg.forcedIpEnabled) address = cfg.forcedIp;
}

InterfaceState::~InterfaceState() = default;

}  // namespace upnp
