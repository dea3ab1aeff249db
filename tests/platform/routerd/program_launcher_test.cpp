#include "platform/routerd/program_launcher.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>
#include <sstream>
#include <string>

#include "platform/looper.h"
#include "tests/platform/bus_fixture.h"

namespace routerd {
namespace {

using ProgramLauncherTest = bus::testing::BusTest;

size_t count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// A program that never takes the connection waiting for it is started again
// and again, but at most once per restart delay, and its end is reported.
TEST_F(ProgramLauncherTest, FailingProgramIsRestartedAtABoundedRate) {
  bus::Looper loop;
  ProgramLauncher launcher(loop.runner());
  std::ostringstream trace;
  launcher.setTrace(&trace);
  ASSERT_TRUE(launcher.add({90, "/bin/false", "", mRoot + "/false.pid"}).isOk());
  loop.runUntil([] { return false; }, 100);
  EXPECT_EQ(0u, count(trace.str(), "started pid")) << "started without a client";

  const std::string name = bus::busSocketName(90);
  sockaddr_un sa{};
  sa.sun_family = AF_UNIX;
  std::memcpy(sa.sun_path + 1, name.data(), name.size());
  const int client = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);  // queued in routerd's socket
  ASSERT_EQ(0, connect(client, reinterpret_cast<sockaddr*>(&sa),
                       static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size())));
  loop.runUntil([&] { return count(trace.str(), "exited with status 1") >= 1; }, 3000);
  EXPECT_EQ(1u, count(trace.str(), "started pid")) << trace.str();
  EXPECT_NE(0, access((mRoot + "/false.pid").c_str(), F_OK)) << "pid file outlived the program";
  loop.runUntil([] { return false; }, 1500);
  // Without the delay this would be hundreds of starts.
  const size_t starts = count(trace.str(), "started pid");
  EXPECT_GE(starts, 2u) << trace.str();
  EXPECT_LE(starts, 3u) << trace.str();
  close(client);

  // A taken address, a second program for it, and relative paths are refused.
  EXPECT_FALSE(launcher.add({90, "/bin/true", "", ""}).isOk());
  const int held = bus::listenBusSocket(92);
  ASSERT_GE(held, 0);
  EXPECT_FALSE(launcher.add({92, "/bin/true", "", ""}).isOk());
  close(held);
  EXPECT_FALSE(launcher.add({93, "bin/true", "", ""}).isOk());
}

}  // namespace
}  // namespace routerd
