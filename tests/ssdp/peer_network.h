#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <unistd.h>


#include "platform/net.h"

namespace upnp::test {

struct Datagram {
  std::string text;
  std::string source;  // sender address:port
};

// Two network namespaces of the test's own: the router's, where the test
// process (and so the code under test) lives, and a peer one that plays the
// LAN hosts. Link i is a veth pair "v<2i>" 10.9.<i>.1/24 (router side) and
// "v<2i+1>" 10.9.<i>.2/24 (peer side), so every datagram really crosses a link.
class PeerNetwork {
 public:
  ~PeerNetwork() {
    for (int fd : {mRouterNs, mPeerNs})
      if (fd >= 0) close(fd);
  }

  // Builds both namespaces and leaves the process in the router's. False when not root.
  bool enter(int links) {
    if (unshare(CLONE_NEWNET) != 0) return false;
    mRouterNs = open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
    if (mRouterNs < 0 || system("ip link set lo up") != 0 || unshare(CLONE_NEWNET) != 0) return false;
    mPeerNs = open("/proc/self/ns/net", O_RDONLY);  // inherited by ip below
    if (mPeerNs < 0 || system("ip link set lo up") != 0 || setns(mRouterNs, CLONE_NEWNET) != 0) return false;
    const std::string peerPath = "/proc/" + std::to_string(getpid()) + "/fd/" + std::to_string(mPeerNs);
    for (int i = 0; i < links; ++i) {
      const std::string ours = "v" + std::to_string(2 * i), theirs = peerDevice(i), net = "10.9." + std::to_string(i);
      bool ok = system(("ip link add " + ours + " type veth peer name " + theirs + " netns " + peerPath +
                        " && ip addr add " + net + ".1/24 dev " + ours + " && ip link set " + ours + " up").c_str()) == 0;
      inPeer([&] { ok = ok && system(("ip addr add " + net + ".2/24 dev " + theirs + " && ip link set " + theirs + " up").c_str()) == 0; });
      if (!ok) return false;
    }
    return true;
  }

  template <class Fn>
  void inPeer(Fn fn) {
    if (setns(mPeerNs, CLONE_NEWNET) != 0) return;
    fn();
    if (setns(mRouterNs, CLONE_NEWNET) != 0) std::abort();  // nothing sane can follow
  }

  // A peer socket on link `link`: a `listener` is bound to port 1900 in the
  // SSDP group (hears NOTIFY); else it sends searches to the group from a port
  // of its own and reads the unicast replies. Invalid on failure.
  net::Socket peerSocket(int link, bool listener) {
    net::Socket socket;
    inPeer([&] {
      const uint32_t ifindex = if_nametoindex(peerDevice(link).c_str());
      const std::string own = "10.9." + std::to_string(link) + ".2";
      bus::Status status = net::openUdp(ifindex, listener ? IPAddr() : *IPAddr::parse(own), listener ? 1900 : 0, socket);
      const unsigned char loop = 0;  // our own searches are no news to our listeners
      ip_mreqn via{};
      via.imr_ifindex = static_cast<int>(ifindex);
      if (status.isOk() && listener)
        status = net::joinMulticast(socket.fd(), *IPAddr::parse("239.255.255.250"), IPAddr(), ifindex, 1);
      if (status.isOk() && !listener &&
          (setsockopt(socket.fd(), IPPROTO_IP, IP_MULTICAST_LOOP, &loop, sizeof(loop)) != 0 ||
           setsockopt(socket.fd(), IPPROTO_IP, IP_MULTICAST_IF, &via, sizeof(via)) != 0))
        status = bus::Status::error("multicast options");
      if (!status.isOk()) socket.reset();
    });
    return socket;
  }

  static bool sendToGroup(const net::Socket& socket, const std::string& text) {
    const sockaddr_in group = net::socketAddress(*IPAddr::parse("239.255.255.250"), 1900);
    return sendto(socket.fd(), text.data(), text.size(), 0, reinterpret_cast<const sockaddr*>(&group),
                  sizeof(group)) == static_cast<ssize_t>(text.size());
  }

  // Every datagram waiting or arriving until `socket` has been quiet for `quietMs`; at most 64.
  static std::vector<Datagram> drain(const net::Socket& socket, int quietMs = 100) {
    std::vector<Datagram> received;
    pollfd ready{socket.fd(), POLLIN, 0};
    char buffer[9000], dotted[INET_ADDRSTRLEN] = {};
    sockaddr_in from{};
    for (socklen_t length = sizeof(from); received.size() < 64 && poll(&ready, 1, quietMs) == 1; length = sizeof(from)) {
      const ssize_t n = recvfrom(socket.fd(), buffer, sizeof(buffer), 0, reinterpret_cast<sockaddr*>(&from), &length);
      if (n < 0) break;
      inet_ntop(AF_INET, &from.sin_addr, dotted, sizeof(dotted));
      received.push_back({std::string(buffer, static_cast<size_t>(n)), dotted + (":" + std::to_string(ntohs(from.sin_port)))});
    }
    return received;
  }

  static std::string peerDevice(int link) { return "v" + std::to_string(2 * link + 1); }

 private:
  int mRouterNs = -1;
  int mPeerNs = -1;
};

}  // namespace upnp::test
