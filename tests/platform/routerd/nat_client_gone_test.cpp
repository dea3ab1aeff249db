// routerd drops the dynamic NAT rules of a client process whose bus link
// breaks, and nothing else.

#include <gtest/gtest.h>
#include <unistd.h>

#include <set>
#include <vector>

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
  // Forks a client that adds `rules` (port, dynamic) over its own bus link,
  // makes the rule of `setPort` static, and waits to be killed.
  pid_t client(std::vector<std::pair<uint32_t, bool>> rules, uint32_t setPort = 0) {
    const pid_t pid = fork();
    if (pid == 0) {
      bus::Looper loop(0);
      for (const auto& [port, dynamic] : rules) {
        message reply;
        for (int i = 0; i < 300; ++i, usleep(10 * 1000)) {  // until routerd listens
          reply = loop.exchangeCmd(rule(port, dynamic), bus::kCmdAddObject, 1000);
          if (bus::getErrorCode(reply) != bus::kErrUnreachable) break;
        }
        if (port != setPort) continue;
        message set = rule(port, false);
        set.setU32(bus::kFieldObjectId, reply.getU32(bus::kFieldObjectId));
        loop.exchangeCmd(set, bus::kCmdSetObject, 1000);
      }
      for (;;) pause();
    }
    mChildren.push_back(pid);
    return pid;
  }
};

TEST_F(NatClientGoneTest, KilledClientLosesItsDynamicRulesOnly) {
  // Clients first: they must not inherit routerd's sockets.
  const pid_t killed = client({{1004, true}, {1001, true}, {1002, true}, {1003, false}}, /*setPort=*/1004);
  client({{2001, true}, {2002, false}});
  Router router(std::make_unique<SimBackend>());
  bus::Looper loop(0);
  router.attach(loop, /*listen=*/true);
  // One made in routerd's own process.
  ASSERT_FALSE(bus::isError(loop.exchangeCmd(rule(3001, true), bus::kCmdAddObject, 1000)));
  auto ports = [&] {
    std::set<uint32_t> out;
    for (const auto& [id, r] : router.nat().rules()) out.insert(r.getU32Array(99).at(0));
    return out;
  };
  // The last rule of each client is there: its earlier ones are too, and 1004 is static.
  ASSERT_TRUE(loop.runUntil([&] { return ports().count(1003) && ports().count(2002); }, 8000));
  ASSERT_EQ(7u, router.nat().rules().size());
  stop(killed);  // SIGKILL
  ASSERT_TRUE(loop.runUntil([&] { return router.nat().rules().size() == 5; }, 3000));
  EXPECT_EQ((std::set<uint32_t>{1003, 1004, 2001, 2002, 3001}), ports());
  loop.runUntil([] { return false; }, 200);  // nothing else happens later
  EXPECT_EQ(5u, router.nat().rules().size());
}

}  // namespace
}  // namespace routerd
