#include "platform/looper.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cstddef>
#include <cstring>

#include "tests/platform/bus_fixture.h"

namespace bus {
namespace {

using testing::BusTest;
using testing::EchoHandler;
using LooperTest = BusTest;

// A handler that pushes a one-way notice back to the requester before it replies.
class NotifyingHandler : public Handler {
 public:
  message handle(const message&) override {
    message notice;
    notice.setU32Array(kFieldDestination, {0, 7});
    looper()->sendTo(looper()->currentOrigin(), notice, 42);
    message reply;
    reply.setString(1, "reply");
    return reply;
  }
};

TEST_F(LooperTest, InProcessRoutingAndUnreachableDestinations) {
  Looper loop(30);
  EchoHandler echo;
  loop.addHandler(1, &echo);
  {
    EchoHandler gone;  // destroyed before the loop: forgotten
    loop.addHandler(2, &gone);
    loop.addHandlerAt({41, 0}, &gone, false);
  }
  const std::vector<uint32_t> paths[] = {{}, {30, 9}, {30}, {77, 0}, {30, 2}, {41, 0}};
  for (const auto& path : paths) {
    message m;
    if (!path.empty()) m.setU32Array(kFieldDestination, path);
    EXPECT_EQ(getErrorCode(loop.exchangeCmd(m, 1, 500)), kErrUnreachable) << path.size();
  }
  EXPECT_EQ(echo.calls, 0);
  EXPECT_FALSE(isError(loop.exchangeCmd(to({30, 1}), 1, 500)));
  loop.sendCmd(to({0, 1}), 1);  // a send runs from the loop, never inside the caller
  EXPECT_EQ(echo.calls, 1);
  EXPECT_TRUE(loop.runUntil([&] { return echo.calls == 2; }, 2000));
}

TEST_F(LooperTest, ExchangeAcrossProcessesWithErrorsAndTimeOut) {
  spawnEcho(50);
  Looper loop;
  ASSERT_TRUE(waitReachable(loop, {50, 0}));
  message request = to({50});
  request.setString(9, std::string(200000, 'z'));  // several socket buffers' worth
  const message reply = loop.exchangeCmd(request, EchoHandler::kCmdEcho, 6000);
  ASSERT_FALSE(isError(reply)) << getError(reply);
  EXPECT_EQ(reply.getString(9).size(), 200000u);
  EXPECT_TRUE(reply.getBool(0x77));
  EXPECT_FALSE(reply.has(kFieldReplyTo));

  const message refused = loop.exchangeCmd(to({50, 0}), EchoHandler::kCmdFail, 6000);
  EXPECT_EQ(getErrorCode(refused), kErrExists);
  EXPECT_EQ(getErrorCode(loop.exchangeCmd(to({50, 5}), 1, 6000)), kErrUnreachable);

  // A late reply is not taken for the next one.
  const message late = loop.exchangeCmd(to({50}), EchoHandler::kCmdSlow, 200);
  EXPECT_EQ(getErrorCode(late), kErrTimeout);
  message next = to({50});
  next.setU32(5, 1234);
  EXPECT_EQ(loop.exchangeCmd(next, EchoHandler::kCmdEcho, 6000).getU32(5), 1234u);
}

TEST_F(LooperTest, NothingElseRunsWhileAnExchangeWaits) {
  spawn(52, [](Looper& l) { l.addHandler(0, new NotifyingHandler); });
  Looper loop;
  EchoHandler noticeSink;
  loop.addHandler(7, &noticeSink);
  ASSERT_TRUE(waitReachable(loop, {52}, 1));

  bool timerRan = false;
  Timer timer(0, [&] { timerRan = true; });
  int fds[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
  ASSERT_EQ(write(fds[1], "x", 1), 1);
  bool socketRan = false;
  loop.runner().addSocket(fds[0], ThinRunner::kReadable, [&](int fd) {
    socketRan = true;
    loop.runner().removeSocket(fd);
  });

  const message reply = loop.exchangeCmd(to({52}), 1, 6000);
  EXPECT_EQ(reply.getString(1), "reply");
  EXPECT_FALSE(timerRan);
  EXPECT_FALSE(socketRan);
  // The notice came before the reply but waits for the loop (as does the
  // one of the readiness probe).
  EXPECT_EQ(noticeSink.calls, 0);
  EXPECT_TRUE(loop.runUntil([&] { return timerRan && socketRan && noticeSink.calls == 2; }, 2000));
  EXPECT_NE(noticeSink.lastOrigin, Looper::Origin{0});
  close(fds[0]);
  close(fds[1]);
}

TEST_F(LooperTest, PeerThatDiesOrRestartsNeverHangsTheCaller) {
  pid_t child = spawnEcho(53);
  Looper loop;
  EchoHandler watcher;
  loop.addHandler(1, &watcher);
  ASSERT_TRUE(waitReachable(loop, {53}));
  // Dies while handling: the link breaks long before the time-out.
  const message died = loop.exchangeCmd(to({53}), EchoHandler::kCmdDie, 30000);
  EXPECT_EQ(getErrorCode(died), kErrUnreachable);
  EXPECT_TRUE(loop.runUntil([&] { return !watcher.linksDown.empty(); }, 2000));
  EXPECT_EQ(watcher.linksDown, std::vector<uint32_t>{53});
  stop(child);
  EXPECT_EQ(getErrorCode(loop.exchangeCmd(to({53}), 1, 30000)), kErrUnreachable);

  // Killed while idle, then restarted: a send into the dead link is dropped
  // without a signal or a hang, and the next exchange connects afresh.
  child = spawnEcho(53);
  ASSERT_TRUE(waitReachable(loop, {53}));
  stop(child);
  loop.sendCmd(to({53}), 1);
  spawnEcho(53);
  ASSERT_TRUE(waitReachable(loop, {53}));
}

// Raw connection to a bus address, to feed it hostile bytes.
int rawConnect(const std::string& root, uint32_t address) {
  const std::string name = "zelo-bus:" + root + ":" + std::to_string(address);
  sockaddr_un sa{};
  sa.sun_family = AF_UNIX;
  std::memcpy(sa.sun_path + 1, name.data(), name.size());
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  const auto len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
  if (connect(fd, reinterpret_cast<sockaddr*>(&sa), len) != 0) {
    close(fd);
    return -1;
  }
  timeval tv{2, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  return fd;
}

TEST_F(LooperTest, MalformedFramesCloseOnlyThatLink) {
  spawnEcho(56);
  Looper loop;
  ASSERT_TRUE(waitReachable(loop, {56}));
  const std::string frames[] = {
      std::string("\xff\xff\xff\xff", 4),                  // length beyond the maximum
      std::string("\x01\x00\x10\x00", 4),                  // kMaxSize + 1
      std::string("\x03\x00\x00\x00\xff\xff\xff", 7),      // undecodable body
  };
  for (const std::string& f : frames) {
    const int fd = rawConnect(mRoot, 56);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(send(fd, f.data(), f.size(), MSG_NOSIGNAL), static_cast<ssize_t>(f.size()));
    char c;
    EXPECT_EQ(recv(fd, &c, 1, 0), 0) << "link not closed";
    close(fd);
  }
  // A truncated frame followed by a hang-up is simply dropped.
  const int fd = rawConnect(mRoot, 56);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(send(fd, "\x10\x00\x00\x00\x01", 5, MSG_NOSIGNAL), 5);
  close(fd);
  EXPECT_FALSE(isError(loop.exchangeCmd(to({56}), 1, 2000)));
}

// A process started with its listening socket as fd 3 (LISTEN_PID/LISTEN_FDS)
// serves on that socket; a socket bound to another address's name is closed
// and the address listened on as usual.
TEST_F(LooperTest, HandedOverListeningSocketIsAdoptedOnlyForItsOwnName) {
  auto serveWithFd3BoundTo = [&](uint32_t bound, uint32_t address) {
    const pid_t pid = fork();
    if (pid == 0) {
      const int fd = listenBusSocket(bound);
      if (fd < 0 || (fd != 3 && dup2(fd, 3) != 3)) _exit(2);
      if (fd != 3) close(fd);
      setenv("LISTEN_PID", std::to_string(getpid()).c_str(), 1);
      setenv("LISTEN_FDS", "1", 1);
      Looper loop(address);
      if (getenv("LISTEN_PID") != nullptr || getenv("LISTEN_FDS") != nullptr) _exit(3);
      loop.addHandler(0, new EchoHandler);
      loop.setupLeave(8000);
      loop.run();
      _exit(0);
    }
    mChildren.push_back(pid);
  };
  serveWithFd3BoundTo(61, 61);  // as a service manager hands it over
  serveWithFd3BoundTo(63, 62);  // a socket of the wrong address
  Looper loop;
  // Refused until the child listens; a time-out means nobody accepts.
  auto answers = [&](uint32_t address) {
    message reply;
    for (int i = 0; i < 200; ++i) {
      reply = loop.exchangeCmd(to({address}), EchoHandler::kCmdEcho, 1000);
      if (getErrorCode(reply) != kErrUnreachable) break;
      usleep(10 * 1000);
    }
    return !isError(reply);
  };
  EXPECT_TRUE(answers(61));
  EXPECT_TRUE(answers(62));
  EXPECT_EQ(kErrUnreachable, getErrorCode(loop.exchangeCmd(to({63}), EchoHandler::kCmdEcho, 500)));
  EXPECT_EQ(getenv("LISTEN_FDS"), nullptr);
}

}  // namespace
}  // namespace bus
