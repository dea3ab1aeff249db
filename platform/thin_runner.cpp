#include "platform/thin_runner.h"

#include <sys/epoll.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/looper.h"

namespace bus {
namespace {

// The first runner built on this thread; ThinRunner::current() falls back to it
// when the thread has no Looper (a runner used on its own, as tools and tests do).
thread_local ThinRunner* tFallbackRunner = nullptr;

constexpr int kMaxEvents = 64;

uint64_t packData(int fd, uint32_t serial) {
  return (static_cast<uint64_t>(serial) << 32) | static_cast<uint32_t>(fd);
}

uint32_t toEpoll(uint32_t events) {
  uint32_t out = 0;
  if (events & ThinRunner::kReadable) out |= EPOLLIN;
  if (events & ThinRunner::kWritable) out |= EPOLLOUT;
  return out;
}

}  // namespace

ThinRunner::ThinRunner() {
  mEpollFd = epoll_create1(EPOLL_CLOEXEC);
  if (mEpollFd < 0) std::fprintf(stderr, "epoll_create1: %s\n", std::strerror(errno));
  updateNow();
  if (tFallbackRunner == nullptr) tFallbackRunner = this;
}

ThinRunner::~ThinRunner() {
  if (tFallbackRunner == this) tFallbackRunner = nullptr;
  if (mEpollFd >= 0) close(mEpollFd);
}

ThinRunner* ThinRunner::current() {
  if (Looper* looper = Looper::current()) return &looper->runner();
  return tFallbackRunner;
}

void ThinRunner::updateNow() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  mNowMs = static_cast<uint64_t>(ts.tv_sec) * 1000 + static_cast<uint64_t>(ts.tv_nsec) / 1000000;
}

void ThinRunner::addSocket(int fd, uint32_t events, SocketCallback callback) {
  if (fd < 0) return;
  // A fresh serial per registration: events already fetched for an earlier
  // registration of the same fd number are recognised as stale and dropped.
  const uint32_t serial = mNextSerial++;
  if (mNextSerial == 0) mNextSerial = 1;
  epoll_event ev{};
  ev.events = toEpoll(events);
  ev.data.u64 = packData(fd, serial);
  const bool known = mSockets.count(fd) != 0;
  int rc = epoll_ctl(mEpollFd, known ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, fd, &ev);
  // The owner may have closed and reopened the fd without telling us, so the
  // kernel's view can differ from ours in either direction.
  if (rc < 0 && errno == ENOENT) rc = epoll_ctl(mEpollFd, EPOLL_CTL_ADD, fd, &ev);
  if (rc < 0 && errno == EEXIST) rc = epoll_ctl(mEpollFd, EPOLL_CTL_MOD, fd, &ev);
  if (rc < 0) {
    std::fprintf(stderr, "epoll_ctl: %s\n", std::strerror(errno));
    mSockets.erase(fd);
    return;
  }
  mSockets[fd] = Registration{events, serial, std::move(callback)};
}

void ThinRunner::removeSocket(int fd) {
  auto it = mSockets.find(fd);
  if (it == mSockets.end()) return;
  epoll_ctl(mEpollFd, EPOLL_CTL_DEL, fd, nullptr);  // EBADF after a close is fine
  mSockets.erase(it);
}

bool ThinRunner::hasSocket(int fd) const { return mSockets.count(fd) != 0; }

uint64_t ThinRunner::addTimer(uint32_t ticks, std::function<void()> callback) {
  const uint64_t seq = mNextSeq++;
  mHeap.push(TimerEntry{mNowMs + static_cast<uint64_t>(ticks) * kTickMs, seq});
  mTimers.emplace(seq, std::move(callback));
  // Cancelled entries stay in the heap until they come due; rebuild it when they
  // dominate so that re-armed long timers cannot grow it without bound.
  if (mHeap.size() > 2 * mTimers.size() + 64) {
    std::vector<TimerEntry> live;
    while (!mHeap.empty()) {
      if (mTimers.count(mHeap.top().seq)) live.push_back(mHeap.top());
      mHeap.pop();
    }
    for (const TimerEntry& e : live) mHeap.push(e);
  }
  return seq;
}

void ThinRunner::removeTimer(uint64_t handle) { mTimers.erase(handle); }

int ThinRunner::msUntilNextTimer() const {
  if (mHeap.empty()) return -1;
  const uint64_t due = mHeap.top().deadlineMs;
  if (due <= mNowMs) return 0;
  const uint64_t wait = due - mNowMs;
  return wait > 0x7fffffff ? 0x7fffffff : static_cast<int>(wait);
}

void ThinRunner::runTimers() {
  // Timers armed while this pass runs wait for the next pass, even with 0 ticks:
  // a timer that re-arms itself cannot starve the sockets.
  const uint64_t limit = mNextSeq;
  while (!mHeap.empty()) {
    const TimerEntry top = mHeap.top();
    if (top.deadlineMs > mNowMs || top.seq >= limit) break;
    mHeap.pop();
    auto it = mTimers.find(top.seq);
    if (it == mTimers.end()) continue;  // cancelled
    std::function<void()> callback = std::move(it->second);
    mTimers.erase(it);
    callback();
  }
}

bool ThinRunner::runOnce(int maxWaitMs) {
  updateNow();
  while (!mHeap.empty() && mTimers.count(mHeap.top().seq) == 0) mHeap.pop();
  int wait = msUntilNextTimer();
  if (maxWaitMs >= 0 && (wait < 0 || maxWaitMs < wait)) wait = maxWaitMs;
  const uint64_t start = mNowMs;
  epoll_event events[kMaxEvents];
  int n;
  for (;;) {
    n = epoll_wait(mEpollFd, events, kMaxEvents, wait);
    if (n >= 0 || errno != EINTR) break;
    updateNow();
    if (wait > 0) {
      const uint64_t spent = mNowMs - start;
      wait = spent >= static_cast<uint64_t>(wait) ? 0 : wait - static_cast<int>(spent);
    }
  }
  if (n < 0) return false;
  updateNow();
  for (int i = 0; i < n; ++i) {
    const int fd = static_cast<int>(static_cast<uint32_t>(events[i].data.u64));
    const uint32_t serial = static_cast<uint32_t>(events[i].data.u64 >> 32);
    // Earlier callbacks of this batch may have removed or replaced the socket.
    auto it = mSockets.find(fd);
    if (it == mSockets.end() || it->second.serial != serial) continue;
    const uint32_t wanted = toEpoll(it->second.events) | EPOLLHUP | EPOLLERR;
    if ((events[i].events & wanted) == 0) continue;
    SocketCallback callback = it->second.callback;  // the callback may remove itself
    if (callback) callback(fd);
  }
  runTimers();
  return true;
}

void Timer::start(uint32_t ticks, std::function<void()> callback) {
  mCallback = std::move(callback);
  start(ticks);
}

void Timer::start(uint32_t ticks) {
  cancel();
  ThinRunner* runner = ThinRunner::current();
  if (runner == nullptr || !mCallback) return;
  mHandle = runner->addTimer(ticks, [this] {
    // Disarmed before the call and run from a copy: the callback may destroy
    // or re-arm this Timer.
    mHandle = 0;
    std::function<void()> callback = mCallback;
    callback();
  });
}

void Timer::cancel() {
  if (mHandle == 0) return;
  if (ThinRunner* runner = ThinRunner::current()) runner->removeTimer(mHandle);
  mHandle = 0;
}

}  // namespace bus
