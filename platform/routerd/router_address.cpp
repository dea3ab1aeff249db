#include "platform/routerd/router_address.h"

#include "platform/routerd/router_protocol.h"

namespace routerd {

void RouterAddress::save(bus::message& out) const {
  out.setBe32(kAddrFieldAddress, mAddress);
  out.setU32(kAddrFieldPrefix, mPrefix);
  out.setU32(kAddrFieldInterface, mInterface);
  out.setBool(bus::kFieldDisabled, mDisabled);
}

void RouterAddress::load(const bus::message& in) {
  mAddress = in.getBe32(kAddrFieldAddress, mAddress);
  mPrefix = in.getU32(kAddrFieldPrefix, mPrefix);
  mInterface = in.getU32(kAddrFieldInterface, mInterface);
  mDisabled = in.getBool(bus::kFieldDisabled, mDisabled);
}

}  // namespace routerd
