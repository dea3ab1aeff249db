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

inline bus::message withId(uint32_t id) {
  bus::message m;
  m.setU32(bus::kFieldObjectId, id);
  return m;
}

// A backend whose rule applies fail while `fail` is set: the table must refuse
// the change and keep its state.
struct FaultyBackend : SimBackend {
  bus::Status applyRule(uint32_t id, const bus::message& rule) override {
    return fail ? bus::Status::error("kernel says no") : SimBackend::applyRule(id, rule);
  }
  bool fail = false;
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

  const bus::Path kNatPath{bus::kAddrRouter, kHandlerNat};

  bus::Looper mLooper{0};
  FaultyBackend* mBackend = nullptr;  // owned by mRouter
  std::unique_ptr<Router> mRouter;
};

}  // namespace routerd
