// Feeds arbitrary CALLBACK and TIMEOUT header values to the subscription
// parsers. Beyond surviving any bytes: an accepted callback has a path that
// starts with "/" and lies inside the input, and a granted lifetime always
// stays within 1800..86400 seconds.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "http/gena/gena.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string value(reinterpret_cast<const char*>(data), size);

  if (auto callback = upnp::parseCallback(value)) {
    if (callback->path.empty() || callback->path[0] != '/') std::abort();
    if (callback->path.size() + callback->host.size() > size) std::abort();
  }

  const uint32_t granted = upnp::grantedLifetime(upnp::requestedLifetime(value));
  if (granted < 1800 || granted > 86400) std::abort();
  return 0;
}
