#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <iostream>

#include "daemon/gateway.h"
#include "http/http_message.h"
#include "http/response.h"
#include "ssdp/ssdp.h"

namespace upnp {

void sendAdverts(const InterfaceState& state, const SsdpTargets& targets, bool byebye) {
  std::cout << "sendAdverts " << state.name << " " << targets.size() << " "
            << (byebye ? "byebye" : "alive") << std::endl;
  HttpMessage notify;
  notify.firstLine = "NOTIFY * HTTP/1.1";
  addHeader(notify, "HOST", std::string(kSsdpGroup) + ":" + std::to_string(Gateway::kSsdpPort));
  if (!byebye) {
    addHeader(notify, "CACHE-CONTROL", "max-age=" + std::to_string(kMaxAge));
    addHeader(notify, "LOCATION", "http://" + state.address.toString() + ":" +
                                      std::to_string(Gateway::kHttpPort) + "/gateway.xml");
  }
  sockaddr_in group{};
  group.sin_family = AF_INET;
  group.sin_addr.s_addr = IPAddr::parse(kSsdpGroup)->raw();
  group.sin_port = htons(Gateway::kSsdpPort);
  for (const auto& [type, usn] : targets) {
    HttpMessage datagram = notify;
    addHeader(datagram, "NT", type);
    addHeader(datagram, "NTS", byebye ? "ssdp:byebye" : "ssdp:alive");
    if (!byebye) addHeader(datagram, "SERVER", serverString());
    addHeader(datagram, "USN", usn);
    const std::string text = toText(datagram);
    const ssize_t sent = sendto(state.ssdpSocket, text.data(), text.size(), 0,
                                reinterpret_cast<const sockaddr*>(&group), sizeof(group));
    if (sent < static_cast<ssize_t>(text.size()))
      std::cout << "advert sendto failed: " << strerror(errno) << std::endl;
  }
}

void advertiseAll(Gateway& gateway, const SsdpTargets& targets, bool byebye) {
  for (const auto& [id, state] : gateway.interfaces)
    if (state->isInternal() && state->started) sendAdverts(*state, targets, byebye);
}

void onAdvertTimer(Gateway& gateway, InterfaceState& state) {
  sendAdverts(state, gateway.ssdpTargets, false);
  state.advertTimer.start(kAdvertTicks);
}

}  // namespace upnp
