#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <queue>
#include <vector>

#include "platform/status.h"

namespace bus {

class Timer;

// The loop's socket and timer multiplexer (epoll). One per Looper; loop thread only.
//
// Callbacks may add or remove any socket or timer, including their own: a removed
// socket's pending events are dropped, and a Timer may be destroyed from inside
// its own callback.
class ThinRunner {
 public:
  using SocketCallback = std::function<void(int fd)>;
  static constexpr uint32_t kReadable = 1;  // POLLIN
  static constexpr uint32_t kWritable = 4;  // POLLOUT
  static constexpr uint32_t kTickMs = 10;   // timers count ticks of 10 ms

  ThinRunner();
  ~ThinRunner();
  ThinRunner(const ThinRunner&) = delete;
  ThinRunner& operator=(const ThinRunner&) = delete;

  // The runner of the thread's Looper, or null when there is none.
  static ThinRunner* current();

  // Registers `fd` for `events` (kReadable and/or kWritable); replaces an
  // earlier registration of the same fd. The runner never closes fds.
  void addSocket(int fd, uint32_t events, SocketCallback callback);
  // Unregisters; unknown fds are ignored.
  void removeSocket(int fd);
  bool hasSocket(int fd) const;

  // One-shot timer owned by the runner: fires once after `ticks`. Returns a
  // handle for removeTimer. Prefer the owned `Timer` class.
  uint64_t addTimer(uint32_t ticks, std::function<void()> callback);
  void removeTimer(uint64_t handle);

  // Waits at most `maxWaitMs` (-1: until the next timer or event) and runs every
  // callback that is due. Returns false when epoll failed.
  bool runOnce(int maxWaitMs);

  // Milliseconds on the monotonic clock, read once per iteration.
  uint64_t nowMs() const { return mNowMs; }
  void updateNow();
  // Milliseconds until the next timer is due (-1 when none).
  int msUntilNextTimer() const;

 private:
  friend class Timer;
  struct Registration {
    uint32_t events = 0;
    uint32_t serial = 0;
    SocketCallback callback;
  };
  struct TimerEntry {
    uint64_t deadlineMs;
    uint64_t seq;  // equal deadlines fire in the order they were armed
    bool operator>(const TimerEntry& o) const {
      return deadlineMs != o.deadlineMs ? deadlineMs > o.deadlineMs : seq > o.seq;
    }
  };

  void runTimers();

  int mEpollFd = -1;
  uint64_t mNowMs = 0;
  uint32_t mNextSerial = 1;
  uint64_t mNextSeq = 1;
  std::map<int, Registration> mSockets;                      // fd -> registration
  std::priority_queue<TimerEntry, std::vector<TimerEntry>, std::greater<>> mHeap;
  std::map<uint64_t, std::function<void()>> mTimers;          // seq -> callback of armed timers
};

// An owned one-shot timer of the thread's runner. Destroying it cancels it; it
// may be destroyed or re-armed from inside its own callback. Loop thread only.
class Timer {
 public:
  Timer() = default;
  Timer(uint32_t ticks, std::function<void()> callback) { start(ticks, std::move(callback)); }
  ~Timer() { cancel(); }
  Timer(const Timer&) = delete;
  Timer& operator=(const Timer&) = delete;

  // Arms (or re-arms) the timer to fire once after `ticks` of 10 ms.
  void start(uint32_t ticks, std::function<void()> callback);
  // Re-arms with the callback of the last start.
  void start(uint32_t ticks);
  // The same with a duration, rounded up to whole ticks.
  void start(std::chrono::milliseconds after, std::function<void()> callback) {
    start(toTicks(after), std::move(callback));
  }
  void start(std::chrono::milliseconds after) { start(toTicks(after)); }
  static uint32_t toTicks(std::chrono::milliseconds after) {
    const auto ms = after.count() < 0 ? 0 : static_cast<uint64_t>(after.count());
    return static_cast<uint32_t>((ms + ThinRunner::kTickMs - 1) / ThinRunner::kTickMs);
  }
  void cancel();
  bool armed() const { return mHandle != 0; }

 private:
  uint64_t mHandle = 0;            // runner handle while armed
  std::function<void()> mCallback;
};

}  // namespace bus
