#pragma once

#include "model/device.h"

namespace upnp {

class Gateway;
struct InterfaceState;

inline constexpr const char* kSsdpGroup = "239.255.255.250";
// Announcement period: 3570 s, thirty seconds less than the max-age.
inline constexpr uint32_t kAdvertTicks = 357000;
inline constexpr unsigned kMaxAge = 3600;

// One burst on `state`'s SSDP socket: one NOTIFY per target, in map order.
void sendAdverts(const InterfaceState& state, const SsdpTargets& targets, bool byebye);
// sendAdverts on every started internal interface of the gateway, in table order.
void advertiseAll(Gateway& gateway, const SsdpTargets& targets, bool byebye);
// The advertisement timer of a started internal interface: alive burst, re-arm.
void onAdvertTimer(Gateway& gateway, InterfaceState& state);
// Readable callback of an internal interface's SSDP socket: answers M-SEARCH.
void onSearch(Gateway& gateway, int socket);

}  // namespace upnp
