#include "daemon/upnp_interface_cfg.h"

namespace upnp {

void UpnpInterfaceCfg::save(bus::message& out) const {
  out.setBool(bus::kFieldDisabled, disabled);
  out.setBool(bus::kFieldDynamic, dynamic);
  out.setU32(kFieldInterface, interface);
  out.setU32(kFieldType, type);
  out.setBool(kFieldForcedIpEnabled, forcedIpEnabled);
  out.setBe32(kFieldForcedIp, forcedIp);
}

void UpnpInterfaceCfg::load(const bus::message& in) {
  disabled = in.getBool(bus::kFieldDisabled, disabled);
  dynamic = in.getBool(bus::kFieldDynamic, dynamic);
  type = in.getU32(kFieldType, type);
  interface = in.getU32(kFieldInterface, interface);
  forcedIpEnabled = in.getBool(kFieldForcedIpEnabled, forcedIpEnabled);
  forcedIp = in.getBe32(kFieldForcedIp, forcedIp);
}

}  // namespace upnp
