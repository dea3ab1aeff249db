#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace upnp {

// One icon of a device as its description lists it.
struct Icon {
  std::string mimetype;
  uint32_t width = 0;
  uint32_t height = 0;
  uint32_t depth = 0;
  std::string url;  // path on the HTTP server
};

// A device's record of one of its services: what the description lists. The
// behaviour lives in the separate Service object. Built by makeServiceEntry.
struct ServiceEntry {
  std::string serviceType;  // complete URN, published unchanged
  std::string serviceId;
  std::string SCPDURL;
  std::string controlURL;
  std::string eventSubURL;
};

// The descriptive fields of one device, in the order of the description's
// elements. Empty optional texts are left out of the description.
struct DeviceInfo {
  std::string deviceType;  // without the leading "urn:"
  std::string friendlyName;
  std::string manufacturer = "Quenlark";
  std::string manufacturerURL = "http://www.quenlark.com/";
  std::string modelDescription;
  std::string modelName = "Corvanet";
  std::string modelNumber;
  std::string modelURL;
  std::string serialNumber;
  std::string UDN;  // without the leading "uuid:"
  std::string UPC;
  std::vector<Icon> icons;      // in insertion order
  std::string presentationURL;  // the root's is set before each description is served
};

}  // namespace upnp
