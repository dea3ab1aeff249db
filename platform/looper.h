#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/message.h"
#include "platform/thin_runner.h"

namespace bus {

class Looper;
using Path = std::vector<uint32_t>;

// Well-known top-level bus addresses of this router.
inline constexpr uint32_t kAddrResolver = 14;   // [14] name resolver
inline constexpr uint32_t kAddrRouter = 20;     // [20, 0] interfaces, [20, 1] addresses, [20, 5] NAT
inline constexpr uint32_t kAddrLog = 61;        // [61] router log (lines of every topic)
inline constexpr uint32_t kAddrIdentity = 65;   // [65] router identity
inline constexpr uint32_t kAddrUpnp = 80;       // [80, 0] the UPnP daemon's configuration

// How long a request to another router service may take (milliseconds).
inline constexpr uint32_t kReplyTimeoutMs = 6000;

// A receiver of bus requests, registered under a number with Looper::addHandler.
class Handler {
 public:
  Handler() = default;
  virtual ~Handler();
  Handler(const Handler&) = delete;
  Handler& operator=(const Handler&) = delete;

  // Called on the loop thread for every request addressed to this handler. The
  // returned message is the reply: an empty message accepts, errorMsg/failedMsg
  // refuses. Replies to one-way requests are dropped.
  virtual message handle(const message& request) = 0;

  // Called when the bus link to `address` broke (its process went away). Mirrors
  // use it to resubscribe. Default: nothing.
  virtual void onLinkDown(uint32_t address);
  // Called when any link to another process closed or broke, whoever opened
  // it: `originLink` is the Looper::Origin::link that requests arriving over
  // it carried. Services use it to drop what a vanished client left behind.
  // Default: nothing.
  virtual void onOriginGone(uint64_t originLink);

  Looper* looper() const { return mLooper; }
  uint32_t handlerNumber() const { return mNumber; }

 private:
  friend class Looper;
  Looper* mLooper = nullptr;  // set by addHandler
  uint32_t mNumber = 0;
};

// The event loop of a process and its end of the message bus. One per thread;
// everything runs on that thread.
//
// Transport: every hosted address listens on an abstract Unix stream socket whose
// name includes the platform root, so two routers on one machine (two roots or two
// network namespaces) never see each other. Messages travel as a u32 length
// followed by message::encode(). Links are bidirectional: a service may push
// one-way requests (change notices) back over a link that a client opened.
// Time-outs and the leave delay are in milliseconds.
class Looper {
 public:
  // Reachable at `address` (0: only as a client, e.g. command-line tools).
  // When the process was handed its listening socket by whoever started it
  // (LISTEN_PID is this process and LISTEN_FDS >= 1: the socket is fd 3, as
  // the service manager's socket activation and routerd's `program` statement
  // pass it), that socket is used instead of a new one, provided it is a
  // listening stream socket bound to this address's name; the variables are
  // then removed so that children do not inherit them. A socket bound to
  // another name is closed with a log line, and the address listened on as
  // usual.
  explicit Looper(uint32_t address = 0);
  virtual ~Looper();
  Looper(const Looper&) = delete;
  Looper& operator=(const Looper&) = delete;

  // The thread's Looper, or null.
  static Looper* current();

  uint32_t address() const { return mAddress; }
  ThinRunner& runner() { return mRunner; }

  // Makes `handler` (not owned; must outlive the loop) reachable at
  // [address(), number].
  void addHandler(uint32_t number, Handler* handler);
  // Hosts a handler under another top-level address of this process
  // ({20, 5}); requests from this process reach it directly, and other
  // processes reach it through a listening socket opened for `path[0]` unless
  // `listen` is false (in-process fakes for tests).
  void addHandlerAt(const Path& path, Handler* handler, bool listen = true);
  void removeHandlerAt(const Path& path);

  // Runs until a leave is due. Returns false if the loop failed.
  bool run();
  // Leave `run` once `delayMs` has passed; 0 cancels a pending leave.
  void setupLeave(uint32_t delayMs);
  void setupLeave(std::chrono::milliseconds delay) { setupLeave(static_cast<uint32_t>(delay.count())); }
  bool leavePending() const { return mLeaveAtMs != 0; }
  // For tests and tools: runs the loop until `done()` or `maxMs` passed.
  // Returns done().
  template <class Pred>
  bool runUntil(Pred done, uint32_t maxMs);
  void runOnce(int maxWaitMs) { pump(maxWaitMs); }

  // Sends `request` with `command` to the path in its kFieldDestination and
  // blocks the loop until the reply (no other callback runs meanwhile). Returns
  // the reply, or an error reply: kErrTimeout after `timeoutMs`, kErrUnreachable
  // for an unknown address or a broken link. Handlers of this process are
  // called directly.
  message exchangeCmd(message request, uint32_t command, uint32_t timeoutMs);
  // One-way: delivered later; failures are dropped. Handlers of this process
  // are called from the loop, not from inside sendCmd.
  void sendCmd(message request, uint32_t command);

  // Where the request being handled came from: a link to another process, or
  // this process (link 0). Valid only inside Handler::handle.
  struct Origin {
    uint64_t link = 0;
    bool operator==(const Origin&) const = default;
  };
  Origin currentOrigin() const;
  // One-way send back over the link a request came from (change notices to a
  // subscriber). The destination path's first element is ignored by the
  // receiver: [0, handler] addresses the peer's handler. Returns false when the
  // link is gone.
  bool sendTo(Origin origin, message request, uint32_t command);

 private:
  friend class Handler;
  struct Link;
  struct Impl;
  void pump(int maxWaitMs);
  // Drops every registration of a handler that is being destroyed.
  void forgetHandler(Handler* handler);

  uint32_t mAddress;
  ThinRunner mRunner;
  uint64_t mLeaveAtMs = 0;     // monotonic ms at which run() returns; 0: none
  std::unique_ptr<Impl> mImpl;  // handlers, links and queued work (looper.cpp)
};

// The abstract socket name (without the leading NUL) on which `address` is
// reached under the current platform root ($ZELO_ROOT).
std::string busSocketName(uint32_t address);
// A new non-blocking, close-on-exec socket listening at `address`, or -1 (with
// a log line) when the name is taken or the socket cannot be made. For
// processes that hold an address on behalf of another (routerd's programs).
int listenBusSocket(uint32_t address);

// exchangeCmd on the thread's Looper with the usual reply time-out; an error
// reply (kErrUnreachable) when the thread has no Looper.
message request(message request, uint32_t command, uint32_t timeoutMs = kReplyTimeoutMs);

template <class Pred>
bool Looper::runUntil(Pred done, uint32_t maxMs) {
  mRunner.updateNow();
  const uint64_t end = mRunner.nowMs() + maxMs;
  while (!done()) {
    mRunner.updateNow();
    if (mRunner.nowMs() >= end) return false;
    pump(static_cast<int>(std::min<uint64_t>(end - mRunner.nowMs(), 20)));
  }
  return true;
}

}  // namespace bus
