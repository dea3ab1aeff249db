#include "daemon/interface_state.h"

#include "igd/wan_common_interface_config_service.h"
#include "igd/wan_ip_connection_service.h"
#include "ssdp/ssdp.h"

namespace upnp {

InterfaceState::InterfaceState(const UpnpInterfaceCfg& cfg, const SsdpTargets& targets)
    : config(cfg), ssdp(std::make_unique<SsdpInterface>(*this, targets)) {
  if (cfg.forcedIpEnabled) address = cfg.forcedIp;
}

InterfaceState::~InterfaceState() = default;

}  // namespace upnp
