#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>

#include "platform/amap.h"
#include "platform/looper.h"
#include "platform/message.h"
#include "platform/thin_runner.h"

namespace bus {

// What a mirror's filter callback receives: set `skip` to ignore the entry.
struct DeviceEntry {
  uint32_t id;
  bool skip = false;
};

// Mirror of the router's interface table at [20, 0]. Register it with
// Looper::addHandler (change notices arrive as requests to it). Callbacks run on
// the loop thread, never from inside subscribe/updateAsync/refresh.
//
// When the link to the router breaks (its service restarted), the mirror
// resubscribes as soon as the service is back (retrying every kRetryMs) and asks
// again for every device it was asked about, so the owner sees fresh records.
class DeviceMirror : public Handler {
 public:
  using Filter = std::function<void(DeviceEntry&)>;
  using Changed = std::function<void(uint32_t id, const message& record)>;
  static constexpr uint32_t kRetryMs = 500;

  DeviceMirror();
  ~DeviceMirror() override;

  void setCallbacks(Filter filter, Changed changed);
  // Called when the mirror has subscribed again to a service that went away
  // (it restarted), before the fresh records are fetched.
  void setReconnected(std::function<void()> reconnected) { mReconnected = std::move(reconnected); }
  // Subscribes to change notices of the interface table.
  void subscribe();
  // Asks for the current record of `id`; it is delivered later through the
  // filter and change callbacks (nothing when the device does not exist).
  void updateAsync(uint32_t id);
  // Unsubscribes and forgets every pending request.
  void cleanup();
  bool subscribed() const { return mSubscribed; }

  message handle(const message& request) override;
  void onLinkDown(uint32_t address) override;

 private:
  void deliver(uint32_t id, const message& record);
  void flushPending();
  void retry();

  Path mPath{kAddrRouter, 0};
  Filter mFilter;
  Changed mChanged;
  std::function<void()> mReconnected;
  bool mSubscribed = false;          // between subscribe and cleanup
  bool mLinkUp = false;              // the subscription is in place at the service
  std::set<uint32_t> mWanted;        // devices asked about (updateAsync) since subscribe
  std::set<uint32_t> mPending;       // updates to deliver on the next loop pass
  Timer mKick;                       // runs flushPending / retry from the loop
};

// Mirror of an object map of another service (e.g. the address table at
// [20, 1]): keeps every object that passes the filter, made by the subclass's
// factory and loaded from the record, and calls the change callback after each
// batch of changes. Register it with Looper::addHandler. Recovers like
// DeviceMirror: after a restart of the service it resubscribes and refreshes.
class AMapMirror : public Handler {
 public:
  struct Entry {
    const AObject& object;
    bool skip = false;
  };
  using Filter = std::function<void(Entry&)>;
  using Changed = std::function<void()>;
  static constexpr uint32_t kRetryMs = 500;

  explicit AMapMirror(Path path);
  ~AMapMirror() override;

  void setCallbacks(Filter filter, Changed changed);
  void subscribe();
  // Fetches the whole map again; the change callback runs later from the loop.
  void refreshAsync();
  void cleanup();

  // The mirrored objects, by id, in id order.
  const std::map<uint32_t, std::unique_ptr<AObject>>& objects() const { return mObjects; }

  message handle(const message& request) override;
  void onLinkDown(uint32_t address) override;

 protected:
  virtual std::unique_ptr<AObject> makeObject() const = 0;

 private:
  bool store(uint32_t id, const message& record);  // true when something changed
  void runRefresh();
  void retry();

  Path mPath;
  Filter mFilter;
  Changed mChanged;
  bool mSubscribed = false;
  bool mLinkUp = false;
  bool mRefreshPending = false;
  bool mChangePending = false;
  std::map<uint32_t, std::unique_ptr<AObject>> mObjects;
  Timer mKick;
};

}  // namespace bus
