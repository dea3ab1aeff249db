#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/ip_addr.h"
#include "platform/status.h"

namespace net {

// An owned socket descriptor. Resetting or destroying it unregisters the
// descriptor from the thread's runner first and then closes it, so a number
// the kernel hands out again is never watched under its old callback.
// Move-only.
class Socket {
 public:
  Socket() = default;
  explicit Socket(int fd) : mFd(fd) {}
  ~Socket() { reset(); }
  Socket(Socket&& other) noexcept : mFd(other.release()) {}
  Socket& operator=(Socket&& other) noexcept;
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;

  int fd() const { return mFd; }
  bool valid() const { return mFd >= 0; }
  // Gives up ownership; the socket is left open.
  int release();
  // Unregisters and closes the socket, if any.
  void reset();

 private:
  int mFd = -1;
};

// How far sendPending got.
enum class SendResult { Done, WouldBlock, Failed };

// Sends `data` from offset `written` on non-blocking `fd` until all of it is
// out, the socket takes no more (WouldBlock) or the send fails; advances
// `written`. Never raises SIGPIPE: a peer that reset the connection costs the
// send, not the process.
SendResult sendPending(int fd, const std::string& data, size_t& written);

// An IPv4 socket address; zero `address` is INADDR_ANY.
sockaddr_in socketAddress(IPAddr address, uint16_t port);

// A UDP socket tied to the kernel device of `ifindex` (SO_BINDTODEVICE), with
// SO_REUSEADDR, bound to `address`:`port`. Errors name the failed step:
// "udp socket", "udp setsockopt SO_BINDTODEVICE", "setsockopt SO_REUSEADDR",
// "udp bind", each followed by ": " and the system's error text.
bus::Status openUdp(uint32_t ifindex, IPAddr address, uint16_t port, Socket& out);

// A non-blocking listening TCP socket tied to the device of `ifindex`, with SO_REUSEADDR,
// bound to the wildcard address and `port`. Errors: "tcp socket",
// "setsockopt SO_BINDTODEVICE", "setsockopt SO_REUSEADDR", "tcp bind",
// "tcp listen".
bus::Status openTcpListener(uint32_t ifindex, uint16_t port, int backlog, Socket& out);

// Joins `group` on the interface (`local`, `ifindex`) and sets the multicast
// TTL. Errors: "setsockopt IP_ADD_MEMBERSHIP", "setsockopt IP_MULTICAST_TTL".
bus::Status joinMulticast(int fd, IPAddr group, IPAddr local, uint32_t ifindex, unsigned char ttl);

// Whether `a` and `b` share the first `prefixLength` bits (0..32).
bool sameSubnet(IPAddr a, IPAddr b, uint32_t prefixLength);

// Whether `address` is one of this machine's own addresses (it can be bound).
bool isLocalAddress(IPAddr address);

// Whether `host` can be a unicast host of the subnet `network`/`prefixLength`:
// in the subnet, not its network or broadcast address (for prefixes up to 30),
// and not zero, loopback, multicast or the limited broadcast address.
bool isSubnetHost(IPAddr host, IPAddr network, uint32_t prefixLength);

// True when `address`:`port` can be bound for TCP (`stream`) or UDP, i.e. no
// local service uses it. A socket that cannot be made counts as free.
bool portIsFree(IPAddr address, uint16_t port, bool stream);

}  // namespace net
