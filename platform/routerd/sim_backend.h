#pragma once

#include "platform/routerd/router_backend.h"

namespace routerd {

// The simulated router: state lives only in routerd's tables. Interfaces are
// tied to real kernel interfaces by name (so their index is real and sockets
// can bind to them); addresses and NAT rules are not applied to the kernel;
// counters are the values set in the interface records.
class SimBackend : public RouterBackend {
 public:
  const char* name() const override { return "sim"; }
  uint32_t kernelIndex(const std::string& kernelName) override;
  bus::Status applyInterface(const RouterDevice& dev) override;
  bus::Status removeInterface(const RouterDevice& dev) override;
  bus::Status applyAddress(const RouterAddress& addr, const RouterDevice& dev, bool add) override;
  bus::Status applyRule(uint32_t id, const bus::message& rule) override;
  bus::Status removeRule(uint32_t id) override;
  DeviceCounters readCounters(const RouterDevice& dev) override;
};

}  // namespace routerd
