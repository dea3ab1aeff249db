#include "daemon/upnp_daemon.h"

#include <sys/time.h>

#include <cstdlib>

#include "http/gena/gena.h"
#include "platform/debug_log.h"

namespace upnp {

namespace {
UpnpDaemon* gInstance = nullptr;
// Constructed before main, so the log exists before the first line is written.
bus::lstream gRouterLog(67, 0);
}  // namespace

UpnpDaemon& theDaemon() { return *gInstance; }
bus::lstream& routerLog() { return gRouterLog; }

AddressMirror::~AddressMirror() = default;

std::unique_ptr<bus::AObject> AddressMirror::makeObject() const {
  return std::make_unique<AddressEntry>();
}

void AddressEntry::save(bus::message& out) const {
  out.setBe32(1, address);
  out.setU32(2, prefix);
  out.setU32(5, interface);
  out.setBool(bus::kFieldDisabled, disabled);
}

void AddressEntry::load(const bus::message& in) {
  address = in.getBe32(1, address);
  prefix = in.getU32(2, prefix);
  interface = in.has(5) ? in.getU32(5, interface) : in.getU32(10, interface);
  disabled = in.getBool(bus::kFieldDisabled, disabled);
}

UpnpDaemon::UpnpDaemon() : Looper(bus::kAddrUpnp), gateway(gRouterLog) { gInstance = this; }

// The daemon lives for the whole process; the destructor only exists because
// Looper is polymorphic.
UpnpDaemon::~UpnpDaemon() {
  if (gInstance == this) gInstance = nullptr;
}

void UpnpDaemon::start() {
  timeval now{};
  gettimeofday(&now, nullptr);
  srand(static_cast<unsigned>(now.tv_sec + now.tv_usec));
  addHandler(0, &config);
  addHandler(100, &deviceMirror);
  addHandler(101, &addressMirror);
  config.init();

  bus::message request;
  request.setU32Array(bus::kFieldDestination, {bus::kAddrIdentity});
  // An error reply has no field 1: the identity stays empty.
  const bus::message reply = exchangeCmd(request, bus::kCmdGet, bus::kReplyTimeoutMs);
  gateway.setUp(reply.getString(1));

  deviceMirror.setCallbacks(
      [this](bus::DeviceEntry& entry) { gateway.deviceFilter(entry); },
      [this](uint32_t id, const bus::message& record) { gateway.deviceChanged(id, record); });
  deviceMirror.setReconnected([this] { gateway.routerRestarted(); });
  addressMirror.setCallbacks(
      [this](bus::AMapMirror::Entry& entry) { gateway.addressFilter(entry); },
      [this]() { gateway.addressesChanged(); });
}

void UpnpDaemon::enable() {
  bus::debugLog() << "enable";
  running = true;
  setupLeave(0);
  deviceMirror.subscribe();
  addressMirror.subscribe();
  addressMirror.refreshAsync();
  for (auto& [id, state] : gateway.interfaces) {
    state->deviceToken = 0;
    state->ifindex = 0;
    state->address = state->config.forcedIpEnabled ? state->config.forcedIp : IPAddr();
    if (state->isExternal()) deviceMirror.updateAsync(id);
  }
  for (auto& [id, state] : gateway.interfaces)
    if (state->isInternal()) deviceMirror.updateAsync(id);
}

void UpnpDaemon::disable() {
  bus::debugLog() << "disable";
  running = false;
  for (auto& [id, state] : gateway.interfaces) gateway.stopInterface(*state);
  dropSubscriptions(gateway.osInfo);
  deviceMirror.cleanup();
  addressMirror.cleanup();
  setupLeave(kLeaveDelay);
}

}  // namespace upnp
