#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include "platform/ip_addr.h"

namespace routerd {

// Names looked up with the system resolver (getaddrinfo), IPv4 only, with a
// small cache so a client asking again does not wait again. What one lookup
// costs is bounded by the resolver options set by limitResolverWait.
class SystemResolver {
 public:
  static constexpr size_t kMaxCached = 256;
  static constexpr uint64_t kCacheMs = 60 * 1000;  // answers and failures alike

  // Makes every DNS query of this process give up after one second and one
  // try per name server (RES_OPTIONS, unless the environment already sets it).
  // Call before the first lookup.
  static void limitResolverWait();

  // The first IPv4 address of `name`, or nullopt. `nowMs`: a monotonic clock.
  std::optional<IPAddr> resolve(const std::string& name, uint64_t nowMs);

 private:
  struct Entry {
    std::optional<IPAddr> address;
    uint64_t expiresMs;
  };
  std::map<std::string, Entry> mCache;  // name -> answer until it expires
};

}  // namespace routerd
