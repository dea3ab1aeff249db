#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>

#include "platform/looper.h"
#include "platform/routerd/router.h"
#include "platform/routerd/router_protocol.h"
#include "platform/routerd/sim_backend.h"

namespace routerd {

// A backend whose next apply fails, to see that the tables refuse the change
// and keep their state.
class FaultyBackend : public SimBackend {
 public:
  bus::Status applyInterface(const RouterDevice& dev) override {
    return fail ? bus::Status::error("kernel says no") : SimBackend::applyInterface(dev);
  }
  bus::Status applyRule(uint32_t id, const bus::message& rule) override {
    return fail ? bus::Status::error("kernel says no") : SimBackend::applyRule(id, rule);
  }
  bool fail = false;  // every apply fails while set
};

// The router's services hosted in-process, as the daemon's tests host them.
class RouterFixture : public ::testing::Test {
 protected:
  RouterFixture() {
    auto backend = std::make_unique<FaultyBackend>();
    mBackend = backend.get();
    mRouter = std::make_unique<Router>(std::move(backend));
    mRouter->attach(mLooper, /*listen=*/false);
  }

  bus::message call(const bus::Path& path, bus::message request, uint32_t command) {
    request.setU32Array(bus::kFieldDestination, path);
    return mLooper.exchangeCmd(request, command, 1000);
  }

  static bus::message withId(uint32_t id) {
    bus::message m;
    m.setU32(bus::kFieldObjectId, id);
    return m;
  }

  // Adds an interface; returns its id (0 on refusal).
  uint32_t addInterface(const std::string& name, const std::string& kernel, uint32_t token, bool running) {
    bus::message m;
    m.setString(kDevName, name);
    m.setString(kDevKernelName, kernel);
    m.setU32(kDevToken, token);
    m.setU32(kDevStatus, running ? kStatusRunning : 0);
    bus::message reply = call(kInterfacesPath, m, bus::kCmdAddObject);
    return bus::isError(reply) ? 0 : reply.getU32(bus::kFieldObjectId);
  }

  uint32_t addAddress(const char* address, uint32_t prefix, uint32_t interface) {
    bus::message m;
    m.setBe32(kAddrFieldAddress, *IPAddr::parse(address));
    m.setU32(kAddrFieldPrefix, prefix);
    m.setU32(kAddrFieldInterface, interface);
    bus::message reply = call(kAddressesPath, m, bus::kCmdAddObject);
    return bus::isError(reply) ? 0 : reply.getU32(bus::kFieldObjectId);
  }

  const bus::Path kInterfacesPath{bus::kAddrRouter, kHandlerInterfaces};
  const bus::Path kAddressesPath{bus::kAddrRouter, kHandlerAddresses};
  const bus::Path kNatPath{bus::kAddrRouter, kHandlerNat};

  bus::Looper mLooper{0};
  FaultyBackend* mBackend = nullptr;  // owned by mRouter
  std::unique_ptr<Router> mRouter;
};

}  // namespace routerd
