#pragma once

#include <cstdint>
#include <string>

#include "platform/amap.h"

namespace routerd {

// Traffic counters of one interface.
struct DeviceCounters {
  uint64_t rxBytes = 0;
  uint64_t txBytes = 0;
  uint64_t rxPackets = 0;
  uint64_t txPackets = 0;
};

// One interface of the router's interface table, tied to a kernel interface by
// its kernel name. Saved fields (router_protocol.h): name, token, status bits,
// kernel index, disabled, kernel name, counters.
class RouterDevice : public bus::AObject {
 public:
  void save(bus::message& out) const override;
  void load(const bus::message& in) override;

  const std::string& name() const { return mName; }
  const std::string& kernelName() const { return mKernelName; }
  uint32_t token() const { return mToken; }
  bool running() const { return mRunning; }
  bool disabled() const { return mDisabled; }
  uint32_t ifIndex() const { return mIfIndex; }
  const DeviceCounters& counters() const { return mCounters; }
  // Set by the table from the backend; clients cannot change it.
  void setIfIndex(uint32_t index) { mIfIndex = index; }
  void setRunning(bool running) { mRunning = running; }

 private:
  std::string mName;         // router name, unique in the table
  std::string mKernelName;   // kernel interface the device stands for
  uint32_t mToken = 0;       // device kind; the daemon uses nothing with token 0
  uint32_t mIfIndex = 0;     // kernel index of mKernelName, 0 when the kernel has none
  bool mRunning = false;     // link up: status bits kStatusRunning
  bool mDisabled = false;    // switched off by the administrator
  DeviceCounters mCounters;  // the sim backend's counters
};

}  // namespace routerd
