#include "platform/routerd/system_resolver.h"

#include <netdb.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>

namespace routerd {

void SystemResolver::limitResolverWait() { setenv("RES_OPTIONS", "timeout:1 attempts:1", /*overwrite=*/0); }

std::optional<IPAddr> SystemResolver::resolve(const std::string& name, uint64_t nowMs) {
  auto cached = mCache.find(name);
  if (cached != mCache.end() && cached->second.expiresMs > nowMs) return cached->second.address;
  addrinfo hints{};
  hints.ai_family = AF_INET;  // no AAAA query to wait for
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* result = nullptr;
  std::optional<IPAddr> address;
  if (getaddrinfo(name.c_str(), nullptr, &hints, &result) == 0) {
    for (addrinfo* ai = result; ai && !address; ai = ai->ai_next) {
      if (ai->ai_family == AF_INET) address = IPAddr(reinterpret_cast<const sockaddr_in*>(ai->ai_addr)->sin_addr.s_addr);
    }
    freeaddrinfo(result);
  }
  if (mCache.size() >= kMaxCached && !mCache.count(name)) {
    // Expired entries go first; a cache full of live ones is cleared whole.
    for (auto it = mCache.begin(); it != mCache.end();) it = it->second.expiresMs <= nowMs ? mCache.erase(it) : std::next(it);
    if (mCache.size() >= kMaxCached) mCache.clear();
  }
  mCache[name] = Entry{address, nowMs + kCacheMs};
  return address;
}

}  // namespace routerd
