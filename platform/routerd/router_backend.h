#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/message.h"
#include "platform/routerd/router_address.h"
#include "platform/routerd/router_device.h"
#include "platform/status.h"

namespace routerd {

// What the router's tables do to the system. The tables decide what is valid
// and keep the state that clients see; a backend only makes the system follow
// it. Every apply* runs before the change is accepted: an error refuses the
// change and its text goes back to the client. Loop thread only.
class RouterBackend {
 public:
  RouterBackend() = default;
  virtual ~RouterBackend() = default;
  RouterBackend(const RouterBackend&) = delete;
  RouterBackend& operator=(const RouterBackend&) = delete;

  virtual const char* name() const = 0;
  // Kernel index of the interface called `kernelName`; 0 when there is none.
  virtual uint32_t kernelIndex(const std::string& kernelName) = 0;
  // Whether the interface called `kernelName` runs, when the system decides
  // that; nullopt (the default) keeps what the record says.
  virtual std::optional<bool> kernelRunning(const std::string& kernelName) {
    (void)kernelName;
    return std::nullopt;
  }
  // A device was added or changed (`dev` is the new state).
  virtual bus::Status applyInterface(const RouterDevice& dev) = 0;
  virtual bus::Status removeInterface(const RouterDevice& dev) = 0;
  // An address of `dev` was added (`add`) or removed.
  virtual bus::Status applyAddress(const RouterAddress& addr, const RouterDevice& dev, bool add) = 0;
  // A NAT rule was added or changed (`rule`: every field as stored).
  virtual bus::Status applyRule(uint32_t id, const bus::message& rule) = 0;
  virtual bus::Status removeRule(uint32_t id) = 0;
  // Current traffic counters of `dev`.
  virtual DeviceCounters readCounters(const RouterDevice& dev) = 0;
};

}  // namespace routerd
