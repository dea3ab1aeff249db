// routerd drops the dynamic NAT rules of a client process whose bus link
// breaks, and nothing else.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <set>
#include <sstream>
#include <vector>

#include "platform/looper.h"
#include "platform/routerd/router.h"
#include "platform/routerd/router_protocol.h"
#include "platform/routerd/sim_backend.h"
#include "tests/platform/bus_fixture.h"

namespace routerd {
namespace {

using bus::message;

message rule(uint32_t port, bool dynamic) {
  message m;
  m.setU32Array(bus::kFieldDestination, {bus::kAddrRouter, kHandlerNat});
  m.setBool(bus::kFieldDynamic, dynamic);
  m.setString(39, "dstnat");
  m.setU32(40, 22);
  m.setU32Array(99, {port, port});
  return m;
}

class NatClientGoneTest : public bus::testing::BusTest {
 protected:
  // Forks a client process that adds `rules` (port, dynamic) to routerd over
  // its own bus link, writes "port id" pairs to a pipe, then makes the
  // dynamic rule of `setPort` static (0: none) and waits to be killed.
  pid_t client(std::vector<std::pair<uint32_t, bool>> rules, uint32_t setPort = 0) {
    int fds[2];
    EXPECT_EQ(0, pipe(fds));
    const pid_t pid = fork();
    if (pid == 0) {
      close(fds[0]);
      bus::Looper loop(0);
      for (const auto& [port, dynamic] : rules) {
        message reply;
        for (int i = 0; i < 300; ++i) {  // until routerd listens
          reply = loop.exchangeCmd(rule(port, dynamic), bus::kCmdAddObject, 1000);
          if (bus::getErrorCode(reply) != bus::kErrUnreachable) break;
          usleep(10 * 1000);
        }
        const uint32_t pair[2] = {port, reply.getU32(bus::kFieldObjectId)};
        if (port == setPort) {
          message set;
          set.setU32Array(bus::kFieldDestination, {bus::kAddrRouter, kHandlerNat});
          set.setU32(bus::kFieldObjectId, pair[1]);
          set.setBool(bus::kFieldDynamic, false);
          loop.exchangeCmd(set, bus::kCmdSetObject, 1000);
        }
        if (write(fds[1], pair, sizeof pair) != sizeof pair) _exit(1);
      }
      for (;;) pause();
    }
    close(fds[1]);
    fcntl(fds[0], F_SETFL, O_NONBLOCK);
    mPipes.push_back(fds[0]);
    mChildren.push_back(pid);
    return pid;
  }

  // Serves routerd until every client reported `count` rules in total.
  bool collect(bus::Looper& loop, size_t count) {
    return loop.runUntil(
        [&] {
          for (int fd : mPipes) {
            uint32_t pair[2];
            while (read(fd, pair, sizeof pair) == sizeof pair) mIds[pair[0]] = pair[1];
          }
          return mIds.size() >= count;
        },
        8000);
  }

  void TearDown() override {
    for (int fd : mPipes) close(fd);
    BusTest::TearDown();
  }

  std::vector<int> mPipes;
  std::map<uint32_t, uint32_t> mIds;  // port -> rule id
};

TEST_F(NatClientGoneTest, KilledClientLosesItsDynamicRulesOnly) {
  // Clients first: they must not inherit routerd's sockets.
  const pid_t killed = client({{1001, true}, {1002, true}, {1003, false}, {1004, true}}, /*setPort=*/1004);
  client({{2001, true}, {2002, false}});
  Router router(std::make_unique<SimBackend>());
  bus::Looper loop(0);
  router.attach(loop, /*listen=*/true);
  std::ostringstream trace;
  router.setTrace(&trace);
  message local = rule(3001, true);  // made in routerd's own process
  ASSERT_FALSE(bus::isError(loop.exchangeCmd(local, bus::kCmdAddObject, 1000)));
  ASSERT_TRUE(collect(loop, 6));
  ASSERT_EQ(7u, router.nat().rules().size());

  stop(killed);  // SIGKILL
  ASSERT_TRUE(loop.runUntil([&] { return router.nat().rules().size() == 5; }, 3000)) << trace.str();
  std::set<uint32_t> ports;
  for (const auto& [id, r] : router.nat().rules()) ports.insert(r.getU32Array(99).at(0));
  EXPECT_EQ((std::set<uint32_t>{1003, 1004, 2001, 2002, 3001}), ports);
  for (uint32_t port : {1001u, 1002u}) EXPECT_EQ(0u, router.nat().rules().count(mIds[port])) << port;
  EXPECT_NE(std::string::npos, trace.str().find("nat remove rule " + std::to_string(mIds[1001]) + " (its client went away): ok"));
  // Nothing else happens later.
  loop.runUntil([] { return false; }, 200);
  EXPECT_EQ(5u, router.nat().rules().size());
}

}  // namespace
}  // namespace routerd
