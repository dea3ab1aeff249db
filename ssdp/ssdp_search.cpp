#include <netinet/in.h>
#include <sys/socket.h>

#include <string_view>
#include <vector>

#include "http/http_message.h"
#include "http/http_server.h"
#include "http/response.h"
#include "platform/debug_log.h"
#include "ssdp/ssdp.h"

namespace upnp {

namespace {

constexpr size_t kMaxDatagram = 4096;

// Control points must address the search exactly as SSDP defines it; anything
// looser is somebody else's protocol and gets no answer.
bool isDiscovery(const HttpMessage& request) {
  static const std::string kHost = std::string(kSsdpGroup) + ":" + std::to_string(kSsdpPort);
  return request.firstLine == "M-SEARCH * HTTP/1.1" && header(request, "HOST") == kHost &&
         header(request, "MAN") == "\"ssdp:discover\"" && hasHeader(request, "MX") && hasHeader(request, "ST");
}

}  // namespace

int SsdpInterface::replySocket() {
  if (mReplySocket.valid()) return mReplySocket.fd();
  const bus::Status status = net::openUdp(mInterface.ifindex, mInterface.address, kSsdpPort, mReplySocket);
  if (status.isOk()) {
    if (bus::ThinRunner* runner = bus::ThinRunner::current())
      runner->addSocket(mReplySocket.fd(), bus::ThinRunner::kReadable, [this](int fd) { onSearch(fd); });
    return mReplySocket.fd();
  }
  bus::debugLog() << status.text();
  return -1;
}

void SsdpInterface::onSearch(int socket) {
  char buffer[kMaxDatagram];
  sockaddr_in sender{};
  socklen_t senderLength = sizeof(sender);
  const ssize_t received = recvfrom(socket, buffer, sizeof(buffer), 0,
                                    reinterpret_cast<sockaddr*>(&sender), &senderLength);
  if (received <= 0) {
    bus::debugLog() << "search recvfrom failed";
    return;
  }
  const HttpMessage request = parseHttpMessage(std::string_view(buffer, static_cast<size_t>(received)));
  if (!isDiscovery(request)) return;
  const std::string target = header(request, "ST");

  std::vector<std::pair<std::string, std::string>> chosen;
  if (target == "ssdp:all") {
    chosen.assign(mTargets.begin(), mTargets.end());
  } else {
    auto [first, last] = mTargets.equal_range(target);
    chosen.assign(first, last);
  }

  HttpMessage response = statusResponse(200);
  addHeader(response, "CACHE-CONTROL", "max-age=" + std::to_string(kMaxAge));
  addHeader(response, "EXT", "");
  addHeader(response, "LOCATION",
            "http://" + mInterface.address.toString() + ":" + std::to_string(kHttpPort) + "/gateway.xml");
  addHeader(response, "SERVER", serverString());

  // Replies leave from the interface's own address, port 1900, so control
  // points that check the source of the answer accept it.
  const int reply = replySocket();
  if (reply < 0) return;
  for (const auto& [type, usn] : chosen) {
    HttpMessage datagram = response;
    addHeader(datagram, "ST", type);
    addHeader(datagram, "USN", usn);
    const std::string text = toText(datagram);
    const ssize_t sent = sendto(reply, text.data(), text.size(), 0,
                                reinterpret_cast<const sockaddr*>(&sender), sizeof(sender));
    if (sent < static_cast<ssize_t>(text.size())) bus::debugLog() << "search sendto failed";
  }
}

}  // namespace upnp
