#pragma once

#include <netinet/in.h>

#include <string>
#include <string_view>

#include "http/http_host.h"
#include "model/device.h"
#include "platform/net.h"
#include "platform/thin_runner.h"

namespace upnp {

inline constexpr const char* kSsdpGroup = "239.255.255.250";
inline constexpr uint16_t kSsdpPort = 1900;
inline constexpr unsigned kMaxAge = 3600;

// SSDP on one started internal interface: the socket joined to the group,
// the periodic announcements and the M-SEARCH responder. Announces and
// answers with the targets it is given, a view of the daemon's target table
// read at each use. Loop thread only.
class SsdpInterface {
 public:
  // `interface` and `targets` must outlive this object.
  SsdpInterface(const ServedInterface& interface, const SsdpTargets& targets)
      : mInterface(interface), mTargets(targets) {}
  SsdpInterface(const SsdpInterface&) = delete;
  SsdpInterface& operator=(const SsdpInterface&) = delete;

  // Opens the interface's socket (port 1900 on its device, member of the
  // group, multicast TTL 4) and answers searches on it. False after logging
  // the failed step.
  bool open();
  // Arms the announcement timer: an alive burst of the targets every period.
  void startAnnouncing();
  // One burst on the interface: one NOTIFY per target, in map order.
  void sendAdverts(const SsdpTargets& targets, bool byebye) const;
  // Stops announcing and closes the socket.
  void close();
  bool isOpen() const { return mSocket.valid(); }

 private:
  void onSearch(int socket);
  void answer(std::string_view datagram, const sockaddr_in& sender);
  // The socket answers leave from, opened when missing; -1 after logging.
  int replySocket();

  const ServedInterface& mInterface;
  const SsdpTargets& mTargets;
  net::Socket mSocket;       // bound to *:1900 on the interface's device
  net::Socket mReplySocket;  // bound to the interface's address:1900; also receives unicast searches
  bus::Timer mAdvertTimer;
  std::string mAnswerHead;  // an answer's status line and headers before ST; built at the first answer
};

}  // namespace upnp
