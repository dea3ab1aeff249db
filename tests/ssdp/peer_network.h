#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace upnp::test {

// One datagram as a LAN host received it.
struct Datagram {
  std::string text;
  std::string source;  // dotted sender address
  uint16_t port = 0;   // sender port
};

// Two network namespaces of the test's own: the router's, where the test
// process (and so the daemon) lives, and a peer one that plays the LAN hosts.
// Link i is a veth pair: "v<2i>" with 10.9.<i>.1/24 on the router side and
// "v<2i+1>" with 10.9.<i>.2/24 on the peer side. Keeping the hosts in their
// own namespace makes every datagram really cross the link, as on a LAN.
// Sockets made with `inPeer` stay in the peer namespace for their whole life.
class PeerNetwork {
 public:
  PeerNetwork() = default;
  ~PeerNetwork() {
    for (int fd : mSockets) close(fd);
    if (mRouterNs >= 0) close(mRouterNs);
    if (mPeerNs >= 0) close(mPeerNs);
  }
  PeerNetwork(const PeerNetwork&) = delete;
  PeerNetwork& operator=(const PeerNetwork&) = delete;

  // Builds both namespaces with `links` veth pairs and leaves the process in
  // the router's. False when that is not possible (not root).
  bool enter(int links) {
    if (unshare(CLONE_NEWNET) != 0) return false;
    mRouterNs = open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
    if (mRouterNs < 0 || system("ip link set lo up") != 0) return false;
    if (unshare(CLONE_NEWNET) != 0) return false;
    mPeerNs = open("/proc/self/ns/net", O_RDONLY);  // inherited by ip below
    if (mPeerNs < 0 || system("ip link set lo up") != 0) return false;
    if (setns(mRouterNs, CLONE_NEWNET) != 0) return false;
    const std::string peerPath = "/proc/" + std::to_string(getpid()) + "/fd/" + std::to_string(mPeerNs);
    for (int i = 0; i < links; ++i) {
      const std::string ours = "v" + std::to_string(2 * i), theirs = "v" + std::to_string(2 * i + 1);
      const std::string net = "10.9." + std::to_string(i) + ".";
      const std::string here = "ip link add " + ours + " type veth peer name " + theirs + " netns " +
                               peerPath + " && ip addr add " + net + "1/24 dev " + ours + " && ip link set " +
                               ours + " up";
      if (system(here.c_str()) != 0) return false;
      const std::string there = "ip addr add " + net + "2/24 dev " + theirs + " && ip link set " + theirs + " up";
      bool ok = false;
      inPeer([&] { ok = system(there.c_str()) == 0; });
      if (!ok) return false;
    }
    return true;
  }

  // Runs `fn` inside the peer namespace.
  template <class Fn>
  void inPeer(Fn fn) {
    if (setns(mPeerNs, CLONE_NEWNET) != 0) return;
    fn();
    if (setns(mRouterNs, CLONE_NEWNET) != 0) std::abort();  // nothing sane can follow
  }

  // A peer socket on link `link` that receives what is multicast to the SSDP
  // group on it, as a control point listening for NOTIFY does. -1 on failure.
  int groupListener(int link) {
    int fd = -1;
    inPeer([&] {
      fd = udpSocket(link, 1900, "0.0.0.0");
      ip_mreqn membership{};
      membership.imr_multiaddr.s_addr = inet("239.255.255.250");
      membership.imr_ifindex = static_cast<int>(if_nametoindex(peerDevice(link).c_str()));
      if (fd >= 0 && setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof(membership)) != 0) {
        close(fd);
        fd = -1;
      }
    });
    return keep(fd);
  }

  // A peer socket on link `link` with its own port that sends searches to
  // the group and reads the unicast replies. -1 on failure.
  int searcher(int link) {
    int fd = -1;
    inPeer([&] {
      fd = udpSocket(link, 0, peerAddress(link));
      const unsigned char loop = 0;  // our own searches are no news to our listeners
      ip_mreqn via{};
      via.imr_ifindex = static_cast<int>(if_nametoindex(peerDevice(link).c_str()));
      if (fd >= 0 && (setsockopt(fd, IPPROTO_IP, IP_MULTICAST_LOOP, &loop, sizeof(loop)) != 0 ||
                      setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &via, sizeof(via)) != 0)) {
        close(fd);
        fd = -1;
      }
    });
    return keep(fd);
  }

  // Sends `text` from `fd` to the SSDP group, port 1900.
  static bool sendToGroup(int fd, const std::string& text) {
    sockaddr_in group{};
    group.sin_family = AF_INET;
    group.sin_addr.s_addr = inet("239.255.255.250");
    group.sin_port = htons(1900);
    return sendto(fd, text.data(), text.size(), 0, reinterpret_cast<sockaddr*>(&group), sizeof(group)) ==
           static_cast<ssize_t>(text.size());
  }

  // Every datagram waiting on `fd` or arriving until it has been quiet for
  // `quietMs`; at most 64.
  static std::vector<Datagram> drain(int fd, int quietMs = 100) {
    std::vector<Datagram> received;
    pollfd ready{fd, POLLIN, 0};
    while (received.size() < 64 && poll(&ready, 1, quietMs) == 1) {
      char buffer[9000];
      sockaddr_in from{};
      socklen_t length = sizeof(from);
      const ssize_t n = recvfrom(fd, buffer, sizeof(buffer), 0, reinterpret_cast<sockaddr*>(&from), &length);
      if (n < 0) break;
      char dotted[INET_ADDRSTRLEN] = {};
      inet_ntop(AF_INET, &from.sin_addr, dotted, sizeof(dotted));
      received.push_back({std::string(buffer, static_cast<size_t>(n)), dotted, ntohs(from.sin_port)});
    }
    return received;
  }

  static std::string routerAddress(int link) { return "10.9." + std::to_string(link) + ".1"; }
  static std::string peerAddress(int link) { return "10.9." + std::to_string(link) + ".2"; }
  static std::string peerDevice(int link) { return "v" + std::to_string(2 * link + 1); }

 private:
  static in_addr_t inet(const char* dotted) {
    in_addr a{};
    inet_pton(AF_INET, dotted, &a);
    return a.s_addr;
  }

  // A UDP socket tied to the peer device of `link`, bound to address:port.
  static int udpSocket(int link, uint16_t port, const std::string& address) {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    const int one = 1;
    const std::string device = peerDevice(link);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = inet(address.c_str());
    sa.sin_port = htons(port);
    if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one)) != 0 ||
        setsockopt(fd, SOL_SOCKET, SO_BINDTODEVICE, device.c_str(), device.size()) != 0 ||
        bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) != 0) {
      close(fd);
      return -1;
    }
    return fd;
  }

  int keep(int fd) {
    if (fd >= 0) mSockets.push_back(fd);
    return fd;
  }

  int mRouterNs = -1;
  int mPeerNs = -1;
  std::vector<int> mSockets;
};

}  // namespace upnp::test
