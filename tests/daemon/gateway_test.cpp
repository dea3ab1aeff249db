// The published tree against the documents it serves: a control point reads
// the SCPDs and then calls, queries and subscribes by what they say.

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <set>

#include "http/get_handler.h"
#include "model/xml/xml_element.h"
#include "tests/daemon/daemon_fixture.h"

namespace upnp::test {
namespace {

using Lines = std::set<std::string>;
const std::filesystem::path kEtc = std::filesystem::path(__FILE__).parent_path() / "../../etc";

// The first child named `name`, or an empty element.
const xml::XmlElement& child(const xml::XmlElement& element, const std::string& name) {
  static const xml::XmlElement kNone;
  for (const auto& c : element.children)
    if (c.name == name) return c;
  return kNone;
}

// One line per action ("name in arg/var... out arg/var...") and per variable
// ("name type events allowed...").
Lines signature(const xml::XmlElement& scpd) {
  Lines lines;
  for (const auto& action : child(scpd, "actionList").children) {
    std::string in = " in", out = " out";
    for (const auto& a : child(action, "argumentList").children)
      (child(a, "direction").text == "in" ? in : out) += " " + child(a, "name").text + "/" + child(a, "relatedStateVariable").text;
    lines.insert(child(action, "name").text + in + out);
  }
  for (const auto& variable : child(scpd, "serviceStateTable").children) {
    std::string line = child(variable, "name").text + " " + child(variable, "dataType").text + " " + variable.attributes.at(0).value;
    for (const auto& value : child(variable, "allowedValueList").children) line += " " + value.text;
    lines.insert(line);
  }
  return lines;
}

Lines signature(const Service& service) {
  Lines lines;
  const auto join = [](const std::vector<std::string>& arguments, const std::vector<std::string>& variables) {
    std::string text;
    for (size_t i = 0; i < arguments.size(); ++i) text += " " + arguments[i] + "/" + variables[i];
    return text;
  };
  for (const auto& [name, action] : service.actions) {
    std::vector<std::string> outArguments = action.outArguments;
    for (size_t i = outArguments.size(); i < action.outVariables.size(); ++i) outArguments.push_back("New" + action.outVariables[i]);
    lines.insert(name + " in" + join(action.inArguments, action.inVariables) + " out" + join(outArguments, action.outVariables));
  }
  static const char* const kTypes[] = {"ui4", "ui2", "string", "boolean"};
  for (const auto& [name, variable] : service.stateVariables) {
    std::string line = name + " " + kTypes[static_cast<int>(variable->kind)] + (variable->sendEvents ? " yes" : " no");
    for (const std::string& value : variable->allowedValues) line += " " + value;
    lines.insert(line);
  }
  return lines;
}

TEST_F(DaemonFixture, EveryServiceAnswersAsItsServedDocumentSaysAndEventsItsValues) {
  Gateway& gateway = mDaemon->gateway;
  const std::string alone = gateway.description("10.9.0.1");  // kept until the tree changes
  const uint32_t wan = routerInterface("wan", "w0", 1);
  routerAddress("10.9.9.1", wan);
  ASSERT_FALSE(bus::isError(setSettings(1, 0, 0)));
  ASSERT_FALSE(bus::isError(addEntry(wan, kTypeExternal, false, "198.51.100.7")));
  settle();
  EXPECT_EQ(alone.find(":WANDevice:1<"), std::string::npos);
  EXPECT_NE(gateway.description("10.9.0.1").find(":WANDevice:1<"), std::string::npos);
  std::string events;
  const Device& wanDevice = gateway.embeddedDevices.at(0);
  for (const Device* device : {static_cast<const Device*>(&gateway), &wanDevice, &wanDevice.embeddedDevices.at(0)}) {
    for (const ServiceEntry& entry : device->services) {
      SCOPED_TRACE(entry.SCPDURL);
      Service* service = gateway.eventService(entry.eventSubURL);
      const std::string* file = gateway.servedFile(entry.SCPDURL);
      ASSERT_TRUE(service && file && service == gateway.controlService(entry.controlURL));
      const std::string name = entry.SCPDURL.substr(1, entry.SCPDURL.size() - 5);
      EXPECT_TRUE(std::regex_match(entry.controlURL + entry.eventSubURL,
                                   std::regex("/upnp/control/[a-z]{10}/" + name + "/upnp/event/[a-z]{10}/" + name)));
      std::ifstream in(kEtc / *file);
      const xml::XmlDocument scpd = xml::parseXml(std::string(std::istreambuf_iterator<char>(in), {}));
      ASSERT_TRUE(scpd.ok && !scpd.top.children.empty());
      EXPECT_EQ(signature(scpd.top.children[0]), signature(*service));
      EXPECT_STREQ(contentTypeOf(*file), "text/xml");
      events += name + ":";  // what the initial event carries (a forced address wins)
      for (const auto& [variable, state] : service->stateVariables)
        if (std::string value; state->sendEvents && state->getValue(value)) events += " " + variable + "=" + value;
      events += "\n";
    }
  }
  char host[65] = {};
  gethostname(host, sizeof host - 1);
  EXPECT_EQ(events, "osinfo: OSBuildNumber=1234 OSMachineName=" + std::string(host) +
                        " OSMajorVersion=2 OSMinorVersion=9\nwancommonifc-1: PhysicalLinkStatus=Up\n"
                        "wanipconn-1: ConnectionStatus=Connected ExternalIPAddress=198.51.100.7 PortMappingNumberOfEntries=0 "
                        "PossibleConnectionTypes=IP_Routed\n");
  for (const Icon& icon : gateway.info.icons) EXPECT_STREQ(contentTypeOf(*gateway.servedFile(icon.url)), "image/gif");
  const std::string url = gateway.services.at(0).controlURL;  // a fresh one per run
  restart();
  EXPECT_NE(mDaemon->gateway.services.at(0).controlURL, url);
}

}  // namespace
}  // namespace upnp::test
