#include "platform/publisher.h"

#include <algorithm>

namespace bus {

bool Publisher::handleRequest(Looper& looper, const message& request, message& reply) {
  const uint32_t command = request.getU32(kFieldCommand);
  if (command != kCmdSubscribe && command != kCmdUnsubscribe) return false;
  const Looper::Origin origin = looper.currentOrigin();
  const uint32_t handler = request.getU32(kFieldSubscriberHandler);
  auto same = [&](const Subscriber& s) { return s.origin == origin && s.handler == handler; };
  auto it = std::find_if(mSubscribers.begin(), mSubscribers.end(), same);
  if (command == kCmdSubscribe) {
    // A subscriber that resubscribes over the same link (after a retry that
    // crossed our reply) must still get each notice once.
    if (it == mSubscribers.end()) mSubscribers.push_back(Subscriber{origin, handler});
  } else if (it != mSubscribers.end()) {
    mSubscribers.erase(it);
  }
  reply = message();
  return true;
}

void Publisher::publish(Looper& looper, uint32_t id, bool removed, const message& record) {
  // sendTo can drop links, which never reach back into this list, but work on
  // a copy anyway so that a notice handled in this process cannot disturb it.
  std::vector<Subscriber> subscribers = mSubscribers;
  for (const Subscriber& s : subscribers) {
    message notice;
    notice.setU32Array(kFieldDestination, {0, s.handler});
    notice.setU32(kFieldObjectId, id);
    notice.setBool(kFieldRemoved, removed);
    notice.setMessage(kFieldRecord, record);
    if (!looper.sendTo(s.origin, notice, kCmdChanged)) {
      std::erase_if(mSubscribers, [&](const Subscriber& x) { return x.origin == s.origin && x.handler == s.handler; });
    }
  }
}

}  // namespace bus
