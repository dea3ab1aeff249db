#pragma once

// Bus tests: a private platform root per test (abstract socket names never
// collide between tests run in parallel) and service processes forked with
// their own Looper.

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

inline message to(std::vector<uint32_t> path) {
  message m;
  m.setU32Array(kFieldDestination, std::move(path));
  return m;
}

// Replies with the request plus field 0x77; kCmdFail answers kErrExists,
// kCmdSlow sleeps 1.5 s first, kCmdDie exits the process.
struct EchoHandler : Handler {
  static constexpr uint32_t kCmdEcho = 1, kCmdFail = 2, kCmdSlow = 3, kCmdDie = 4;
  message handle(const message& request) override {
    ++calls;
    const uint32_t command = request.getU32(kFieldCommand);
    if (command == kCmdFail) return errorMsg(kErrExists, "dup");
    if (command == kCmdSlow) usleep(1500 * 1000);
    if (command == kCmdDie) _exit(0);
    message reply = request;
    reply.setBool(0x77, true);
    return reply;
  }
  void onLinkDown(uint32_t address) override { linksDown.push_back(address); }
  int calls = 0;
  std::vector<uint32_t> linksDown;
};

class BusTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/zbus-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    setenv("ZELO_ROOT", (mRoot = tmpl).c_str(), 1);
  }
  void TearDown() override {
    while (!mChildren.empty()) stop(mChildren.back());
    rmdir(mRoot.c_str());
    unsetenv("ZELO_ROOT");
  }

  // Forks a process hosting `address` that runs `setup` on its Looper and serves
  // for at most `lifeMs`. Fork before the test's own links exist.
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
  void stop(pid_t pid) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    std::erase(mChildren, pid);
  }

  // Waits (bounded) until `path` accepts `command`.
  static bool waitReachable(Looper& loop, std::vector<uint32_t> path, uint32_t command = EchoHandler::kCmdEcho) {
    for (int i = 0; i < 300; ++i, usleep(10 * 1000)) {
      if (!isError(loop.exchangeCmd(to(path), command, 500))) return true;
    }
    return false;
  }

  std::string mRoot;
  std::vector<pid_t> mChildren;
};

}  // namespace bus::testing
