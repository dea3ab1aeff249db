#include "platform/looper.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cstddef>
#include <cstring>

#include "tests/platform/bus_fixture.h"

namespace bus {
namespace {

using testing::EchoHandler;
using LooperTest = testing::BusTest;
using testing::to;
const auto serveEcho = [](Looper& l) { l.addHandler(0, new EchoHandler); };

TEST_F(LooperTest, InProcessRoutingAndUnreachableDestinations) {
  Looper loop(30);
  EchoHandler echo;
  loop.addHandler(1, &echo);
  {
    EchoHandler gone;  // destroyed before the loop: forgotten
    loop.addHandler(2, &gone);
    loop.addHandlerAt({41, 0}, &gone, false);
  }
  for (const std::vector<uint32_t>& path : {Path{}, Path{30, 9}, Path{30}, Path{77, 0}, Path{30, 2}, Path{41, 0}}) {
    EXPECT_EQ(getErrorCode(loop.exchangeCmd(path.empty() ? message() : to(path), 1, 500)), kErrUnreachable);
  }
  EXPECT_FALSE(isError(loop.exchangeCmd(to({30, 1}), 1, 500)));
  loop.sendCmd(to({0, 1}), 1);  // a send runs from the loop, never inside the caller
  EXPECT_EQ(echo.calls, 1);
  EXPECT_TRUE(loop.runUntil([&] { return echo.calls == 2; }, 2000));
}

TEST_F(LooperTest, ExchangeAcrossProcessesWithErrorsAndTimeOut) {
  spawn(50, serveEcho);
  Looper loop;
  ASSERT_TRUE(waitReachable(loop, {50, 0}));
  message request = to({50});
  request.setString(9, std::string(200000, 'z'));  // several socket buffers' worth
  const message reply = loop.exchangeCmd(request, EchoHandler::kCmdEcho, 6000);
  EXPECT_EQ(reply.getString(9).size(), 200000u) << getError(reply);
  EXPECT_TRUE(reply.getBool(0x77));
  EXPECT_FALSE(reply.has(kFieldReplyTo));
  EXPECT_EQ(getErrorCode(loop.exchangeCmd(to({50, 0}), EchoHandler::kCmdFail, 6000)), kErrExists);
  EXPECT_EQ(getErrorCode(loop.exchangeCmd(to({50, 5}), 1, 6000)), kErrUnreachable);

  // A late reply is not taken for the next one.
  EXPECT_EQ(getErrorCode(loop.exchangeCmd(to({50}), EchoHandler::kCmdSlow, 200)), kErrTimeout);
  message next = to({50});
  next.setU32(5, 1234);
  EXPECT_EQ(loop.exchangeCmd(next, EchoHandler::kCmdEcho, 6000).getU32(5), 1234u);
}

TEST_F(LooperTest, MalformedFramesCloseOnlyThatLink) {
  spawn(56, serveEcho);
  Looper loop;
  ASSERT_TRUE(waitReachable(loop, {56}));
  const std::string name = "zelo-bus:" + mRoot + ":56";
  sockaddr_un sa{};
  sa.sun_family = AF_UNIX;
  std::memcpy(sa.sun_path + 1, name.data(), name.size());
  const auto len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
  // Too long, kMaxSize + 1, an undecodable body; last a truncated frame and a hang-up.
  for (const std::string& f : {std::string("\xff\xff\xff\xff", 4), std::string("\x01\x00\x10\x00", 4),
                              std::string("\x03\x00\x00\x00\xff\xff\xff", 7), std::string("\x10\0\0\0\x01", 5)}) {
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&sa), len), 0);
    timeval tv{2, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    ASSERT_EQ(send(fd, f.data(), f.size(), MSG_NOSIGNAL), static_cast<ssize_t>(f.size()));
    char c;
    EXPECT_TRUE(f.size() == 5 || recv(fd, &c, 1, 0) == 0) << "link not closed";
    close(fd);
  }
  EXPECT_FALSE(isError(loop.exchangeCmd(to({56}), 1, 2000)));
}

// A process handed its listening socket as fd 3 (LISTEN_PID/LISTEN_FDS) serves
// on it; one bound to another address's name is closed and its own one listened on.
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
  EXPECT_TRUE(waitReachable(loop, {61}));
  EXPECT_TRUE(waitReachable(loop, {62}));
  EXPECT_EQ(kErrUnreachable, getErrorCode(loop.exchangeCmd(to({63}), EchoHandler::kCmdEcho, 500)));
  EXPECT_EQ(getenv("LISTEN_FDS"), nullptr);
}

}  // namespace
}  // namespace bus
