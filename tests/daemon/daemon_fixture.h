#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "daemon/upnp_daemon.h"
#include "platform/routerd/router.h"
#include "platform/routerd/router_protocol.h"
#include "platform/routerd/sim_backend.h"
#include "tests/platform/temp_dir.h"

namespace upnp::test {

// A daemon with the stand-in router's services hosted in its own loop, under a
// fresh platform root. `restart` builds a new daemon over the same root and
// router, as a process restart would.
class DaemonFixture : public ::testing::Test {
 protected:
  DaemonFixture() : mScopedRoot(mRoot.path()) {
    mRouter.identity().setIdentity("TESTID");
    restart(false);
  }
  void SetUp() override { mDaemon->start(); }
  ~DaemonFixture() override {
    if (mDaemon->running) mDaemon->disable();
  }
  void restart(bool start = true) {
    if (mDaemon && mDaemon->running) mDaemon->disable();
    mDaemon.reset();
    mDaemon = std::make_unique<UpnpDaemon>();
    mRouter.attach(*mDaemon, /*listen=*/false);
    if (start) mDaemon->start();
  }

  // Sends to `path`: by default the settings at [80, 0].
  bus::message send(bus::message request, uint32_t command, const bus::Path& path = {bus::kAddrUpnp, 0}) {
    request.setU32Array(bus::kFieldDestination, path);
    return mDaemon->exchangeCmd(request, command, 1000);
  }
  // Sets the three settings; a negative value leaves that one out.
  bus::message setSettings(int enabled, int allow, int dummy) {
    bus::message m;
    for (const auto& [field, value] : {std::pair{1, enabled}, {2, allow}, {3, dummy}})
      if (value >= 0) m.setBool(field, value != 0);
    return send(m, bus::kCmdSet);
  }
  bus::message addEntry(uint32_t interface, uint32_t type, bool disabled = false, const char* forcedIp = nullptr) {
    bus::message m;
    m.setBool(bus::kFieldDisabled, disabled);
    m.setU32(UpnpInterfaceCfg::kFieldInterface, interface);
    m.setU32(UpnpInterfaceCfg::kFieldType, type);
    m.setBool(UpnpInterfaceCfg::kFieldForcedIpEnabled, forcedIp != nullptr);
    if (forcedIp) m.setBe32(UpnpInterfaceCfg::kFieldForcedIp, *IPAddr::parse(forcedIp));
    return send(m, bus::kCmdAddObject);
  }
  // Sets `field` of entry `id` (kFieldDisabled: a bool), or removes the entry when `field` is 0.
  bus::message changeEntry(uint32_t id, uint32_t field = 0, uint32_t value = 0) {
    bus::message m;
    m.setU32(bus::kFieldObjectId, id);
    if (field == bus::kFieldDisabled) m.setBool(field, value != 0);
    if (field != 0 && field != bus::kFieldDisabled) m.setU32(field, value);
    return send(m, field == 0 ? bus::kCmdRemoveObject : bus::kCmdSetObject);
  }
  // Adds a router interface or address and lets the reports arrive; returns its id.
  uint32_t routerInterface(const char* name, const char* kernel, uint32_t token) {
    bus::message m;
    m.setString(routerd::kDevName, name);
    m.setString(routerd::kDevKernelName, kernel);
    m.setU32(routerd::kDevToken, token);
    m.setU32(routerd::kDevStatus, routerd::kStatusRunning);
    return routerAdd(m, bus::kAddrRouter, routerd::kHandlerInterfaces);
  }
  uint32_t routerAddress(const char* address, uint32_t interface) {
    bus::message m;
    m.setBe32(routerd::kAddrFieldAddress, *IPAddr::parse(address));
    m.setU32(routerd::kAddrFieldPrefix, 24);
    m.setU32(routerd::kAddrFieldInterface, interface);
    return routerAdd(m, bus::kAddrRouter, routerd::kHandlerAddresses);
  }
  uint32_t routerAdd(const bus::message& record, uint32_t router, uint32_t handler) {
    const bus::message reply = send(record, bus::kCmdAddObject, {router, handler});
    EXPECT_FALSE(bus::isError(reply)) << bus::getError(reply);
    settle();
    return reply.getU32(bus::kFieldObjectId);
  }
  void settle(uint32_t ms = 200) { mDaemon->runUntil([] { return false; }, ms); }
  InterfaceState* record(uint32_t deviceId) {
    auto it = mDaemon->gateway.interfaces.find(deviceId);
    return it == mDaemon->gateway.interfaces.end() ? nullptr : it->second.get();
  }

  bus::test::TempDir mRoot;
  bus::test::ScopedRoot mScopedRoot;
  routerd::Router mRouter{std::make_unique<routerd::SimBackend>()};
  std::unique_ptr<UpnpDaemon> mDaemon;
};

}  // namespace upnp::test
