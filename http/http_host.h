#pragma once

#include <cstdint>
#include <string>

#include "platform/ip_addr.h"
#include "platform/net.h"

namespace upnp {

class Service;

// A started internal interface as the servers on it (HTTP, SSDP) see it: the
// name for log lines, the address for the host check and the URLs, the kernel
// index for the sockets. The daemon's interface records are ServedInterfaces
// and keep these fields current.
struct ServedInterface {
  std::string name;           // router name of the interface
  IPAddr address;             // the interface address the servers are reached at
  uint32_t ifindex = 0;       // kernel interface index
  uint32_t prefixLength = 24; // of the subnet `address` belongs to

  // Whether `host` lies in the interface's subnet.
  bool onSubnet(IPAddr host) const { return net::sameSubnet(host, address, prefixLength); }
};

// What the HTTP server needs from the daemon above it. Pointers returned stay
// valid until the daemon's tables change, which never happens while a request
// is being dispatched except through the handlers themselves. Loop thread only.
class HttpHost {
 public:
  virtual ~HttpHost() = default;

  // The service whose control URL, or event URL, is `path`; null when none.
  virtual Service* controlService(const std::string& path) = 0;
  virtual Service* eventService(const std::string& path) = 0;
  // The file served at `path` (a name within documentDir()); null when none.
  virtual const std::string* servedFile(const std::string& path) const = 0;
  // The router path of the directory the served files are read from.
  virtual const std::string& documentDir() const = 0;
  // The text of "/gateway.xml" for a client that reached the interface at
  // `localAddress` (see describeRoot); valid until the next call.
  virtual const std::string& description(const std::string& localAddress) = 0;
  // The interface whose listening socket is `socket`; null when none.
  virtual const ServedInterface* interfaceOf(int socket) const = 0;
};

}  // namespace upnp
