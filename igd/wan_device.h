#pragma once

namespace upnp {

class Gateway;
struct InterfaceState;

// Builds the WAN branch of an external interface under the gateway: the
// WANDevice with its WANCommonInterfaceConfig service and the
// WANConnectionDevice with its WANIPConnection service, registers and announces
// them and sets `started`. Nothing when already started or the token is zero.
void startExternal(Gateway& gateway, InterfaceState& state);

}  // namespace upnp
