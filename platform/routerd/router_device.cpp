#include "platform/routerd/router_device.h"

#include "platform/routerd/router_protocol.h"

namespace routerd {

void RouterDevice::save(bus::message& out) const {
  out.setString(kDevName, mName);
  out.setU32(kDevToken, mToken);
  out.setU32(kDevStatus, mRunning ? kStatusRunning : 0);
  out.setU32(kDevIfIndex, mIfIndex);
  out.setBool(bus::kFieldDisabled, mDisabled);
  out.setString(kDevKernelName, mKernelName);
  out.setU64(kDevRxBytes, mCounters.rxBytes);
  out.setU64(kDevTxBytes, mCounters.txBytes);
  out.setU64(kDevRxPackets, mCounters.rxPackets);
  out.setU64(kDevTxPackets, mCounters.txPackets);
}

void RouterDevice::load(const bus::message& in) {
  mName = in.getString(kDevName, mName);
  mToken = in.getU32(kDevToken, mToken);
  if (in.has(kDevStatus)) mRunning = (in.getU32(kDevStatus) & kStatusRunning) == kStatusRunning;
  mIfIndex = in.getU32(kDevIfIndex, mIfIndex);
  mDisabled = in.getBool(bus::kFieldDisabled, mDisabled);
  mKernelName = in.getString(kDevKernelName, mKernelName);
  mCounters.rxBytes = in.getU64(kDevRxBytes, mCounters.rxBytes);
  mCounters.txBytes = in.getU64(kDevTxBytes, mCounters.txBytes);
  mCounters.rxPackets = in.getU64(kDevRxPackets, mCounters.rxPackets);
  mCounters.txPackets = in.getU64(kDevTxPackets, mCounters.txPackets);
}

}  // namespace routerd
