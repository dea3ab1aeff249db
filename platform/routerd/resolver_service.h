#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>

#include "platform/ip_addr.h"
#include "platform/looper.h"

namespace routerd {

// The router's name resolver, served at [14] (router_protocol.h): kCmdResolve
// answers the address of a known host name, or of a dotted-quad name itself;
// other names go to the fallback (setFallback) when there is one; names
// nobody knows get kErrNoSuchItem. Names are matched exactly (case
// sensitive), 1..kMaxNameBytes long. kCmdResolverAdd and kCmdResolverList
// manage the table. Loop thread only.
class ResolverService : public bus::Handler {
 public:
  static constexpr size_t kMaxNameBytes = 253;
  static constexpr size_t kMaxEntries = 4096;

  bus::message handle(const bus::message& request) override;

  // Adds or replaces an entry; false for a bad name, a zero address or a full table.
  bool add(const std::string& name, IPAddr address);

  // Asked for names that are neither in the table nor dotted quads; nullopt
  // when it has no address. Its cost is the caller's wait: keep it bounded.
  using Fallback = std::function<std::optional<IPAddr>(const std::string& name)>;
  void setFallback(Fallback fallback) { mFallback = std::move(fallback); }

 private:
  bus::message cmdResolve(const bus::message& request) const;
  bus::message cmdAdd(const bus::message& request);

  std::map<std::string, IPAddr> mHosts;  // name -> address
  Fallback mFallback;                     // for other names; may be empty
};

}  // namespace routerd
