#pragma once

#include <memory>
#include <ostream>

#include "platform/looper.h"
#include "platform/routerd/address_table.h"
#include "platform/routerd/identity_service.h"
#include "platform/routerd/interface_table.h"
#include "platform/routerd/log_service.h"
#include "platform/routerd/nat_table.h"
#include "platform/routerd/resolver_service.h"
#include "platform/routerd/router_backend.h"

namespace routerd {

// Every service of the stand-in router over one backend. Tests host it in
// their own Looper (attach with listen=false); routerd hosts it in a Looper at
// bus::kAddrRouter. Not copyable; the services keep references into it.
class Router {
 public:
  // NAT rule ids count up from `firstRuleId` (see NatTable).
  explicit Router(std::unique_ptr<RouterBackend> backend, uint32_t firstRuleId = 1);
  Router(const Router&) = delete;
  Router& operator=(const Router&) = delete;

  // Registers the services at [20, 0] interfaces, [20, 1] addresses, [20, 5]
  // NAT, [14] resolver, [65] identity and [61] log. `listen`: reachable from
  // other processes. The Router must outlive the looper's use of it.
  void attach(bus::Looper& looper, bool listen);
  // Handled NAT requests and log lines are written to `trace` (null: nowhere).
  void setTrace(std::ostream* trace);

  RouterBackend& backend() { return *mBackend; }
  InterfaceTable& interfaces() { return mInterfaces; }
  AddressTable& addresses() { return mAddresses; }
  NatTable& nat() { return mNat; }
  ResolverService& resolver() { return mResolver; }
  IdentityService& identity() { return mIdentity; }
  LogService& log() { return mLog; }

 private:
  std::unique_ptr<RouterBackend> mBackend;  // what the tables apply their changes to
  InterfaceTable mInterfaces;
  AddressTable mAddresses;
  NatTable mNat;
  ResolverService mResolver;
  IdentityService mIdentity;
  LogService mLog;
};

}  // namespace routerd
