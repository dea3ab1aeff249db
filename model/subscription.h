#pragma once

#include <cstdint>
#include <deque>
#include <string>

#include "platform/ip_addr.h"
#include "platform/thin_runner.h"

namespace upnp {

class Service;

// One GENA subscription, owned by its service's `subscriptions` map under its
// SID. Destroying it cancels its expiry timer.
struct Subscription {
  std::string sid;              // "uuid:..." as handed to the subscriber
  IPAddr callbackAddress;       // where NOTIFY requests go
  uint16_t callbackPort = 80;
  std::string callbackPath;
  Service* service = nullptr;   // the owning service
  uint32_t seq = 0;             // SEQ of the next event
  bool delivering = false;      // an event delivery of this subscription is in flight
  std::deque<std::string> queued;  // variables of the events waiting behind it, oldest first
  bus::Timer expiry;            // removes the subscription when its time is up
};

}  // namespace upnp
