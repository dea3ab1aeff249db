#include "platform/net.h"

#include <net/if.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "platform/system.h"
#include "platform/thin_runner.h"

namespace net {

namespace {

bus::Status bindToDevice(int fd, uint32_t ifindex, const char* call) {
  char name[IFNAMSIZ] = {};
  const std::string kernelName = bus::kernelGetIfname(ifindex);
  strncpy(name, kernelName.c_str(), sizeof(name) - 1);
  if (setsockopt(fd, SOL_SOCKET, SO_BINDTODEVICE, name, sizeof(name)) != 0) return bus::Status::sysError(call);
  return bus::Status::ok();
}

bus::Status reuseAddress(int fd) {
  const int one = 1;
  if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one)) != 0)
    return bus::Status::sysError("setsockopt SO_REUSEADDR");
  return bus::Status::ok();
}

bus::Status bindTo(int fd, IPAddr address, uint16_t port, const char* call) {
  const sockaddr_in sa = socketAddress(address, port);
  if (bind(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof(sa)) != 0) return bus::Status::sysError(call);
  return bus::Status::ok();
}

}  // namespace

Socket& Socket::operator=(Socket&& other) noexcept {
  if (this != &other) {
    reset();
    mFd = other.release();
  }
  return *this;
}

int Socket::release() {
  const int fd = mFd;
  mFd = -1;
  return fd;
}

void Socket::reset() {
  if (mFd < 0) return;
  if (bus::ThinRunner* runner = bus::ThinRunner::current()) runner->removeSocket(mFd);
  close(mFd);
  mFd = -1;
}

SendResult sendPending(int fd, const std::string& data, size_t& written) {
  while (written < data.size()) {
    const ssize_t n = send(fd, data.data() + written, data.size() - written, MSG_NOSIGNAL);
    if (n > 0) {
      written += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return SendResult::WouldBlock;
    return SendResult::Failed;
  }
  return SendResult::Done;
}

sockaddr_in socketAddress(IPAddr address, uint16_t port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = address.raw();
  sa.sin_port = htons(port);
  return sa;
}

bus::Status openUdp(uint32_t ifindex, IPAddr address, uint16_t port, Socket& out) {
  Socket sock(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!sock.valid()) return bus::Status::sysError("udp socket");
  bus::Status status = bindToDevice(sock.fd(), ifindex, "udp setsockopt SO_BINDTODEVICE");
  if (status.isOk()) status = reuseAddress(sock.fd());
  if (status.isOk()) status = bindTo(sock.fd(), address, port, "udp bind");
  if (status.isOk()) out = std::move(sock);
  return status;
}

bus::Status openTcpListener(uint32_t ifindex, uint16_t port, int backlog, Socket& out) {
  // Non-blocking: the server accepts until the queue is empty.
  Socket sock(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!sock.valid()) return bus::Status::sysError("tcp socket");
  bus::Status status = bindToDevice(sock.fd(), ifindex, "setsockopt SO_BINDTODEVICE");
  if (status.isOk()) status = reuseAddress(sock.fd());
  if (status.isOk()) status = bindTo(sock.fd(), IPAddr(), port, "tcp bind");
  if (status.isOk() && listen(sock.fd(), backlog) != 0) status = bus::Status::sysError("tcp listen");
  if (status.isOk()) out = std::move(sock);
  return status;
}

bus::Status joinMulticast(int fd, IPAddr group, IPAddr local, uint32_t ifindex, unsigned char ttl) {
  ip_mreqn membership{};
  membership.imr_multiaddr.s_addr = group.raw();
  membership.imr_address.s_addr = local.raw();
  membership.imr_ifindex = static_cast<int>(ifindex);
  if (setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof(membership)) != 0)
    return bus::Status::sysError("setsockopt IP_ADD_MEMBERSHIP");
  if (setsockopt(fd, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof(ttl)) != 0)
    return bus::Status::sysError("setsockopt IP_MULTICAST_TTL");
  return bus::Status::ok();
}

bool sameSubnet(IPAddr a, IPAddr b, uint32_t prefixLength) {
  if (prefixLength == 0) return true;
  const uint32_t mask = prefixLength >= 32 ? 0xffffffffu : ~(0xffffffffu >> prefixLength);
  return (a.host() & mask) == (b.host() & mask);
}

bool isLocalAddress(IPAddr address) {
  // Only the machine's own addresses can be bound (no IP_FREEBIND here).
  const Socket probe(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  return probe.valid() && bindTo(probe.fd(), address, 0, "bind").isOk();
}

bool isSubnetHost(IPAddr host, IPAddr network, uint32_t prefixLength) {
  const uint32_t h = host.host();
  if (h == 0 || h == 0xffffffffu || (h >> 24) == 127 || (h >> 28) == 0xe) return false;
  if (!sameSubnet(host, network, prefixLength)) return false;
  if (prefixLength > 30) return true;
  const uint32_t hostBits = 0xffffffffu >> prefixLength;
  return (h & hostBits) != 0 && (h & hostBits) != hostBits;
}

bool portIsFree(IPAddr address, uint16_t port, bool stream) {
  const Socket probe(socket(AF_INET, (stream ? SOCK_STREAM : SOCK_DGRAM) | SOCK_CLOEXEC, 0));
  if (!probe.valid()) return true;
  return bindTo(probe.fd(), address, port, "bind").isOk();
}

}  // namespace net
