#pragma once

#include <map>
#include <string>
#include <vector>

#include "model/device_info.h"
#include "model/xml/xml_element.h"

namespace upnp {

// Notification type (NT/ST) -> USN, for SSDP. Equal keys keep insertion order.
using SsdpTargets = std::multimap<std::string, std::string>;

// A device of the published tree. Owns its embedded devices and service
// entries. Copying copies the whole subtree; a copy is always a plain Device.
class Device {
 public:
  Device() = default;
  virtual ~Device();
  Device(const Device&) = default;
  Device& operator=(const Device&) = default;
  Device(Device&&) = default;
  Device& operator=(Device&&) = default;

  // The "device" element of this device, with its embedded devices inside.
  virtual xml::XmlElement describe() const;
  // Adds the targets of this device and of all embedded devices, depth first,
  // to `targets` without clearing it.
  virtual void collectTargets(SsdpTargets& targets) const;

  DeviceInfo info;
  std::vector<Device> embeddedDevices;  // plain Devices, in insertion order
  std::vector<ServiceEntry> services;   // in insertion order
};

// The root of the tree: describes the whole document and adds the root target.
class RootDevice : public Device {
 public:
  // The "root" element (namespace, specVersion, device), without URLBase.
  xml::XmlElement describe() const override;
  // "upnp:rootdevice" first, then the targets of Device::collectTargets.
  void collectTargets(SsdpTargets& targets) const override;
};

// Appends a deep copy of `device` (as a plain Device) to `list`. `device` may
// be an element of `list`.
void addDeviceCopy(std::vector<Device>& list, const Device& device);

// The entry of a service named `name` (the file and URL name) of `type` in
// the vendor `domain`, with fresh random control and event URLs.
ServiceEntry makeServiceEntry(const std::string& domain, const std::string& type, const std::string& id,
                              const std::string& name);

// Ten lower-case letters drawn from rand() (seeded once at start-up).
std::string randomToken();

}  // namespace upnp
