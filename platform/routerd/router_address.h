#pragma once

#include <cstdint>

#include "platform/amap.h"
#include "platform/ip_addr.h"

namespace routerd {

// One address of the router's address table: address/prefix on an interface.
class RouterAddress : public bus::AObject {
 public:
  void save(bus::message& out) const override;
  void load(const bus::message& in) override;

  IPAddr address() const { return mAddress; }
  uint32_t prefix() const { return mPrefix; }
  uint32_t interfaceId() const { return mInterface; }
  bool disabled() const { return mDisabled; }

 private:
  IPAddr mAddress;         // the router's own address
  uint32_t mPrefix = 32;   // network prefix length
  uint32_t mInterface = 0; // interface table id
  bool mDisabled = false;  // kept but not in use
};

}  // namespace routerd
