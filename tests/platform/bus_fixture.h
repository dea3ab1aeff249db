#pragma once

// Helpers for tests of the bus: a private platform root per test (so abstract
// socket names never collide between tests running in parallel) and service
// processes forked with their own Looper.

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "platform/looper.h"

namespace bus::testing {

// Replies with the request itself; refuses command kCmdFail with kErrExists
// "dup"; command kCmdSlow sleeps 1.5 s first; kCmdDie exits the process.
class EchoHandler : public Handler {
 public:
  static constexpr uint32_t kCmdEcho = 1, kCmdFail = 2, kCmdSlow = 3, kCmdDie = 4;
  message handle(const message& request) override {
    ++calls;
    lastOrigin = looper()->currentOrigin();
    switch (request.getU32(kFieldCommand)) {
      case kCmdFail: return errorMsg(kErrExists, "dup");
      case kCmdSlow: usleep(1500 * 1000); break;
      case kCmdDie: _exit(0);
      default: break;
    }
    message reply = request;
    reply.setBool(0x77, true);
    return reply;
  }
  void onLinkDown(uint32_t address) override { linksDown.push_back(address); }
  int calls = 0;
  Looper::Origin lastOrigin;
  std::vector<uint32_t> linksDown;
};

class BusTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/zbus-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    mRoot = tmpl;
    setenv("ZELO_ROOT", mRoot.c_str(), 1);
  }
  void TearDown() override {
    for (pid_t pid : mChildren) stop(pid);
    rmdir(mRoot.c_str());
    unsetenv("ZELO_ROOT");
  }

  // Forks a process that hosts `address`, runs `setup` on its Looper and
  // serves for at most `lifeMs`. Fork before the test's own links exist, so
  // the child holds no copy of them.
  pid_t spawn(uint32_t address, std::function<void(Looper&)> setup, uint32_t lifeMs = 8000) {
    const pid_t pid = fork();
    if (pid == 0) {
      Looper* loop = new Looper(address);
      setup(*loop);
      loop->setupLeave(lifeMs);
      loop->run();
      _exit(0);
    }
    mChildren.push_back(pid);
    return pid;
  }

  pid_t spawnEcho(uint32_t address) {
    return spawn(address, [](Looper& loop) { loop.addHandler(0, new EchoHandler); });
  }

  void stop(pid_t pid) {
    if (pid <= 0) return;
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    std::erase(mChildren, pid);
  }

  // Waits (bounded) until `path` accepts `command` (by default: an echo).
  static bool waitReachable(Looper& loop, std::vector<uint32_t> path,
                            uint32_t command = EchoHandler::kCmdEcho) {
    for (int i = 0; i < 300; ++i) {
      message ping;
      ping.setU32Array(kFieldDestination, path);
      if (!isError(loop.exchangeCmd(ping, command, 500))) return true;
      usleep(10 * 1000);
    }
    return false;
  }

  static message to(std::vector<uint32_t> path) {
    message m;
    m.setU32Array(kFieldDestination, std::move(path));
    return m;
  }

  std::string mRoot;
  std::vector<pid_t> mChildren;
};

}  // namespace bus::testing
