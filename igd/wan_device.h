#pragma once

#include <string>

#include "model/device.h"

namespace upnp {

// The WAN branch of external interface `id` (its router device id, in
// decimal) for the router `identity`: the WANDevice carrying `commonEntry`
// with its WANConnectionDevice carrying `connectionEntry`.
Device buildWanDevice(const std::string& identity, const std::string& id, const ServiceEntry& commonEntry,
                      const ServiceEntry& connectionEntry);

// The UDN of the WANDevice that buildWanDevice makes for `identity` and `id`.
std::string wanDeviceUdn(const std::string& identity, const std::string& id);

}  // namespace upnp
