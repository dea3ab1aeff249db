#include "daemon/gateway.h"

#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iostream>
#include <vector>

#include "daemon/upnp_daemon.h"
#include "http/http_server.h"
#include "igd/wan_common_interface_config_service.h"
#include "igd/wan_device.h"
#include "igd/wan_ip_connection_service.h"
#include "platform/system.h"
#include "ssdp/ssdp.h"

namespace upnp {

namespace {

constexpr uint32_t kFieldName = 0x10006;
constexpr uint32_t kFieldToken = 0x10001;
constexpr uint32_t kFieldStatus = 0x10003;
constexpr uint32_t kFieldIfindex = 0x10004;
constexpr uint32_t kStatusRunning = 0x100 | 0x400;

void logSysError(const char* what) { std::cout << what << strerror(errno) << std::endl; }

// Ties `fd` to the kernel device of `ifindex`, so the socket sees and sends
// traffic of that interface only, whatever its address.
bool bindToDevice(int fd, uint32_t ifindex) {
  char name[IFNAMSIZ] = {};
  const std::string kernelName = bus::kernelGetIfname(ifindex);
  strncpy(name, kernelName.c_str(), sizeof(name) - 1);
  return setsockopt(fd, SOL_SOCKET, SO_BINDTODEVICE, name, sizeof(name)) == 0;
}

bool reuseAddress(int fd) {
  const int one = 1;
  return setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one)) == 0;
}

sockaddr_in socketAddress(IPAddr address, uint16_t port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = address.raw();
  sa.sin_port = htons(port);
  return sa;
}

// The HTTP listening socket of an internal interface, or -1 after logging.
int openHttpSocket(uint32_t ifindex) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) {
    logSysError("tcp socket: ");
    return -1;
  }
  const char* failure = nullptr;
  const sockaddr_in sa = socketAddress(IPAddr(), Gateway::kHttpPort);
  if (!bindToDevice(fd, ifindex))
    failure = "setsockopt SO_BINDTODEVICE: ";
  else if (!reuseAddress(fd))
    failure = "setsockopt SO_REUSEADDR: ";
  else if (bind(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof(sa)) != 0)
    failure = "tcp bind: ";
  else if (listen(fd, 1) != 0)
    failure = "tcp listen: ";
  if (failure == nullptr) return fd;
  logSysError(failure);
  close(fd);
  return -1;
}

void closeSocket(int& fd) {
  if (fd < 0) return;
  if (bus::ThinRunner* runner = bus::ThinRunner::current()) runner->removeSocket(fd);
  close(fd);
  fd = -1;
}

}  // namespace

Gateway::Gateway() : osInfo("urn:schemas-microsoft-com:service:OSInfo:1") {
  char host[65] = {};
  if (gethostname(host, sizeof(host) - 1) != 0) host[0] = '\0';
  const std::pair<const char*, std::string> values[] = {
      {"OSMajorVersion", "2"}, {"OSMinorVersion", "9"}, {"OSBuildNumber", "1234"}};
  for (const auto& [name, value] : values) {
    auto variable = std::make_unique<StateVariable>(true, VariableKind::UI4);
    variable->setValue(value);
    osInfo.addVariable(name, std::move(variable));
  }
  auto machineName = std::make_unique<StateVariable>(true, VariableKind::STRING);
  machineName->setValue(host);
  osInfo.addVariable("OSMachineName", std::move(machineName));
}

Gateway::~Gateway() = default;

void Gateway::setUp(const std::string& routerIdentity) {
  identity = routerIdentity;
  info.deviceType = "schemas-upnp-org:device:InternetGatewayDevice:1";
  info.friendlyName = "Quenlark Router";
  info.UDN = "UUID-QUENLARK-INTERNET-GATEWAY-DEVICE-" + identity;
  for (uint32_t size : {16u, 32u, 48u}) {
    const std::string file = "logo" + std::to_string(size) + ".gif";
    info.icons.push_back(Icon{"image/gif", size, size, 8, "/" + file});
  }
  for (uint32_t size : {16u, 32u, 48u}) {
    const std::string file = "logo" + std::to_string(size) + ".gif";
    registerDocument("/" + file, file);
  }
  const ServiceEntry entry = makeServiceEntry("microsoft-com", "OSInfo:1", "OSInfo1", "osinfo");
  services.push_back(entry);
  registerDocument(entry.SCPDURL, "osinfo.xml");
  registerService(entry, osInfo);
}

void Gateway::registerDocument(const std::string& urlPath, const std::string& file) {
  files[urlPath] = file;
}

void Gateway::registerService(const ServiceEntry& entry, Service& service) {
  eventUrlTable[entry.eventSubURL] = &service;
  controlUrlTable[entry.controlURL] = &service;
}

void Gateway::unregisterService(const Service& service) {
  for (auto* table : {&eventUrlTable, &controlUrlTable}) {
    for (auto it = table->begin(); it != table->end(); ++it) {
      if (it->second == &service) {
        table->erase(it);
        break;
      }
    }
  }
}

void Gateway::refreshTargets() {
  ssdpTargets.clear();
  collectTargets(ssdpTargets);
}

InterfaceState* Gateway::findBySsdpSocket(int socket) {
  for (auto& [id, state] : interfaces)
    if (state->ssdpSocket == socket) return state.get();
  return nullptr;
}

InterfaceState* Gateway::findByHttpSocket(int socket) {
  for (auto& [id, state] : interfaces)
    if (state->httpSocket == socket) return state.get();
  return nullptr;
}

void Gateway::addInterface(const UpnpInterfaceCfg& cfg, bool serviceRunning) {
  std::cout << "add interface config devid:" << cfg.interface << " type:" << cfg.type
            << " forcedIP:" << cfg.forcedIpEnabled << " " << cfg.forcedIp.toString() << std::endl;
  interfaces[cfg.interface] = std::make_unique<InterfaceState>(cfg);
  if (serviceRunning) {
    theDaemon().deviceMirror.updateAsync(cfg.interface);
    theDaemon().addressMirror.refreshAsync();
  }
}

void Gateway::removeInterface(const UpnpInterfaceCfg& cfg) {
  std::cout << "remove interface config devid:" << cfg.interface << std::endl;
  auto it = interfaces.find(cfg.interface);
  if (it == interfaces.end()) return;
  stopInterface(*it->second);
  // Open connections refer to the record: end them before it goes.
  closeConnectionsOf(*it->second);
  interfaces.erase(it);
}

void Gateway::closeConnectionsOf(const InterfaceState& state) {
  std::vector<int> doomed;
  for (const auto& [fd, connection] : connections)
    if (connection->interface == &state) doomed.push_back(fd);
  for (int fd : doomed) closeConnection(*this, fd);
}

void Gateway::deviceFilter(bus::DeviceEntry& entry) {
  if (interfaces.count(entry.id) == 0) entry.skip = true;
}

void Gateway::deviceChanged(uint32_t deviceId, const bus::message& record) {
  auto it = interfaces.find(deviceId);
  if (it == interfaces.end()) return;
  InterfaceState& state = *it->second;
  state.name = record.getString(kFieldName, state.name);
  state.deviceToken = record.getU32(kFieldToken, state.deviceToken);
  const uint32_t ifindex = record.getU32(kFieldIfindex, 0);
  const bool disabled = record.getBool(bus::kFieldDisabled, state.disabled);
  const bool running = (record.getU32(kFieldStatus, 0) & kStatusRunning) == kStatusRunning;
  if (ifindex == state.ifindex && disabled == state.disabled && running == state.running) return;
  state.ifindex = ifindex;
  state.disabled = disabled;
  state.running = running;
  updateDevice(state);
}

void Gateway::addressFilter(bus::AMapMirror::Entry& entry) {
  const auto& address = static_cast<const AddressEntry&>(entry.object);
  if (address.disabled || interfaces.count(address.interface) == 0) entry.skip = true;
}

void Gateway::addressesChanged() {
  const auto& mirrored = theDaemon().addressMirror.objects();
  for (auto& [id, state] : interfaces) {
    std::vector<IPAddr> addresses;
    for (const auto& [entryId, object] : mirrored) {
      const auto& entry = static_cast<const AddressEntry&>(*object);
      if (entry.interface == state->config.interface) addresses.push_back(entry.address);
    }
    bool present = false;
    for (IPAddr address : addresses) present = present || address == state->address;
    if (present) {
      if (!state->started) updateDevice(*state);
      continue;
    }
    updateDevice(*state);
    if (!state->config.forcedIpEnabled) state->address = addresses.empty() ? IPAddr() : addresses[0];
    updateDevice(*state);
  }
}

void Gateway::updateDevice(InterfaceState& state) {
  if (!theDaemon().running || state.deviceToken == 0) return;
  std::cout << "Gateway: update dev: " << state.config.interface << " " << state.name
            << " disabled: " << state.disabled << " running: " << state.running
            << " ip: " << state.address.toString() << std::endl;
  if (state.isExternal()) {
    if (state.connectionService) {
      state.connectionService->setConnectionStatus(state.disabled ? 3 : state.running ? 2 : 1);
      state.connectionService->setExternalIp(state.address);
    }
    startExternal(*this, state);
    return;
  }
  if (!state.isInternal()) return;
  stopInternal(state);
  if (!state.started && state.deviceToken != 0 && !state.address.isZero()) startInternal(state);
}

int Gateway::openSsdpSocket(uint32_t ifindex, IPAddr bindAddress) {
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0) {
    logSysError("udp socket: ");
    return -1;
  }
  const char* failure = nullptr;
  const sockaddr_in sa = socketAddress(bindAddress, kSsdpPort);
  if (!bindToDevice(fd, ifindex))
    failure = "udp setsockopt SO_BINDTODEVICE: ";
  else if (!reuseAddress(fd))
    failure = "setsockopt SO_REUSEADDR: ";
  else if (bind(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof(sa)) != 0)
    failure = "udp bind: ";
  if (failure == nullptr) return fd;
  logSysError(failure);
  close(fd);
  return -1;
}

void Gateway::startInternal(InterfaceState& state) {
  std::cout << "start int: " << state.name << " " << state.address.toString() << std::endl;
  int fd = openSsdpSocket(state.ifindex, IPAddr());
  if (fd < 0) return;

  ip_mreqn membership{};
  membership.imr_multiaddr.s_addr = IPAddr::parse(kSsdpGroup)->raw();
  membership.imr_address.s_addr = state.address.raw();
  membership.imr_ifindex = static_cast<int>(state.ifindex);
  const unsigned char ttl = 4;
  const char* failure = nullptr;
  if (setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof(membership)) != 0)
    failure = "setsockopt IP_ADD_MEMBERSHIP: ";
  else if (setsockopt(fd, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof(ttl)) != 0)
    failure = "setsockopt IP_MULTICAST_TTL: ";
  if (failure != nullptr) {
    logSysError(failure);
    close(fd);
    return;
  }
  bus::ThinRunner& runner = theDaemon().runner();
  state.ssdpSocket = fd;
  runner.addSocket(fd, bus::ThinRunner::kReadable, [this](int s) { onSearch(*this, s); });

  state.httpSocket = openHttpSocket(state.ifindex);
  if (state.httpSocket >= 0)
    runner.addSocket(state.httpSocket, bus::ThinRunner::kReadable,
                     [this](int s) { onHttpAccept(*this, s); });

  state.advertTimer.start(kAdvertTicks, [this, &state] { onAdvertTimer(*this, state); });
  refreshTargets();
  sendAdverts(state, ssdpTargets, false);
  state.started = true;
}

void Gateway::stopInternal(InterfaceState& state) {
  if (!state.started) return;
  std::cout << "stop int: " << state.name << std::endl;
  sendAdverts(state, ssdpTargets, true);
  state.advertTimer.cancel();
  closeSocket(state.ssdpSocket);
  closeSocket(state.httpSocket);
  state.started = false;
}

void Gateway::stopInterface(InterfaceState& state) {
  if (state.isInternal()) {
    stopInternal(state);
    return;
  }
  if (!state.started) return;
  std::cout << "stop ext: " << state.name << std::endl;
  const std::string udn =
      "UUID-QUENLARK-WAN-DEVICE-" + identity + "-" + std::to_string(state.config.interface);
  for (auto it = embeddedDevices.begin(); it != embeddedDevices.end(); ++it) {
    if (it->info.UDN != udn) continue;
    SsdpTargets leaving;
    it->collectTargets(leaving);
    advertiseAll(*this, leaving, true);
    embeddedDevices.erase(it);
    break;
  }
  if (state.commonService) unregisterService(*state.commonService);
  if (state.connectionService) unregisterService(*state.connectionService);
  state.commonService.reset();
  if (state.connectionService) state.connectionService->cleanupMappings();
  state.connectionService.reset();
  refreshTargets();
  state.started = false;
}

}  // namespace upnp
