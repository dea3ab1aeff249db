#pragma once

#include <gtest/gtest.h>
#include <sched.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "daemon/upnp_daemon.h"
#include "platform/routerd/router.h"
#include "platform/routerd/router_protocol.h"
#include "platform/routerd/sim_backend.h"
#include "tests/platform/temp_dir.h"

namespace upnp::test {

// A daemon with the stand-in router's services hosted in its own loop, under a
// fresh platform root. `restart` builds a new daemon over the same root, as a
// process restart would.
class DaemonFixture : public ::testing::Test {
 protected:
  DaemonFixture() : mScopedRoot(mRoot.path()) { build(); }
  ~DaemonFixture() override { tearDown(); }

  void build() {
    mDaemon = std::make_unique<UpnpDaemon>();
    if (!mRouter) {
      mRouter = std::make_unique<routerd::Router>(std::make_unique<routerd::SimBackend>());
      mRouter->identity().setIdentity("TESTID");
    }
    mRouter->attach(*mDaemon, /*listen=*/false);
  }
  void tearDown() {
    if (mDaemon && mDaemon->running) mDaemon->disable();
    mDaemon.reset();
  }
  void restart() {
    tearDown();
    build();
    mDaemon->start();
  }

  bus::message call(const bus::Path& path, bus::message request, uint32_t command) {
    request.setU32Array(bus::kFieldDestination, path);
    return mDaemon->exchangeCmd(request, command, 1000);
  }
  bus::message config(bus::message request, uint32_t command) {
    return call({bus::kAddrUpnp, 0}, std::move(request), command);
  }
  bus::message setSettings(int enabled, int allow, int dummy) {
    bus::message m;
    if (enabled >= 0) m.setBool(1, enabled != 0);
    if (allow >= 0) m.setBool(2, allow != 0);
    if (dummy >= 0) m.setBool(3, dummy != 0);
    return config(m, bus::kCmdSet);
  }
  // Adds a "upnp interface" entry; returns the reply.
  bus::message addEntry(uint32_t interface, uint32_t type, bool disabled = false,
                        const char* forcedIp = nullptr) {
    bus::message m;
    m.setBool(bus::kFieldDisabled, disabled);
    m.setU32(1, interface);
    m.setU32(2, type);
    if (forcedIp) {
      m.setBool(3, true);
      m.setBe32(4, *IPAddr::parse(forcedIp));
    }
    return config(m, bus::kCmdAddObject);
  }
  uint32_t addRouterInterface(const std::string& name, const std::string& kernel, uint32_t token,
                              bool running = true) {
    bus::message m;
    m.setString(routerd::kDevName, name);
    m.setString(routerd::kDevKernelName, kernel);
    m.setU32(routerd::kDevToken, token);
    m.setU32(routerd::kDevStatus, running ? routerd::kStatusRunning : 0);
    bus::message reply = call({bus::kAddrRouter, 0}, m, bus::kCmdAddObject);
    EXPECT_FALSE(bus::isError(reply)) << bus::getError(reply);
    return reply.getU32(bus::kFieldObjectId);
  }
  uint32_t addRouterAddress(const char* address, uint32_t interface) {
    bus::message m;
    m.setBe32(routerd::kAddrFieldAddress, *IPAddr::parse(address));
    m.setU32(routerd::kAddrFieldPrefix, 24);
    m.setU32(routerd::kAddrFieldInterface, interface);
    bus::message reply = call({bus::kAddrRouter, 1}, m, bus::kCmdAddObject);
    EXPECT_FALSE(bus::isError(reply)) << bus::getError(reply);
    return reply.getU32(bus::kFieldObjectId);
  }
  void removeRouterAddress(uint32_t id) {
    bus::message m;
    m.setU32(bus::kFieldObjectId, id);
    EXPECT_FALSE(bus::isError(call({bus::kAddrRouter, 1}, m, bus::kCmdRemoveObject)));
  }
  // Runs the loop so that mirror reports reach the daemon.
  void settle(uint32_t ms = 200) {
    mDaemon->runUntil([] { return false; }, ms);
  }
  InterfaceState* record(uint32_t deviceId) {
    auto it = mDaemon->gateway.interfaces.find(deviceId);
    return it == mDaemon->gateway.interfaces.end() ? nullptr : it->second.get();
  }

  bus::test::TempDir mRoot;
  bus::test::ScopedRoot mScopedRoot;
  std::unique_ptr<routerd::Router> mRouter;
  std::unique_ptr<UpnpDaemon> mDaemon;
};

// Moves the test process into a network namespace of its own (each test runs
// in its own process under ctest) with a veth pair v0/v1, so interfaces can
// start for real without touching the machine's interfaces. Returns false when
// that is not possible (not root).
inline bool enterPrivateNetwork() {
  if (unshare(CLONE_NEWNET) != 0) return false;
  return system("ip link set lo up && ip link add v0 type veth peer name v1 && "
                "ip link set v0 up && ip link set v1 up && ip addr add 10.9.0.1/24 dev v0 && "
                "ip addr add 10.9.0.2/24 dev v1") == 0;
}

}  // namespace upnp::test
