#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <iostream>
#include <string_view>
#include <vector>

#include "daemon/gateway.h"
#include "http/http_message.h"
#include "http/response.h"
#include "ssdp/ssdp.h"

namespace upnp {

namespace {

constexpr size_t kMaxDatagram = 4096;

// Control points must address the search exactly as SSDP defines it; anything
// looser is somebody else's protocol and gets no answer.
bool isDiscovery(const HttpMessage& request) {
  const std::string host = std::string(kSsdpGroup) + ":" + std::to_string(Gateway::kSsdpPort);
  return request.firstLine == "M-SEARCH * HTTP/1.1" && header(request, "HOST") == host &&
         header(request, "MAN") == "\"ssdp:discover\"" && hasHeader(request, "MX") &&
         hasHeader(request, "ST");
}

}  // namespace

void onSearch(Gateway& gateway, int socket) {
  char buffer[kMaxDatagram];
  sockaddr_in sender{};
  socklen_t senderLength = sizeof(sender);
  const ssize_t received = recvfrom(socket, buffer, sizeof(buffer), 0,
                                    reinterpret_cast<sockaddr*>(&sender), &senderLength);
  if (received <= 0) {
    std::cout << "search recvfrom failed" << std::endl;
    return;
  }
  const HttpMessage request = parseHttpMessage(std::string_view(buffer, static_cast<size_t>(received)));
  if (!isDiscovery(request)) return;
  const std::string target = header(request, "ST");

  const InterfaceState* state = gateway.findBySsdpSocket(socket);
  if (state == nullptr) {
    std::cout << "findDevice fatal error" << std::endl;
    exit(1);
  }

  std::vector<std::pair<std::string, std::string>> chosen;
  if (target == "ssdp:all") {
    chosen.assign(gateway.ssdpTargets.begin(), gateway.ssdpTargets.end());
  } else {
    auto [first, last] = gateway.ssdpTargets.equal_range(target);
    chosen.assign(first, last);
  }

  HttpMessage response = statusResponse(200);
  addHeader(response, "CACHE-CONTROL", "max-age=" + std::to_string(kMaxAge));
  addHeader(response, "EXT", "");
  addHeader(response, "LOCATION", "http://" + state->address.toString() + ":" +
                                      std::to_string(Gateway::kHttpPort) + "/gateway.xml");
  addHeader(response, "SERVER", serverString());

  // Replies leave from the interface's own address, port 1900, so control
  // points that check the source of the answer accept it.
  const int reply = gateway.openSsdpSocket(state->ifindex, state->address);
  if (reply < 0) return;
  for (const auto& [type, usn] : chosen) {
    HttpMessage datagram = response;
    addHeader(datagram, "ST", type);
    addHeader(datagram, "USN", usn);
    const std::string text = toText(datagram);
    const ssize_t sent = sendto(reply, text.data(), text.size(), 0,
                                reinterpret_cast<const sockaddr*>(&sender), sizeof(sender));
    if (sent < static_cast<ssize_t>(text.size())) std::cout << "search sendto failed" << std::endl;
  }
  close(reply);
}

}  // namespace upnp
