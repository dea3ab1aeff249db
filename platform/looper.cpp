#include "platform/looper.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <deque>

#include "platform/paths.h"

namespace bus {
namespace {

thread_local Looper* tLooper = nullptr;

constexpr int kSendTimeoutMs = 1000;
constexpr size_t kReadChunk = 64 * 1024;
constexpr int kReadsPerEvent = 16;    // bounds the work one busy peer causes per pass
constexpr int kAcceptsPerEvent = 16;
constexpr size_t kFrameHeader = 4;

uint64_t monotonicMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000 + static_cast<uint64_t>(ts.tv_nsec) / 1000000;
}

// The abstract socket name of a bus address. The root is part of the name so
// that two platform roots on one machine never reach each other; a root too
// long for sun_path is replaced by a hash of it.
std::string busNameOf(uint32_t address) {
  std::string root = platformRoot();
  std::string name = "zelo-bus:" + root + ":" + std::to_string(address);
  if (name.size() + 1 > sizeof(sockaddr_un::sun_path)) {
    uint64_t hash = 1469598103934665603ull;
    for (unsigned char c : root) hash = (hash ^ c) * 1099511628211ull;
    char hex[17];
    std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(hash));
    name = std::string("zelo-bus:#") + hex + ":" + std::to_string(address);
  }
  return name;
}

socklen_t makeAddr(uint32_t address, sockaddr_un& sa) {
  const std::string name = busNameOf(address);
  std::memset(&sa, 0, sizeof sa);
  sa.sun_family = AF_UNIX;
  std::memcpy(sa.sun_path + 1, name.data(), name.size());  // sun_path[0] = 0: abstract
  return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
}

void setSendTimeout(int fd) {
  // A peer that stops reading must not stall this loop for longer than this.
  timeval tv{kSendTimeoutMs / 1000, (kSendTimeoutMs % 1000) * 1000};
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

int listenOn(uint32_t address) {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return -1;
  sockaddr_un sa;
  const socklen_t len = makeAddr(address, sa);
  if (bind(fd, reinterpret_cast<sockaddr*>(&sa), len) < 0 || listen(fd, 64) < 0) {
    std::fprintf(stderr, "bus listen %u: %s\n", address, std::strerror(errno));
    close(fd);
    return -1;
  }
  return fd;
}

// The listening socket handed over by whoever started this process (fd 3,
// see Looper's constructor), or -1 when there is none for `address`.
int adoptHandedSocket(uint32_t address) {
  const char* pidText = std::getenv("LISTEN_PID");
  const char* fdsText = std::getenv("LISTEN_FDS");
  if (pidText == nullptr || fdsText == nullptr) return -1;
  const long pid = std::strtol(pidText, nullptr, 10);
  const long fds = std::strtol(fdsText, nullptr, 10);
  if (pid != static_cast<long>(getpid()) || fds < 1) return -1;
  // Whatever the outcome, the hand-over is for this process only.
  unsetenv("LISTEN_PID");
  unsetenv("LISTEN_FDS");
  unsetenv("LISTEN_FDNAMES");
  constexpr int fd = 3;
  int listening = 0, type = 0;
  socklen_t len = sizeof listening;
  socklen_t typeLen = sizeof type;
  sockaddr_un have{};
  socklen_t haveLen = sizeof have;
  if (getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &len) < 0 || !listening ||
      getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &typeLen) < 0 || type != SOCK_STREAM ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&have), &haveLen) < 0 || have.sun_family != AF_UNIX) {
    std::fprintf(stderr, "bus listen %u: handed-over fd 3 is not a listening unix stream socket\n", address);
    return -1;
  }
  sockaddr_un want;
  const socklen_t wantLen = makeAddr(address, want);
  if (haveLen != wantLen || std::memcmp(&have, &want, wantLen) != 0) {
    std::fprintf(stderr, "bus listen %u: handed-over socket is not @%s\n", address, busNameOf(address).c_str());
    close(fd);
    return -1;
  }
  fcntl(fd, F_SETFD, FD_CLOEXEC);
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  return fd;
}

int connectTo(uint32_t address) {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  setSendTimeout(fd);  // also bounds connect() on a full backlog
  sockaddr_un sa;
  const socklen_t len = makeAddr(address, sa);
  int rc;
  do {
    rc = connect(fd, reinterpret_cast<sockaddr*>(&sa), len);
  } while (rc < 0 && errno == EINTR);
  if (rc < 0) {
    close(fd);
    return -1;
  }
  return fd;
}

bool writeAll(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;  // includes the send time-out: the stream is out of step
    done += static_cast<size_t>(n);
  }
  return true;
}

std::string frame(const message& m) {
  const std::string body = m.encode();
  const uint32_t len = static_cast<uint32_t>(body.size());
  std::string out;
  out.reserve(kFrameHeader + body.size());
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((len >> (8 * i)) & 0xff));
  out += body;
  return out;
}

// Moves every complete frame of `buffer` to `out`. False when a frame is
// malformed (oversized length or undecodable body): the link must be closed.
bool takeFrames(std::string& buffer, std::vector<message>& out) {
  size_t pos = 0;
  bool ok = true;
  while (buffer.size() - pos >= kFrameHeader) {
    const auto* p = reinterpret_cast<const unsigned char*>(buffer.data() + pos);
    const uint32_t len = p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
    if (len > message::kMaxSize) {
      ok = false;
      break;
    }
    if (buffer.size() - pos - kFrameHeader < len) break;
    std::optional<message> m = message::decode(std::string_view(buffer).substr(pos + kFrameHeader, len));
    if (!m) {
      ok = false;
      break;
    }
    out.push_back(std::move(*m));
    pos += kFrameHeader + len;
  }
  buffer.erase(0, pos);
  return ok;
}

// Destination of a request: address and handler number ([a] means handler 0).
bool route(const message& m, uint32_t& address, uint32_t& number) {
  const std::vector<uint32_t> path = m.getU32Array(kFieldDestination);
  if (path.empty()) return false;
  address = path[0];
  number = path.size() > 1 ? path[1] : 0;
  return true;
}

message noRoute(uint32_t address) {
  return errorMsg(kErrUnreachable, "no route to " + std::to_string(address));
}

}  // namespace

Handler::~Handler() {
  if (mLooper != nullptr) mLooper->forgetHandler(this);
}

void Handler::onLinkDown(uint32_t) {}

void Handler::onOriginGone(uint64_t) {}

std::string busSocketName(uint32_t address) { return busNameOf(address); }

int listenBusSocket(uint32_t address) { return listenOn(address); }

struct Looper::Link {
  int fd = -1;
  uint32_t address = 0;  // peer address for links this process opened; 0 for accepted ones
  std::string in;        // received bytes not yet forming a whole frame
};

struct Looper::Impl {
  struct Posted {
    bool linkDown = false;  // else a request to dispatch
    uint64_t link = 0;      // origin of the request, or the link that closed
    uint32_t address = 0;   // the address whose link broke (0: a link we accepted)
    message request;
  };

  explicit Impl(Looper& self) : self(self) {}

  Looper& self;
  std::map<uint32_t, Handler*> own;                          // addHandler: [address(), n] and [0, n]
  std::map<uint32_t, std::map<uint32_t, Handler*>> hosted;   // addHandlerAt: address -> n -> handler
  std::map<uint32_t, int> listeners;                         // address -> listening fd
  std::map<uint64_t, Link> links;                            // by link id (never reused)
  std::map<uint32_t, uint64_t> outgoing;                     // address -> cached link id
  std::deque<Posted> posted;                                 // dispatched from the loop, in order
  uint64_t postTimer = 0;                                    // runner handle while armed
  Origin origin;                                             // of the request being handled
  uint32_t nextRequestId = 1;
  uint64_t nextLinkId = 1;
  bool failed = false;                                       // epoll failed

  bool isLocal(uint32_t address) const {
    return address == 0 || address == self.mAddress || hosted.count(address) != 0;
  }

  Handler* find(uint32_t address, uint32_t number) const {
    if (address == 0 || address == self.mAddress) {
      auto it = own.find(number);
      return it == own.end() ? nullptr : it->second;
    }
    auto a = hosted.find(address);
    if (a == hosted.end()) return nullptr;
    auto it = a->second.find(number);
    return it == a->second.end() ? nullptr : it->second;
  }

  void listen(uint32_t address, bool mayAdopt = false) {
    if (listeners.count(address)) return;
    int fd = mayAdopt ? adoptHandedSocket(address) : -1;
    if (fd < 0) fd = listenOn(address);
    if (fd < 0) return;
    listeners[address] = fd;
    self.mRunner.addSocket(fd, ThinRunner::kReadable, [this](int lfd) { accept(lfd); });
  }

  void unlisten(uint32_t address) {
    auto it = listeners.find(address);
    if (it == listeners.end()) return;
    self.mRunner.removeSocket(it->second);
    close(it->second);
    listeners.erase(it);
  }

  void accept(int lfd) {
    for (int i = 0; i < kAcceptsPerEvent; ++i) {
      int fd = accept4(lfd, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) return;
      setSendTimeout(fd);
      addLink(fd, 0);
    }
  }

  uint64_t addLink(int fd, uint32_t address) {
    const uint64_t id = nextLinkId++;
    links[id] = Link{fd, address, {}};
    if (address != 0) outgoing[address] = id;
    self.mRunner.addSocket(fd, ThinRunner::kReadable, [this, id](int) { onReadable(id); });
    return id;
  }

  void closeLink(uint64_t id, bool notify) {
    auto it = links.find(id);
    if (it == links.end()) return;
    const uint32_t address = it->second.address;
    self.mRunner.removeSocket(it->second.fd);
    close(it->second.fd);
    links.erase(it);
    auto o = outgoing.find(address);
    if (o != outgoing.end() && o->second == id) outgoing.erase(o);
    if (notify) post(Posted{true, id, address, message()});
  }

  bool sendFrame(uint64_t id, const std::string& bytes) {
    auto it = links.find(id);
    if (it == links.end()) return false;
    if (writeAll(it->second.fd, bytes)) return true;
    closeLink(id, true);
    return false;
  }

  // Sends over the cached link to `address`, or a new one when there is none or
  // the cached one turns out dead (the peer restarted). Returns the link id, 0
  // when the address cannot be reached.
  uint64_t sendRemote(uint32_t address, const std::string& bytes) {
    auto o = outgoing.find(address);
    if (o != outgoing.end() && sendFrame(o->second, bytes)) return o->second;
    int fd = connectTo(address);
    if (fd < 0) return 0;
    const uint64_t id = addLink(fd, address);
    return sendFrame(id, bytes) ? id : 0;
  }

  // Reads what the link has; false when it closed or broke (then it is gone).
  bool readInto(uint64_t id, std::vector<message>& out) {
    Link& link = links.at(id);
    char buf[kReadChunk];
    for (int i = 0; i < kReadsPerEvent; ++i) {
      ssize_t n = recv(link.fd, buf, sizeof buf, MSG_DONTWAIT);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
      if (n <= 0) {
        closeLink(id, true);
        return false;
      }
      link.in.append(buf, static_cast<size_t>(n));
      if (static_cast<size_t>(n) < sizeof buf) break;
    }
    if (!takeFrames(link.in, out)) {
      closeLink(id, true);
      return false;
    }
    return true;
  }

  void onReadable(uint64_t id) {
    std::vector<message> msgs;
    readInto(id, msgs);
    // Frames that arrived before a close are still delivered.
    for (message& m : msgs) receive(id, std::move(m));
  }

  void receive(uint64_t link, message m) {
    if (m.has(kFieldReplyTo)) return;  // reply to a request that already timed out
    // Requests queued earlier (during an exchange) go first.
    if (!posted.empty()) {
      post(Posted{false, link, 0, std::move(m)});
      return;
    }
    dispatch(link, m);
  }

  message call(Handler* handler, const message& request, uint64_t link) {
    const Origin saved = origin;
    origin = Origin{link};
    message reply = handler->handle(request);
    origin = saved;
    return reply;
  }

  void dispatch(uint64_t link, const message& request) {
    uint32_t address = 0, number = 0;
    message reply;
    if (!route(request, address, number)) {
      reply = errorMsg(kErrBadRequest, "no destination");
    } else if (Handler* handler = isLocal(address) ? find(address, number) : nullptr) {
      reply = call(handler, request, link);
    } else if (isLocal(address)) {
      reply = errorMsg(kErrUnreachable, "no handler " + std::to_string(number) + " at " + std::to_string(address));
    } else {
      reply = noRoute(address);
    }
    if (link == 0 || !request.has(kFieldRequestId)) return;
    reply.setU32(kFieldReplyTo, request.getU32(kFieldRequestId));
    sendFrame(link, frame(reply));
  }

  void post(Posted item) {
    posted.push_back(std::move(item));
    if (postTimer == 0) postTimer = self.mRunner.addTimer(0, [this] { drain(); });
  }

  void drain() {
    postTimer = 0;
    // Only what was queued before this pass: new items wait for the next one.
    for (size_t n = posted.size(); n > 0 && !posted.empty(); --n) {
      Posted item = std::move(posted.front());
      posted.pop_front();
      if (item.linkDown) {
        linkDown(item.link, item.address);
      } else {
        dispatch(item.link, item.request);
      }
    }
    if (!posted.empty() && postTimer == 0) postTimer = self.mRunner.addTimer(0, [this] { drain(); });
  }

  void linkDown(uint64_t link, uint32_t address) {
    std::vector<Handler*> all;
    for (auto& [n, h] : own) all.push_back(h);
    for (auto& [a, m] : hosted)
      for (auto& [n, h] : m) all.push_back(h);
    for (Handler* h : all) {
      // An earlier callback may have unregistered (and destroyed) it.
      if (registered(h)) h->onOriginGone(link);
      if (address != 0 && registered(h)) h->onLinkDown(address);
    }
  }

  bool registered(const Handler* h) const {
    for (auto& [n, x] : own)
      if (x == h) return true;
    for (auto& [a, m] : hosted)
      for (auto& [n, x] : m)
        if (x == h) return true;
    return false;
  }

  message exchangeRemote(uint32_t address, message& request, uint32_t timeoutMs);
  bool awaitReply(uint64_t id, uint32_t requestId, uint64_t deadline, message& reply);
};

// Waits on this one link only; requests pushed to us meanwhile are queued for
// the loop so that no handler runs inside the exchange.
bool Looper::Impl::awaitReply(uint64_t id, uint32_t requestId, uint64_t deadline, message& reply) {
  for (;;) {
    auto it = links.find(id);
    if (it == links.end()) return false;
    const uint64_t now = monotonicMs();
    if (now >= deadline) {
      reply = errorMsg(kErrTimeout, "timeout");
      return true;
    }
    pollfd pfd{it->second.fd, POLLIN, 0};
    const int rc = poll(&pfd, 1, static_cast<int>(std::min<uint64_t>(deadline - now, 0x7fffffff)));
    if (rc <= 0) continue;  // EINTR or time-out: re-checked above
    std::vector<message> msgs;
    const bool alive = readInto(id, msgs);
    bool found = false;
    for (message& m : msgs) {
      if (!found && m.has(kFieldReplyTo) && m.getU32(kFieldReplyTo) == requestId) {
        reply = std::move(m);
        reply.remove(kFieldReplyTo);
        found = true;
      } else if (!m.has(kFieldReplyTo)) {
        post(Posted{false, id, 0, std::move(m)});
      }
    }
    if (found) return true;
    if (!alive) return false;
  }
}

message Looper::Impl::exchangeRemote(uint32_t address, message& request, uint32_t timeoutMs) {
  const uint64_t deadline = monotonicMs() + timeoutMs;
  uint32_t requestId = nextRequestId++;
  if (requestId == 0) requestId = nextRequestId++;
  request.setU32(kFieldRequestId, requestId);
  const uint64_t id = sendRemote(address, frame(request));
  if (id == 0) return noRoute(address);
  message reply;
  if (!awaitReply(id, requestId, deadline, reply)) return errorMsg(kErrUnreachable, "link broken");
  return reply;
}

Looper::Looper(uint32_t address) : mAddress(address), mImpl(std::make_unique<Impl>(*this)) {
  tLooper = this;
  if (mAddress != 0) mImpl->listen(mAddress, /*mayAdopt=*/true);
}

Looper::~Looper() {
  while (!mImpl->links.empty()) mImpl->closeLink(mImpl->links.begin()->first, false);
  while (!mImpl->listeners.empty()) mImpl->unlisten(mImpl->listeners.begin()->first);
  if (mImpl->postTimer != 0) mRunner.removeTimer(mImpl->postTimer);
  for (auto& [n, h] : mImpl->own) h->mLooper = nullptr;
  for (auto& [a, m] : mImpl->hosted)
    for (auto& [n, h] : m) h->mLooper = nullptr;
  if (tLooper == this) tLooper = nullptr;
}

Looper* Looper::current() { return tLooper; }

void Looper::addHandler(uint32_t number, Handler* handler) {
  mImpl->own[number] = handler;
  handler->mLooper = this;
  handler->mNumber = number;
}

void Looper::addHandlerAt(const Path& path, Handler* handler, bool listen) {
  if (path.empty()) return;
  const uint32_t number = path.size() > 1 ? path[1] : 0;
  if (path[0] == 0 || path[0] == mAddress) {
    addHandler(number, handler);
    return;
  }
  mImpl->hosted[path[0]][number] = handler;
  handler->mLooper = this;
  handler->mNumber = number;
  if (listen) mImpl->listen(path[0]);
}

void Looper::removeHandlerAt(const Path& path) {
  if (path.empty()) return;
  const uint32_t number = path.size() > 1 ? path[1] : 0;
  if (path[0] == 0 || path[0] == mAddress) {
    mImpl->own.erase(number);
    return;
  }
  auto a = mImpl->hosted.find(path[0]);
  if (a == mImpl->hosted.end()) return;
  a->second.erase(number);
  if (a->second.empty()) {
    mImpl->hosted.erase(a);
    mImpl->unlisten(path[0]);
  }
}

void Looper::forgetHandler(Handler* handler) {
  std::erase_if(mImpl->own, [handler](const auto& e) { return e.second == handler; });
  for (auto a = mImpl->hosted.begin(); a != mImpl->hosted.end();) {
    std::erase_if(a->second, [handler](const auto& e) { return e.second == handler; });
    if (a->second.empty()) {
      mImpl->unlisten(a->first);
      a = mImpl->hosted.erase(a);
    } else {
      ++a;
    }
  }
  handler->mLooper = nullptr;
}

bool Looper::run() {
  for (;;) {
    mRunner.updateNow();
    if (mLeaveAtMs != 0 && mRunner.nowMs() >= mLeaveAtMs) {
      mLeaveAtMs = 0;
      return true;
    }
    pump(-1);
    if (mImpl->failed) return false;
  }
}

void Looper::setupLeave(uint32_t delayMs) {
  if (delayMs == 0) {
    mLeaveAtMs = 0;
    return;
  }
  mLeaveAtMs = monotonicMs() + delayMs;
}

void Looper::pump(int maxWaitMs) {
  int wait = maxWaitMs;
  if (mLeaveAtMs != 0) {
    mRunner.updateNow();
    // Wake up for a leave that is still ahead; one already due is run()'s
    // business, and capping the wait at it would turn runUntil into a busy loop.
    const uint64_t left = mLeaveAtMs > mRunner.nowMs() ? mLeaveAtMs - mRunner.nowMs() : 0;
    if (left > 0 && (wait < 0 || left < static_cast<uint64_t>(wait)))
      wait = static_cast<int>(std::min<uint64_t>(left, 0x7fffffff));
  }
  // Debug lines are buffered; they leave before the loop may sleep.
  std::fflush(stdout);
  if (!mRunner.runOnce(wait)) mImpl->failed = true;
}

message Looper::exchangeCmd(message request, uint32_t command, uint32_t timeoutMs) {
  request.setU32(kFieldCommand, command);
  request.remove(kFieldReplyTo);
  uint32_t address = 0, number = 0;
  if (!route(request, address, number)) return errorMsg(kErrUnreachable, "no destination");
  message reply;
  if (mImpl->isLocal(address)) {
    request.remove(kFieldRequestId);
    Handler* handler = mImpl->find(address, number);
    if (handler == nullptr) {
      return errorMsg(kErrUnreachable, "no handler " + std::to_string(number) + " at " + std::to_string(address));
    }
    reply = mImpl->call(handler, request, 0);
  } else {
    reply = mImpl->exchangeRemote(address, request, timeoutMs);
  }
  mRunner.updateNow();  // the exchange may have taken a while
  return reply;
}

message request(message request, uint32_t command, uint32_t timeoutMs) {
  Looper* looper = Looper::current();
  if (looper == nullptr) return errorMsg(kErrUnreachable, "no message loop");
  return looper->exchangeCmd(std::move(request), command, timeoutMs);
}

void Looper::sendCmd(message request, uint32_t command) {
  request.setU32(kFieldCommand, command);
  request.remove(kFieldRequestId);
  request.remove(kFieldReplyTo);
  uint32_t address = 0, number = 0;
  if (!route(request, address, number)) return;
  if (mImpl->isLocal(address)) {
    mImpl->post(Impl::Posted{false, 0, 0, std::move(request)});
    return;
  }
  mImpl->sendRemote(address, frame(request));
}

Looper::Origin Looper::currentOrigin() const { return mImpl->origin; }

bool Looper::sendTo(Origin origin, message request, uint32_t command) {
  request.setU32(kFieldCommand, command);
  request.remove(kFieldRequestId);
  request.remove(kFieldReplyTo);
  std::vector<uint32_t> path = request.getU32Array(kFieldDestination);
  if (path.empty()) path = {0, 0};
  path[0] = 0;  // the peer's own handlers, whatever its address
  request.setU32Array(kFieldDestination, path);
  if (origin.link == 0) {
    mImpl->post(Impl::Posted{false, 0, 0, std::move(request)});
    return true;
  }
  return mImpl->sendFrame(origin.link, frame(request));
}

}  // namespace bus
