#include "platform/routerd/router.h"

#include "platform/routerd/router_protocol.h"

namespace routerd {

Router::Router(std::unique_ptr<RouterBackend> backend, uint32_t firstRuleId)
    : mBackend(std::move(backend)),
      mInterfaces(*mBackend),
      mAddresses(*mBackend, mInterfaces),
      mNat(*mBackend, firstRuleId) {
  mInterfaces.setAddressTable(&mAddresses);
  mInterfaces.init();
  mAddresses.init();
}

void Router::attach(bus::Looper& looper, bool listen) {
  looper.addHandlerAt({bus::kAddrRouter, kHandlerInterfaces}, &mInterfaces, listen);
  looper.addHandlerAt({bus::kAddrRouter, kHandlerAddresses}, &mAddresses, listen);
  looper.addHandlerAt({bus::kAddrRouter, kHandlerNat}, &mNat, listen);
  looper.addHandlerAt({bus::kAddrResolver}, &mResolver, listen);
  looper.addHandlerAt({bus::kAddrIdentity}, &mIdentity, listen);
  looper.addHandlerAt({bus::kAddrLog}, &mLog, listen);
}

void Router::setTrace(std::ostream* trace) {
  mNat.setTrace(trace);
  mLog.setTrace(trace);
}

}  // namespace routerd
