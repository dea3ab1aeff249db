#include "model/device.h"

#include <cstdlib>
#include <utility>

namespace upnp {

namespace {

void addIfNotEmpty(xml::XmlElement& parent, const char* name, const std::string& text) {
  if (!text.empty()) parent.addChild(name, text);
}

xml::XmlElement describeIcon(const Icon& icon) {
  xml::XmlElement element("icon", "");
  element.addChild("mimetype", icon.mimetype);
  element.addChild("width", std::to_string(icon.width));
  element.addChild("height", std::to_string(icon.height));
  element.addChild("depth", std::to_string(icon.depth));
  element.addChild("url", icon.url);
  return element;
}

xml::XmlElement describeService(const ServiceEntry& entry) {
  xml::XmlElement element("service", "");
  element.addChild("serviceType", entry.serviceType);
  element.addChild("serviceId", entry.serviceId);
  element.addChild("SCPDURL", entry.SCPDURL);
  element.addChild("controlURL", entry.controlURL);
  element.addChild("eventSubURL", entry.eventSubURL);
  return element;
}

}  // namespace

Device::~Device() = default;

xml::XmlElement Device::describe() const {
  xml::XmlElement device("device", "");
  device.addChild("deviceType", "urn:" + info.deviceType);
  device.addChild("friendlyName", info.friendlyName);
  device.addChild("manufacturer", info.manufacturer);
  addIfNotEmpty(device, "manufacturerURL", info.manufacturerURL);
  addIfNotEmpty(device, "modelDescription", info.modelDescription);
  device.addChild("modelName", info.modelName);
  addIfNotEmpty(device, "modelNumber", info.modelNumber);
  addIfNotEmpty(device, "modelURL", info.modelURL);
  addIfNotEmpty(device, "serialNumber", info.serialNumber);
  device.addChild("UDN", "uuid:" + info.UDN);
  addIfNotEmpty(device, "UPC", info.UPC);
  if (!info.icons.empty()) {
    xml::XmlElement iconList("iconList", "");
    for (const Icon& icon : info.icons) iconList.appendChild(describeIcon(icon));
    device.appendChild(iconList);
  }
  // Always present, also when empty: control points expect the list.
  xml::XmlElement serviceList("serviceList", "");
  for (const ServiceEntry& entry : services) serviceList.appendChild(describeService(entry));
  device.appendChild(serviceList);
  if (!embeddedDevices.empty()) {
    xml::XmlElement deviceList("deviceList", "");
    for (const Device& embedded : embeddedDevices) deviceList.appendChild(embedded.describe());
    device.appendChild(deviceList);
  }
  addIfNotEmpty(device, "presentationURL", info.presentationURL);
  return device;
}

void Device::collectTargets(SsdpTargets& targets) const {
  const std::string usn = "uuid:" + info.UDN;
  const std::string deviceType = "urn:" + info.deviceType;
  targets.emplace(usn, usn);
  targets.emplace(deviceType, usn + "::" + deviceType);
  for (const ServiceEntry& entry : services) targets.emplace(entry.serviceType, usn + "::" + entry.serviceType);
  for (const Device& embedded : embeddedDevices) embedded.collectTargets(targets);
}

xml::XmlElement RootDevice::describe() const {
  xml::XmlElement root("root", "");
  root.addAttribute("xmlns", "urn:schemas-upnp-org:device-1-0");
  xml::XmlElement specVersion("specVersion", "");
  specVersion.addChild("major", "1");
  specVersion.addChild("minor", "0");
  root.appendChild(specVersion);
  root.appendChild(Device::describe());
  return root;
}

void RootDevice::collectTargets(SsdpTargets& targets) const {
  targets.emplace("upnp:rootdevice", "uuid:" + info.UDN + "::upnp:rootdevice");
  Device::collectTargets(targets);
}

void addDeviceCopy(std::vector<Device>& list, const Device& device) {
  // Copy before appending: `device` may live in `list` or contain it.
  Device copy(device);
  list.push_back(std::move(copy));
}

ServiceEntry makeServiceEntry(const std::string& domain, const std::string& type, const std::string& id,
                              const std::string& name) {
  ServiceEntry entry;
  entry.serviceType = "urn:schemas-" + domain + ":service:" + type;
  entry.serviceId = "urn:" + domain + ":serviceId:" + id;
  entry.SCPDURL = "/" + name + ".xml";
  entry.controlURL = "/upnp/control/" + randomToken() + "/" + name;
  entry.eventSubURL = "/upnp/event/" + randomToken() + "/" + name;
  return entry;
}

std::string randomToken() {
  std::string token;
  for (int i = 0; i < 10; ++i) token += static_cast<char>('a' + std::rand() % 26);
  return token;
}

}  // namespace upnp
