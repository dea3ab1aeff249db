#pragma once

#include <cstdint>
#include <vector>

#include "platform/looper.h"

namespace bus {

// Fields of the change-subscription protocol (commands kCmdSubscribe,
// kCmdUnsubscribe, kCmdChanged).
inline constexpr uint32_t kFieldSubscriberHandler = 0xfe0023;  // u32, on subscribe/unsubscribe
inline constexpr uint32_t kFieldRemoved = 0xfe0024;            // bool, on a change notice
inline constexpr uint32_t kFieldRecord = 0xfe0025;             // nested, on a change notice

// The publishing side of change subscriptions, for any table served on the bus.
// A subscriber sends kCmdSubscribe with kFieldSubscriberHandler = its handler
// number; every change is then pushed to it as a one-way kCmdChanged request to
// [0, handler] over the same link, with kFieldObjectId, kFieldRemoved and
// kFieldRecord (the object's fields). Subscribers whose link broke are dropped.
class Publisher {
 public:
  // Handles kCmdSubscribe and kCmdUnsubscribe for the request being handled by
  // `looper`; returns true (and sets `reply`) when `request` was one of them.
  bool handleRequest(Looper& looper, const message& request, message& reply);
  // Pushes one change notice to every subscriber.
  void publish(Looper& looper, uint32_t id, bool removed, const message& record);
  size_t subscriberCount() const { return mSubscribers.size(); }

 private:
  struct Subscriber {
    Looper::Origin origin;
    uint32_t handler;
  };
  std::vector<Subscriber> mSubscribers;
};

}  // namespace bus
