#pragma once

#include <cstdint>

#include "daemon/upnp_interface_cfg.h"
#include "platform/amap.h"
#include "platform/store.h"

namespace upnp {

// The daemon's configuration handler (handler 0): the three global settings
// (object 0xffffffff, kCmdGet/kCmdSet) and the map of "upnp interface" entries.
// Accepted changes start and stop the service and the interface records.
class UpnpConfig : public bus::TypedAMap<UpnpInterfaceCfg> {
 public:
  static constexpr uint32_t kSettingsId = 0xffffffff;
  static constexpr uint32_t kFieldEnabled = 1;
  static constexpr uint32_t kFieldAllowDisableExternal = 2;
  static constexpr uint32_t kFieldShowDummyRule = 3;

  UpnpConfig();
  ~UpnpConfig() override;

  bus::message cmdGet(const bus::message& request) override;
  bus::message cmdSet(const bus::message& request) override;
  bus::message getObject(uint32_t id, uint32_t flags) override;
  void init() override;
  bus::message onAddObj(UpnpInterfaceCfg& obj) override;
  bus::message onSetObj(const UpnpInterfaceCfg& old, UpnpInterfaceCfg& neu) override;
  bus::message onRemoveObj(const UpnpInterfaceCfg& obj) override;

  bool enabled = false;
  bool allowDisableExternal = false;
  bool showDummyRule = true;

 private:
  // Refusal when another entry names the same interface; empty when none.
  bus::message duplicateTest(const UpnpInterfaceCfg& obj) const;
  void readSettings(const bus::message& from);

  bus::Store mStore;  // record 0: the three settings
};

}  // namespace upnp
