#include "model/device.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

namespace upnp {
namespace {

using Pairs = std::vector<std::pair<std::string, std::string>>;

Pairs targetsOf(const Device& device) {
  SsdpTargets targets;
  device.collectTargets(targets);
  return Pairs(targets.begin(), targets.end());
}

// The gateway tree with one external interface, number 7, identity "ID".
RootDevice gatewayTree() {
  RootDevice gateway;
  gateway.info.deviceType = "schemas-upnp-org:device:InternetGatewayDevice:1";
  gateway.info.UDN = "UUID-QUENLARK-INTERNET-GATEWAY-DEVICE-ID";
  for (uint32_t size : {16u, 32u, 48u}) {
    gateway.info.icons.push_back({"image/gif", size, size, 8, "/logo" + std::to_string(size) + ".gif"});
  }
  gateway.services.push_back(makeServiceEntry("microsoft-com", "OSInfo:1", "OSInfo1", "osinfo"));
  Device connection;
  connection.info.deviceType = "schemas-upnp-org:device:WANConnectionDevice:1";
  connection.info.friendlyName = "WAN Connection Device";
  connection.info.UDN = "UUID-QUENLARK-WAN-CONNECTION-DEVICE-ID-7";
  connection.services.push_back(makeServiceEntry("upnp-org", "WANIPConnection:1", "WANIPConn1", "wanipconn-7"));
  Device wan;
  wan.info.deviceType = "schemas-upnp-org:device:WANDevice:1";
  wan.info.UDN = "UUID-QUENLARK-WAN-DEVICE-ID-7";
  wan.services.push_back(
      makeServiceEntry("upnp-org", "WANCommonInterfaceConfig:1", "WANCommonIFC1", "wancommonifc-7"));
  addDeviceCopy(wan.embeddedDevices, connection);
  addDeviceCopy(gateway.embeddedDevices, wan);
  return gateway;
}

TEST(DeviceTest, TargetsOfLoneDevices) {
  Device plain;
  plain.info.deviceType = "t:1";
  plain.info.UDN = "u";
  EXPECT_EQ(targetsOf(plain), (Pairs{{"urn:t:1", "uuid:u::urn:t:1"}, {"uuid:u", "uuid:u"}}));
  RootDevice root;
  root.info = plain.info;
  EXPECT_EQ(targetsOf(root), (Pairs{{"upnp:rootdevice", "uuid:u::upnp:rootdevice"},
                                    {"urn:t:1", "uuid:u::urn:t:1"},
                                    {"uuid:u", "uuid:u"}}));
}

TEST(DeviceTest, GatewayTargetsWithWanBranch) {
  const std::string root = "uuid:UUID-QUENLARK-INTERNET-GATEWAY-DEVICE-ID";
  const std::string wan = "uuid:UUID-QUENLARK-WAN-DEVICE-ID-7";
  const std::string conn = "uuid:UUID-QUENLARK-WAN-CONNECTION-DEVICE-ID-7";
  const std::string igd = "urn:schemas-upnp-org:device:InternetGatewayDevice:1";
  const std::string osinfo = "urn:schemas-microsoft-com:service:OSInfo:1";
  const std::string wcd = "urn:schemas-upnp-org:device:WANConnectionDevice:1";
  const std::string wd = "urn:schemas-upnp-org:device:WANDevice:1";
  const std::string wcic = "urn:schemas-upnp-org:service:WANCommonInterfaceConfig:1";
  const std::string wip = "urn:schemas-upnp-org:service:WANIPConnection:1";
  EXPECT_EQ(targetsOf(gatewayTree()),
            (Pairs{{"upnp:rootdevice", root + "::upnp:rootdevice"}, {osinfo, root + "::" + osinfo},
                   {igd, root + "::" + igd}, {wcd, conn + "::" + wcd}, {wd, wan + "::" + wd},
                   {wcic, wan + "::" + wcic}, {wip, conn + "::" + wip}, {root, root}, {conn, conn}, {wan, wan}}));
}

TEST(DeviceTest, EqualKeysKeepTheOrderOfAddition) {
  RootDevice root;
  root.info.deviceType = "r:1";
  root.info.UDN = "root";
  for (const char* udn : {"zz", "aa"}) {
    Device child;
    child.info.deviceType = "same:1";
    child.info.UDN = udn;
    child.services.push_back(ServiceEntry{"urn:svc", "", "", "", ""});
    addDeviceCopy(root.embeddedDevices, child);
  }
  SsdpTargets targets;
  targets.emplace("urn:same:1", "already there");
  root.collectTargets(targets);  // adds without clearing
  auto valuesOf = [&targets](const std::string& key) {
    std::vector<std::string> values;
    for (auto [it, end] = targets.equal_range(key); it != end; ++it) values.push_back(it->second);
    return values;
  };
  EXPECT_EQ(valuesOf("urn:same:1"),
            (std::vector<std::string>{"already there", "uuid:zz::urn:same:1", "uuid:aa::urn:same:1"}));
  EXPECT_EQ(valuesOf("urn:svc"), (std::vector<std::string>{"uuid:zz::urn:svc", "uuid:aa::urn:svc"}));
  EXPECT_EQ(targets.size(), 1u + 3u + 2u * 3u);
}

TEST(DeviceTest, AddDeviceCopyIsDeepAndPlain) {
  RootDevice tree = gatewayTree();
  std::vector<Device> list;
  addDeviceCopy(list, tree);
  tree.embeddedDevices[0].embeddedDevices[0].info.friendlyName = "changed";
  tree.embeddedDevices[0].services.clear();
  tree.info.icons.clear();
  ASSERT_EQ(list.size(), 1u);
  const Device& copy = list[0];
  EXPECT_EQ(copy.info.icons.size(), 3u);
  EXPECT_EQ(copy.embeddedDevices[0].services.size(), 1u);
  EXPECT_EQ(copy.embeddedDevices[0].embeddedDevices[0].info.friendlyName, "WAN Connection Device");
  // The copy of a root device behaves as a plain device.
  EXPECT_EQ(copy.describe().name, "device");
  EXPECT_EQ(targetsOf(copy).size(), 9u);
  // Copying an element of the same list survives the list growing.
  for (int i = 0; i < 4; ++i) addDeviceCopy(list, list[0]);
  EXPECT_EQ(list.size(), 5u);
  EXPECT_EQ(list[4].embeddedDevices[0].info.UDN, "UUID-QUENLARK-WAN-DEVICE-ID-7");
}

TEST(DeviceTest, MakeServiceEntryForms) {
  std::srand(7);
  ServiceEntry entry = makeServiceEntry("microsoft-com", "OSInfo:1", "OSInfo1", "osinfo");
  std::srand(7);
  const std::string first = randomToken();
  const std::string second = randomToken();
  EXPECT_EQ(entry.serviceType, "urn:schemas-microsoft-com:service:OSInfo:1");
  EXPECT_EQ(entry.serviceId, "urn:microsoft-com:serviceId:OSInfo1");
  EXPECT_EQ(entry.SCPDURL, "/osinfo.xml");
  EXPECT_EQ(entry.controlURL, "/upnp/control/" + first + "/osinfo");
  EXPECT_EQ(entry.eventSubURL, "/upnp/event/" + second + "/osinfo");
}

TEST(DeviceTest, RandomTokenIsTenLowerCaseLettersOfTheWholeAlphabet) {
  std::srand(1);
  bool seen[26] = {};
  for (int i = 0; i < 300; ++i) {
    const std::string token = randomToken();
    ASSERT_EQ(token.size(), 10u);
    for (char c : token) {
      ASSERT_TRUE(c >= 'a' && c <= 'z') << token;
      seen[c - 'a'] = true;
    }
  }
  for (int i = 0; i < 26; ++i) EXPECT_TRUE(seen[i]) << char('a' + i);
}

TEST(DeviceTest, DescribeLeavesOutEmptyOptionalFields) {
  Device device;
  device.info.deviceType = "t:1";
  device.info.manufacturerURL = "";
  device.info.UDN = "u";
  EXPECT_EQ(xml::toXml(device.describe()),
            "<device>\r\n"
            "  <deviceType>urn:t:1</deviceType>\r\n"
            "  <friendlyName></friendlyName>\r\n"
            "  <manufacturer>Quenlark</manufacturer>\r\n"
            "  <modelName>Corvanet</modelName>\r\n"
            "  <UDN>uuid:u</UDN>\r\n"
            "  <serviceList></serviceList>\r\n"
            "</device>\r\n");
}

TEST(DeviceTest, DescribeWritesEveryFilledFieldInOrder) {
  Device device;
  device.info = DeviceInfo{"t:1", "F", "M", "MU", "MD", "MN", "NUM", "URL", "SN", "u", "UPC", {}, "P"};
  device.info.modelNumber = " ";  // only blanks is not empty
  device.services.push_back(ServiceEntry{"ST", "SI", "/s.xml", "/c", "/e"});
  Device child;
  child.info.manufacturerURL = "";
  device.embeddedDevices.push_back(child);
  EXPECT_EQ(xml::toXml(device.describe()),
            "<device>\r\n"
            "  <deviceType>urn:t:1</deviceType>\r\n"
            "  <friendlyName>F</friendlyName>\r\n"
            "  <manufacturer>M</manufacturer>\r\n"
            "  <manufacturerURL>MU</manufacturerURL>\r\n"
            "  <modelDescription>MD</modelDescription>\r\n"
            "  <modelName>MN</modelName>\r\n"
            "  <modelNumber> </modelNumber>\r\n"
            "  <modelURL>URL</modelURL>\r\n"
            "  <serialNumber>SN</serialNumber>\r\n"
            "  <UDN>uuid:u</UDN>\r\n"
            "  <UPC>UPC</UPC>\r\n"
            "  <serviceList>\r\n"
            "    <service>\r\n"
            "      <serviceType>ST</serviceType>\r\n"
            "      <serviceId>SI</serviceId>\r\n"
            "      <SCPDURL>/s.xml</SCPDURL>\r\n"
            "      <controlURL>/c</controlURL>\r\n"
            "      <eventSubURL>/e</eventSubURL>\r\n"
            "    </service>\r\n"
            "  </serviceList>\r\n"
            "  <deviceList>\r\n"
            "    <device>\r\n"
            "      <deviceType>urn:</deviceType>\r\n"
            "      <friendlyName></friendlyName>\r\n"
            "      <manufacturer>Quenlark</manufacturer>\r\n"
            "      <modelName>Corvanet</modelName>\r\n"
            "      <UDN>uuid:</UDN>\r\n"
            "      <serviceList></serviceList>\r\n"
            "    </device>\r\n"
            "  </deviceList>\r\n"
            "  <presentationURL>P</presentationURL>\r\n"
            "</device>\r\n");
}

}  // namespace
}  // namespace upnp
