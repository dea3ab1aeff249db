#include <netinet/in.h>
#include <sys/socket.h>

#include <string_view>

#include "http/http_message.h"
#include "http/http_server.h"
#include "http/response.h"
#include "platform/debug_log.h"
#include "ssdp/ssdp.h"

namespace upnp {

namespace {

constexpr size_t kMaxDatagram = 4096;
// Searches read at one wake-up, at most.
constexpr int kSearchBatch = 16;

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
  // A burst of searches costs one wake-up; the first read cannot block.
  for (int n = 0; n < kSearchBatch; ++n) {
    char buffer[kMaxDatagram];
    sockaddr_in sender{};
    socklen_t senderLength = sizeof(sender);
    const ssize_t received = recvfrom(socket, buffer, sizeof(buffer), n == 0 ? 0 : MSG_DONTWAIT,
                                      reinterpret_cast<sockaddr*>(&sender), &senderLength);
    if (received <= 0) {
      if (n == 0) bus::debugLog() << "search recvfrom failed";
      return;
    }
    answer(std::string_view(buffer, static_cast<size_t>(received)), sender);
  }
}

void SsdpInterface::answer(std::string_view datagram, const sockaddr_in& sender) {
  const HttpMessage request = parseHttpMessage(datagram);
  if (!isDiscovery(request)) return;
  const std::string target = header(request, "ST");
  const auto [first, last] =
      target == "ssdp:all" ? std::pair(mTargets.begin(), mTargets.end()) : mTargets.equal_range(target);
  if (first == last) return;
  // Replies leave from the interface's own address, port 1900, so control
  // points that check the source of the answer accept it.
  const int reply = replySocket();
  if (reply < 0) return;
  if (mAnswerHead.empty()) {
    HttpMessage head = statusResponse(200);
    addHeader(head, "CACHE-CONTROL", "max-age=" + std::to_string(kMaxAge));
    addHeader(head, "EXT", "");
    addHeader(head, "LOCATION",
              "http://" + mInterface.address.toString() + ":" + std::to_string(kHttpPort) + "/gateway.xml");
    addHeader(head, "SERVER", serverString());
    mAnswerHead = toText(head);
    mAnswerHead.resize(mAnswerHead.size() - lineEnd().size());  // the headers go on
  }
  const std::string& end = lineEnd();
  for (auto it = first; it != last; ++it) {
    std::string text = mAnswerHead;
    text.append("ST: ").append(it->first).append(end).append("USN: ").append(it->second).append(end).append(end);
    const ssize_t sent = sendto(reply, text.data(), text.size(), 0,
                                reinterpret_cast<const sockaddr*>(&sender), sizeof(sender));
    if (sent < static_cast<ssize_t>(text.size())) bus::debugLog() << "search sendto failed";
  }
}

}  // namespace upnp
