#include "daemon/gateway.h"

#include <unistd.h>

#include <vector>

#include "daemon/upnp_daemon.h"
#include "http/get_handler.h"
#include "igd/wan_common_interface_config_service.h"
#include "igd/wan_device.h"
#include "igd/wan_ip_connection_service.h"
#include "platform/debug_log.h"
#include "platform/system.h"
#include "ssdp/ssdp.h"

namespace upnp {

namespace {

constexpr uint32_t kFieldName = 0x10006;
constexpr uint32_t kFieldToken = 0x10001;
constexpr uint32_t kFieldStatus = 0x10003;
constexpr uint32_t kFieldIfindex = 0x10004;
constexpr uint32_t kStatusRunning = 0x100 | 0x400;
// Enough for the burst of a LAN that boots: every device connects at once.
constexpr int kListenBacklog = 64;

template <class Map>
auto* lookup(Map& map, const std::string& key) {
  auto it = map.find(key);
  return it == map.end() ? nullptr : it->second;
}

}  // namespace

Gateway::Gateway(bus::lstream& routerLog)
    : osInfo("urn:schemas-microsoft-com:service:OSInfo:1"), http(*this), mRouterLog(routerLog) {
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
  mDescriptions.clear();
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
  service.eventSink = &events;
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

Service* Gateway::controlService(const std::string& path) { return lookup(controlUrlTable, path); }

Service* Gateway::eventService(const std::string& path) { return lookup(eventUrlTable, path); }

const std::string* Gateway::servedFile(const std::string& path) const {
  auto it = files.find(path);
  return it == files.end() ? nullptr : &it->second;
}

const ServedInterface* Gateway::interfaceOf(int socket) const {
  for (const auto& [id, state] : interfaces)
    if (state->httpSocket.fd() == socket) return state.get();
  return nullptr;
}

const std::string& Gateway::description(const std::string& localAddress) {
  auto [it, added] = mDescriptions.try_emplace(localAddress);
  if (added) it->second = describeRoot(*this, localAddress);
  return it->second;
}

void Gateway::refreshTargets() {
  mDescriptions.clear();
  ssdpTargets.clear();
  collectTargets(ssdpTargets);
}

void Gateway::advertiseAll(const SsdpTargets& targets, bool byebye) {
  for (const auto& [id, state] : interfaces)
    if (state->isInternal() && state->started) state->ssdp->sendAdverts(targets, byebye);
}

void Gateway::addInterface(const UpnpInterfaceCfg& cfg, bool serviceRunning) {
  bus::debugLog() << "add interface config devid:" << cfg.interface << " type:" << cfg.type
                  << " forcedIP:" << cfg.forcedIpEnabled << " " << cfg.forcedIp.toString();
  interfaces[cfg.interface] = std::make_unique<InterfaceState>(cfg, ssdpTargets);
  if (serviceRunning) {
    theDaemon().deviceMirror.updateAsync(cfg.interface);
    theDaemon().addressMirror.refreshAsync();
  }
}

void Gateway::removeInterface(const UpnpInterfaceCfg& cfg) {
  bus::debugLog() << "remove interface config devid:" << cfg.interface;
  auto it = interfaces.find(cfg.interface);
  if (it == interfaces.end()) return;
  stopInterface(*it->second);
  // Open connections refer to the record: end them before it goes.
  http.closeConnectionsOf(*it->second);
  interfaces.erase(it);
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
    std::vector<const AddressEntry*> entries;
    for (const auto& [entryId, object] : mirrored) {
      const auto& entry = static_cast<const AddressEntry&>(*object);
      if (entry.interface == state->config.interface) entries.push_back(&entry);
    }
    const AddressEntry* current = nullptr;
    for (const AddressEntry* entry : entries)
      if (current == nullptr && entry->address == state->address) current = entry;
    if (current != nullptr) {
      state->prefixLength = current->prefix;
      if (!state->started) updateDevice(*state);
      continue;
    }
    // Two updates on purpose: the first stops the interface on its old
    // address (byebye from there), the second starts it on the new one.
    updateDevice(*state);
    if (!state->config.forcedIpEnabled) {
      state->address = entries.empty() ? IPAddr() : entries.front()->address;
      if (!entries.empty()) state->prefixLength = entries.front()->prefix;
    }
    updateDevice(*state);
  }
}

void Gateway::routerRestarted() {
  for (auto& [id, state] : interfaces)
    if (state->connectionService) state->connectionService->mappings.restoreRules();
}

void Gateway::updateDevice(InterfaceState& state) {
  if (!theDaemon().running || state.deviceToken == 0) return;
  bus::debugLog() << "Gateway: update dev: " << state.config.interface << " " << state.name
                  << " disabled: " << state.disabled << " running: " << state.running
                  << " ip: " << state.address.toString();
  if (state.isExternal()) {
    if (state.connectionService) {
      state.connectionService->setConnectionStatus(connectionStatus(state.disabled, state.running));
      state.connectionService->setExternalIp(state.address);
    }
    startExternal(state);
    return;
  }
  if (!state.isInternal()) return;
  stopInternal(state);
  if (!state.started && state.deviceToken != 0 && !state.address.isZero()) startInternal(state);
}

void Gateway::startInternal(InterfaceState& state) {
  bus::debugLog() << "start int: " << state.name << " " << state.address.toString();
  if (!state.ssdp->open()) return;
  const bus::Status status = net::openTcpListener(state.ifindex, kHttpPort, kListenBacklog, state.httpSocket);
  if (status.isOk())
    http.listen(state.httpSocket.fd());
  else
    bus::debugLog() << status.text();
  state.ssdp->startAnnouncing();
  refreshTargets();
  state.ssdp->sendAdverts(ssdpTargets, false);
  state.started = true;
}

void Gateway::stopInternal(InterfaceState& state) {
  if (!state.started) return;
  bus::debugLog() << "stop int: " << state.name;
  state.ssdp->sendAdverts(ssdpTargets, true);
  state.ssdp->close();
  http.unlisten(state.httpSocket.fd());
  state.httpSocket.reset();
  state.started = false;
}

void Gateway::startExternal(InterfaceState& state) {
  if (state.started || state.deviceToken == 0) return;
  bus::debugLog() << "start ext: " << state.name;
  const uint32_t interfaceId = state.config.interface;
  const std::string id = std::to_string(interfaceId);

  const ServiceEntry commonEntry =
      makeServiceEntry("upnp-org", "WANCommonInterfaceConfig:1", "WANCommonIFC1", "wancommonifc-" + id);
  const ServiceEntry connectionEntry =
      makeServiceEntry("upnp-org", "WANIPConnection:1", "WANIPConn1", "wanipconn-" + id);
  addDeviceCopy(embeddedDevices, buildWanDevice(identity, id, commonEntry, connectionEntry));
  registerDocument(commonEntry.SCPDURL, "wancommonifcfg.xml");
  registerDocument(connectionEntry.SCPDURL, "wanipconn.xml");

  state.commonService = std::make_unique<WANCommonInterfaceConfigService>(interfaceId, state.deviceToken);
  state.connectionService = std::make_unique<WANIPConnectionService>(interfaceId, state.address, mRouterLog);
  WANIPConnectionService& connection = *state.connectionService;
  connection.showDummyRule = theDaemon().config.showDummyRule;
  connection.allowDisableExternal = theDaemon().config.allowDisableExternal;
  connection.refreshEntryCount();

  registerService(commonEntry, *state.commonService);
  registerService(connectionEntry, connection);
  connection.setConnectionStatus(connectionStatus(state.disabled, state.running));
  connection.setExternalIp(state.address);

  // Control points drop what they knew of the tree and learn the enlarged one.
  advertiseAll(ssdpTargets, true);
  refreshTargets();
  advertiseAll(ssdpTargets, false);
  state.started = true;
}

void Gateway::stopInterface(InterfaceState& state) {
  if (state.isInternal()) {
    stopInternal(state);
    return;
  }
  if (!state.started) return;
  bus::debugLog() << "stop ext: " << state.name;
  const std::string udn = wanDeviceUdn(identity, std::to_string(state.config.interface));
  for (auto it = embeddedDevices.begin(); it != embeddedDevices.end(); ++it) {
    if (it->info.UDN != udn) continue;
    SsdpTargets leaving;
    it->collectTargets(leaving);
    advertiseAll(leaving, true);
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
