#include "platform/routerd/sim_backend.h"

#include <net/if.h>

namespace routerd {

uint32_t SimBackend::kernelIndex(const std::string& kernelName) {
  if (kernelName.empty() || kernelName.size() >= IF_NAMESIZE) return 0;
  return if_nametoindex(kernelName.c_str());
}

bus::Status SimBackend::applyInterface(const RouterDevice& dev) {
  (void)dev;
  return bus::Status::ok();
}

bus::Status SimBackend::removeInterface(const RouterDevice& dev) {
  (void)dev;
  return bus::Status::ok();
}

bus::Status SimBackend::applyAddress(const RouterAddress& addr, const RouterDevice& dev, bool add) {
  (void)addr;
  (void)dev;
  (void)add;
  return bus::Status::ok();
}

bus::Status SimBackend::applyRule(uint32_t id, const bus::message& rule) {
  (void)id;
  (void)rule;
  return bus::Status::ok();
}

bus::Status SimBackend::removeRule(uint32_t id) {
  (void)id;
  return bus::Status::ok();
}

DeviceCounters SimBackend::readCounters(const RouterDevice& dev) { return dev.counters(); }

}  // namespace routerd
