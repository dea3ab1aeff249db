#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "http/http_message.h"
#include "http/http_server.h"
#include "http/response.h"
#include "platform/debug_log.h"
#include "ssdp/ssdp.h"

namespace upnp {

namespace {

// Thirty seconds less than the max-age, so control points never see the
// device expire between two bursts.
constexpr std::chrono::milliseconds kAdvertPeriod = std::chrono::seconds(3570);
constexpr unsigned char kMulticastTtl = 4;

}  // namespace

bool SsdpInterface::open() {
  net::Socket socket;
  bus::Status status = net::openUdp(mInterface.ifindex, IPAddr(), kSsdpPort, socket);
  if (status.isOk())
    status = net::joinMulticast(socket.fd(), *IPAddr::parse(kSsdpGroup), mInterface.address, mInterface.ifindex,
                                kMulticastTtl);
  if (!status.isOk()) {
    bus::debugLog() << status.text();
    return false;
  }
  mSocket = std::move(socket);
  if (bus::ThinRunner* runner = bus::ThinRunner::current())
    runner->addSocket(mSocket.fd(), bus::ThinRunner::kReadable, [this](int fd) { onSearch(fd); });
  // Kept open so that answering a search costs no socket of its own; when it
  // cannot be had now, each search tries again.
  if (net::openUdp(mInterface.ifindex, mInterface.address, kSsdpPort, mReplySocket).isOk()) {
    if (bus::ThinRunner* runner = bus::ThinRunner::current())
      runner->addSocket(mReplySocket.fd(), bus::ThinRunner::kReadable, [this](int fd) { onSearch(fd); });
  }
  return true;
}

void SsdpInterface::startAnnouncing() {
  mAdvertTimer.start(kAdvertPeriod, [this] {
    sendAdverts(mTargets, false);
    mAdvertTimer.start(kAdvertPeriod);
  });
}

void SsdpInterface::close() {
  mAdvertTimer.cancel();
  mSocket.reset();
  mReplySocket.reset();
  mAnswerHead.clear();
}

void SsdpInterface::sendAdverts(const SsdpTargets& targets, bool byebye) const {
  bus::debugLog() << "sendAdverts " << mInterface.name << " " << targets.size() << " "
                  << (byebye ? "byebye" : "alive");
  HttpMessage notify;
  notify.firstLine = "NOTIFY * HTTP/1.1";
  addHeader(notify, "HOST", std::string(kSsdpGroup) + ":" + std::to_string(kSsdpPort));
  if (!byebye) {
    addHeader(notify, "CACHE-CONTROL", "max-age=" + std::to_string(kMaxAge));
    addHeader(notify, "LOCATION",
              "http://" + mInterface.address.toString() + ":" + std::to_string(kHttpPort) + "/gateway.xml");
  }
  const sockaddr_in group = net::socketAddress(*IPAddr::parse(kSsdpGroup), kSsdpPort);
  for (const auto& [type, usn] : targets) {
    HttpMessage datagram = notify;
    addHeader(datagram, "NT", type);
    addHeader(datagram, "NTS", byebye ? "ssdp:byebye" : "ssdp:alive");
    if (!byebye) addHeader(datagram, "SERVER", serverString());
    addHeader(datagram, "USN", usn);
    const std::string text = toText(datagram);
    const ssize_t sent = sendto(mSocket.fd(), text.data(), text.size(), 0,
                                reinterpret_cast<const sockaddr*>(&group), sizeof(group));
    if (sent < static_cast<ssize_t>(text.size())) bus::debugLog() << "advert sendto failed: " << strerror(errno);
  }
}

}  // namespace upnp
