// The served service descriptions in etc/ against the services the daemon
// builds: every action, argument (name, direction, order, related variable)
// and state variable (data type, sendEvents, allowed values) must agree, so
// the files and the code cannot drift apart.

#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include "daemon/gateway.h"
#include "http/get_handler.h"
#include "igd/wan_common_interface_config_service.h"
#include "igd/wan_ip_connection_service.h"
#include "model/service.h"
#include "model/xml/xml_element.h"

namespace upnp {
namespace {

namespace fs = std::filesystem;

fs::path sourceEtc() { return fs::path(__FILE__).parent_path() / ".." / ".." / "etc"; }

std::string readAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::vector<const xml::XmlElement*> children(const xml::XmlElement* parent, const std::string& name) {
  std::vector<const xml::XmlElement*> out;
  if (parent == nullptr) return out;
  for (const auto& c : parent->children)
    if (c.name == name) out.push_back(&c);
  return out;
}

const xml::XmlElement* child(const xml::XmlElement& parent, const std::string& name) {
  const auto found = children(&parent, name);
  return found.empty() ? nullptr : found[0];
}

std::string childText(const xml::XmlElement& parent, const std::string& name) {
  const xml::XmlElement* c = child(parent, name);
  return c ? c->text : "<missing " + name + ">";
}

std::string attribute(const xml::XmlElement& element, const std::string& name) {
  for (const auto& a : element.attributes)
    if (a.name == name) return a.value;
  return "<missing " + name + ">";
}

const char* dataTypeOf(VariableKind kind) {
  switch (kind) {
    case VariableKind::UI4: return "ui4";
    case VariableKind::UI2: return "ui2";
    case VariableKind::STRING: return "string";
    case VariableKind::BOOLEAN: return "boolean";
  }
  return "?";
}

struct Argument {
  std::string name;
  std::string direction;
  std::string variable;
  bool operator==(const Argument&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Argument& a) {
  return out << a.name << "/" << a.direction << "/" << a.variable;
}

// The argument list the dispatcher works with: inputs, then outputs, each in
// definition order.
std::vector<Argument> argumentsOf(const Action& action) {
  std::vector<Argument> out;
  for (size_t i = 0; i < action.inArguments.size(); ++i)
    out.push_back({action.inArguments[i], "in", action.inVariables.at(i)});
  for (size_t i = 0; i < action.outArguments.size(); ++i)
    out.push_back({action.outArguments[i], "out", action.outVariables.at(i)});
  return out;
}

std::vector<Argument> argumentsOf(const xml::XmlElement& action) {
  std::vector<Argument> out;
  for (const auto* argument : children(child(action, "argumentList"), "argument"))
    out.push_back({childText(*argument, "name"), childText(*argument, "direction"),
                   childText(*argument, "relatedStateVariable")});
  return out;
}

// Checks one SCPD document against `service`; failures name the item.
void expectDescribes(const std::string& file, const Service& service) {
  SCOPED_TRACE(file);
  const std::string text = readAll(sourceEtc() / file);
  ASSERT_FALSE(text.empty());
  // It must be servable whole: larger files are cut at one read.
  EXPECT_LE(text.size(), kMaxFileBytes);
  const xml::XmlDocument doc = xml::parseXml(text);
  ASSERT_TRUE(doc.ok);
  ASSERT_EQ(1u, doc.top.children.size());
  const xml::XmlElement& scpd = doc.top.children[0];
  EXPECT_EQ("scpd", scpd.name);
  EXPECT_EQ("urn:schemas-upnp-org:service-1-0", attribute(scpd, "xmlns"));
  ASSERT_NE(nullptr, child(scpd, "specVersion"));
  EXPECT_EQ("1", childText(*child(scpd, "specVersion"), "major"));
  EXPECT_EQ("0", childText(*child(scpd, "specVersion"), "minor"));

  std::set<std::string> described;
  for (const auto* action : children(child(scpd, "actionList"), "action")) {
    const std::string name = childText(*action, "name");
    SCOPED_TRACE("action " + name);
    EXPECT_TRUE(described.insert(name).second) << "listed twice";
    auto it = service.actions.find(name);
    if (it == service.actions.end()) {
      ADD_FAILURE() << "not an action of the service";
      continue;
    }
    const std::vector<Argument> arguments = argumentsOf(*action);
    EXPECT_EQ(argumentsOf(it->second), arguments);
    for (const Argument& argument : arguments)
      EXPECT_EQ(1u, service.stateVariables.count(argument.variable)) << argument;
  }
  for (const auto& [name, action] : service.actions) EXPECT_EQ(1u, described.count(name)) << "undescribed " << name;

  described.clear();
  for (const auto* variable : children(child(scpd, "serviceStateTable"), "stateVariable")) {
    const std::string name = childText(*variable, "name");
    SCOPED_TRACE("variable " + name);
    EXPECT_TRUE(described.insert(name).second) << "listed twice";
    auto it = service.stateVariables.find(name);
    if (it == service.stateVariables.end()) {
      ADD_FAILURE() << "not a variable of the service";
      continue;
    }
    const StateVariable& defined = *it->second;
    EXPECT_EQ(dataTypeOf(defined.kind), childText(*variable, "dataType"));
    EXPECT_EQ(defined.sendEvents ? "yes" : "no", attribute(*variable, "sendEvents"));
    std::vector<std::string> allowed;
    for (const auto* value : children(child(*variable, "allowedValueList"), "allowedValue"))
      allowed.push_back(value->text);
    EXPECT_EQ(defined.allowedValues, allowed);
    EXPECT_EQ(defined.hasRange, child(*variable, "allowedValueRange") != nullptr);
  }
  for (const auto& [name, variable] : service.stateVariables)
    EXPECT_EQ(1u, described.count(name)) << "undescribed " << name;
}

// (The services' own tests pin their action and variable counts.)
TEST(ServiceDescriptionTest, EachServedDescriptionMatchesItsService) {
  Gateway gateway;
  gateway.setUp("TESTID");
  EXPECT_EQ("osinfo.xml", gateway.files.at(gateway.services.at(0).SCPDURL));
  WANCommonInterfaceConfigService common(7, 1);
  WANIPConnectionService connection(7, IPAddr());
  expectDescribes("osinfo.xml", gateway.osInfo);
  expectDescribes("wancommonifcfg.xml", common);
  expectDescribes("wanipconn.xml", connection);
}

// Runs the comparison with failures captured; true when it found any.
bool comparisonFails(const std::string& file, const Service& service) {
  testing::TestPartResultArray failures;
  {
    testing::ScopedFakeTestPartResultReporter reporter(
        testing::ScopedFakeTestPartResultReporter::INTERCEPT_ONLY_CURRENT_THREAD, &failures);
    expectDescribes(file, service);
  }
  return failures.size() > 0;
}

// The comparison itself must catch drift: a service that differs from the
// file in one detail each time.
TEST(ServiceDescriptionTest, ComparisonCatchesEachKindOfDrift) {
  using Mutation = void (*)(Service&);
  const Mutation variableMutations[] = {
      [](Service& s) { s.stateVariables.erase("OSBuildNumber"); },
      [](Service& s) { s.stateVariables["OSBuildNumber"]->kind = VariableKind::UI2; },
      [](Service& s) { s.stateVariables["OSMachineName"]->sendEvents = false; },
      [](Service& s) { s.stateVariables["OSMachineName"]->allowedValues = {"a"}; },
      [](Service& s) { s.addQueryAction("GetMachineName", {"OSMachineName"}); },
      [](Service& s) { s.addVariable("Extra", std::make_unique<StateVariable>(false, VariableKind::UI4)); },
  };
  for (Mutation mutate : variableMutations) {
    Gateway gateway;
    mutate(gateway.osInfo);
    EXPECT_TRUE(comparisonFails("osinfo.xml", gateway.osInfo));
  }
  const Mutation actionMutations[] = {
      [](Service& s) { std::swap(s.actions["X_GetICSStatistics"].outArguments[0],
                                 s.actions["X_GetICSStatistics"].outArguments[1]); },
      [](Service& s) { s.actions["GetTotalBytesSent"].outVariables[0] = "TotalBytesReceived"; },
      [](Service& s) { s.actions["GetTotalBytesSent"].outArguments[0] = "TotalBytesSent"; },
      [](Service& s) {
        Action& a = s.actions["GetTotalBytesSent"];
        std::swap(a.inArguments, a.outArguments);
        std::swap(a.inVariables, a.outVariables);
      },
      [](Service& s) { s.actions.erase("GetTotalPacketsSent"); },
  };
  for (Mutation mutate : actionMutations) {
    WANCommonInterfaceConfigService service(7, 1);
    mutate(service);
    EXPECT_TRUE(comparisonFails("wancommonifcfg.xml", service));
  }
}

}  // namespace
}  // namespace upnp
