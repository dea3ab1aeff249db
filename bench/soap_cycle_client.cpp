// The client of bench/port_mapping_cycle.sh: AddPortMapping + DeletePortMapping
// cycles through the whole stack (HTTP, daemon, bus, routerd and its backend).
//
//   soap_cycle_client HOST CONTROL-PATH CLIENT-IP fill FIRST-PORT COUNT
//       adds COUNT mappings (ports FIRST-PORT...), to build a large table
//   soap_cycle_client HOST CONTROL-PATH CLIENT-IP cycle PORT COUNT
//       COUNT add+delete cycles of one mapping; prints cycles per second
//
// One TCP connection per request (port 2828), as control points do; every
// answer must be a success, else it stops with status 1.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

const char* gHost;
const char* gPath;
const char* gClient;

bool post(const std::string& action, const std::string& args) {
  const std::string body =
      "<?xml version=\"1.0\"?><s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\" "
      "s:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\"><s:Body><u:" + action +
      " xmlns:u=\"urn:schemas-upnp-org:service:WANIPConnection:1\">" + args + "</u:" + action +
      "></s:Body></s:Envelope>";
  const std::string request = "POST " + std::string(gPath) + " HTTP/1.1\r\nHost: " + gHost +
                              ":2828\r\nContent-Type: text/xml; charset=\"utf-8\"\r\n"
                              "SOAPAction: \"urn:schemas-upnp-org:service:WANIPConnection:1#" + action +
                              "\"\r\nConnection: close\r\nContent-Length: " + std::to_string(body.size()) +
                              "\r\n\r\n" + body;
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(2828);
  if (fd < 0 || inet_pton(AF_INET, gHost, &sa.sin_addr) != 1 ||
      connect(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof(sa)) != 0 ||
      send(fd, request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size())) {
    if (fd >= 0) close(fd);
    return false;
  }
  std::string answer;
  char buffer[4096];
  ssize_t n;
  while ((n = recv(fd, buffer, sizeof(buffer), 0)) > 0) answer.append(buffer, static_cast<size_t>(n));
  close(fd);
  const bool ok = answer.rfind("HTTP/1.1 200", 0) == 0 || answer.rfind("HTTP/1.0 200", 0) == 0;
  if (!ok) std::fprintf(stderr, "%s failed: %.200s\n", action.c_str(), answer.c_str());
  return ok;
}

bool add(unsigned port) {
  return post("AddPortMapping", "<NewRemoteHost></NewRemoteHost><NewExternalPort>" + std::to_string(port) +
                                    "</NewExternalPort><NewProtocol>TCP</NewProtocol><NewInternalPort>" +
                                    std::to_string(port) + "</NewInternalPort><NewInternalClient>" + gClient +
                                    "</NewInternalClient><NewEnabled>1</NewEnabled><NewPortMappingDescription>"
                                    "bench</NewPortMappingDescription><NewLeaseDuration>0</NewLeaseDuration>");
}

bool remove(unsigned port) {
  return post("DeletePortMapping", "<NewRemoteHost></NewRemoteHost><NewExternalPort>" + std::to_string(port) +
                                       "</NewExternalPort><NewProtocol>TCP</NewProtocol>");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 7) {
    std::fprintf(stderr, "usage: soap_cycle_client HOST CONTROL-PATH CLIENT-IP fill|cycle PORT COUNT\n");
    return 2;
  }
  gHost = argv[1];
  gPath = argv[2];
  gClient = argv[3];
  const std::string mode = argv[4];
  const unsigned port = static_cast<unsigned>(std::strtoul(argv[5], nullptr, 10));
  const unsigned count = static_cast<unsigned>(std::strtoul(argv[6], nullptr, 10));
  const auto start = std::chrono::steady_clock::now();
  for (unsigned i = 0; i < count; ++i) {
    if (mode == "fill" ? !add(port + i) : !(add(port) && remove(port))) return 1;
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (mode == "cycle") std::printf("%.0f\n", count / seconds);
  return 0;
}
