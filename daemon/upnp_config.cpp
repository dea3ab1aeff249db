#include "daemon/upnp_config.h"

#include "daemon/upnp_daemon.h"

namespace upnp {

UpnpConfig::UpnpConfig()
    : TypedAMap("/zelo/store/upnp", 1, 0xfffffffe), mStore("/zelo/store/upnpm") {}

UpnpConfig::~UpnpConfig() = default;

void UpnpConfig::readSettings(const bus::message& from) {
  enabled = from.getBool(kFieldEnabled, enabled);
  allowDisableExternal = from.getBool(kFieldAllowDisableExternal, allowDisableExternal);
  showDummyRule = from.getBool(kFieldShowDummyRule, showDummyRule);
}

void UpnpConfig::init() {
  AMap::init();
  if (mStore.isAllocated(0)) {
    readSettings(mStore.get(0));
    if (enabled) theDaemon().enable();
  }
  if (!enabled) theDaemon().setupLeave(kLeaveDelay);
}

bus::message UpnpConfig::cmdGet(const bus::message& request) {
  return getObject(kSettingsId, request.getU32(bus::kFieldGetFlags, kDefaultGetFlags));
}

bus::message UpnpConfig::getObject(uint32_t id, uint32_t flags) {
  if (id != kSettingsId) return AMap::getObject(id, flags);
  bus::message settings;
  settings.setBool(kFieldEnabled, enabled);
  settings.setBool(kFieldAllowDisableExternal, allowDisableExternal);
  settings.setBool(kFieldShowDummyRule, showDummyRule);
  if (flags & kGetDefaults) {
    bus::message defaults;
    defaults.setBool(kFieldEnabled, false);
    defaults.setBool(kFieldAllowDisableExternal, false);
    defaults.setBool(kFieldShowDummyRule, true);
    settings.setMessage(bus::kFieldDefaults, defaults);
  }
  return settings;
}

bus::message UpnpConfig::cmdSet(const bus::message& request) {
  bus::message undo;
  undo.setU32(bus::kFieldCommand, bus::kCmdSet);
  undo.setBool(kFieldEnabled, enabled);
  undo.setBool(kFieldAllowDisableExternal, allowDisableExternal);
  undo.setBool(kFieldShowDummyRule, showDummyRule);

  const bool newEnabled = request.getBool(kFieldEnabled, enabled);
  const bool newAllow = request.getBool(kFieldAllowDisableExternal, allowDisableExternal);
  const bool newDummy = request.getBool(kFieldShowDummyRule, showDummyRule);
  const bool changed = newEnabled != enabled || newAllow != allowDisableExternal || newDummy != showDummyRule;
  if (changed) {
    // Saved first: a change that would be lost at the next start is refused.
    bus::message settings;
    settings.setBool(kFieldEnabled, newEnabled);
    settings.setBool(kFieldAllowDisableExternal, newAllow);
    settings.setBool(kFieldShowDummyRule, newDummy);
    const bus::Status saved = mStore.set(0, settings);
    if (!saved.isOk()) return bus::failedMsg("cannot save: " + saved.text());
  }
  sendUndo(request, undo, "upnp config changed");
  if (!changed) return bus::message();

  // Any change takes the running service down in full and brings it up again,
  // so every interface and WAN service picks up the new values.
  if (enabled) theDaemon().disable();
  enabled = newEnabled;
  allowDisableExternal = newAllow;
  showDummyRule = newDummy;
  if (enabled) theDaemon().enable();
  notifyChange(kSettingsId, false, nullptr);
  return bus::message();
}

bus::message UpnpConfig::duplicateTest(const UpnpInterfaceCfg& obj) const {
  for (const auto& [id, other] : objects()) {
    if (id == obj.id()) continue;
    if (static_cast<const UpnpInterfaceCfg&>(*other).interface == obj.interface)
      return bus::errorMsg(bus::kErrExists, "already have this interface");
  }
  return bus::message();
}

bus::message UpnpConfig::onAddObj(UpnpInterfaceCfg& obj) {
  bus::message refusal = duplicateTest(obj);
  if (bus::isError(refusal)) return refusal;
  if (!obj.disabled) theDaemon().gateway.addInterface(obj, theDaemon().running);
  return bus::message();
}

bus::message UpnpConfig::onSetObj(const UpnpInterfaceCfg& old, UpnpInterfaceCfg& neu) {
  bus::message refusal = duplicateTest(neu);
  if (bus::isError(refusal)) return refusal;
  if (neu.dynamic) return bus::failedMsg("cannot change dynamic");
  Gateway& gateway = theDaemon().gateway;
  if (!old.disabled) gateway.removeInterface(old);
  if (!neu.disabled) gateway.addInterface(neu, theDaemon().running);
  return bus::message();
}

bus::message UpnpConfig::onRemoveObj(const UpnpInterfaceCfg& obj) {
  if (!obj.disabled) theDaemon().gateway.removeInterface(obj);
  return bus::message();
}

}  // namespace upnp
