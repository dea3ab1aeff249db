#include "igd/wan_ip_connection_service.h"

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/debug_log.h"
#include "platform/looper.h"
#include "platform/message.h"
#include "platform/system.h"

namespace upnp {

namespace {

constexpr uint32_t kInterfaceHandler = 0;

struct VariableDefinition {
  const char* name;
  VariableKind kind;
  bool sendEvents;
  std::vector<std::string> allowedValues;  // only for STRING
};

std::unique_ptr<StateVariable> makeVariable(const VariableDefinition& definition) {
  if (!definition.allowedValues.empty())
    return std::make_unique<StateVariable>(definition.allowedValues, definition.sendEvents);
  return std::make_unique<StateVariable>(definition.sendEvents, definition.kind);
}

const char* statusText(ConnectionStatus status) {
  switch (status) {
    case ConnectionStatus::Connected:
      return "Connected";
    case ConnectionStatus::Disconnected:
      return "Disconnected";
    case ConnectionStatus::Connecting:
      break;
  }
  return "Connecting";
}

}  // namespace

ConnectionStatus connectionStatus(bool disabled, bool running) {
  if (disabled) return ConnectionStatus::Disconnected;
  return running ? ConnectionStatus::Connected : ConnectionStatus::Connecting;
}

WANIPConnectionService::WANIPConnectionService(uint32_t externalInterfaceId, IPAddr externalAddress,
                                               bus::lstream& routerLog)
    : Service("urn:schemas-upnp-org:service:WANIPConnection:1"),
      externalInterfaceId(externalInterfaceId),
      externalAddress(externalAddress),
      mappings(*this, routerLog),
      mRouterLog(routerLog) {
  defineVariables();
  defineActions();
}

WANIPConnectionService::~WANIPConnectionService() = default;

void WANIPConnectionService::defineVariables() {
  using K = VariableKind;
  const VariableDefinition definitions[] = {
      {"ConnectionType", K::STRING, false, {"Unconfigured", "IP_Routed", "IP_Bridged"}},
      {"PossibleConnectionTypes", K::STRING, true, {"IP_Routed"}},
      {"ConnectionStatus", K::STRING, true, {"Unconfigured", "Connected", "Disconnected", "Connecting"}},
      {"X_Name", K::STRING, false, {}},
      {"Uptime", K::UI4, false, {}},
      {"LastConnectionError", K::STRING, false, {"ERROR_NONE"}},
      {"RSIPAvailable", K::BOOLEAN, false, {}},
      {"NATEnabled", K::BOOLEAN, false, {}},
      {"ExternalIPAddress", K::STRING, true, {}},
      {"PortMappingNumberOfEntries", K::UI2, true, {}},
      {"PortMappingEnabled", K::BOOLEAN, false, {}},
      {"PortMappingLeaseDuration", K::UI4, false, {}},
      {"RemoteHost", K::STRING, false, {}},
      {"ExternalPort", K::UI2, false, {}},
      {"InternalPort", K::UI2, false, {}},
      {"PortMappingProtocol", K::STRING, false, {"TCP", "UDP"}},
      {"InternalClient", K::STRING, false, {}},
      {"PortMappingDescription", K::STRING, false, {}},
  };
  for (const VariableDefinition& definition : definitions)
    addVariable(definition.name, makeVariable(definition));

  // The argument-typing variables (PortMappingEnabled and after) never get a
  // value, so a QueryStateVariable of one of them fails.
  const std::pair<const char*, std::string> initial[] = {
      {"ConnectionType", "IP_Routed"},
      {"PossibleConnectionTypes", "IP_Routed"},
      {"ConnectionStatus", "Unconfigured"},
      {"X_Name", "Local Area Connection"},
      {"LastConnectionError", "ERROR_NONE"},
      {"RSIPAvailable", "0"},
      {"NATEnabled", "1"},
      {"ExternalIPAddress", externalAddress.toString()},
      {"PortMappingNumberOfEntries", mappings.countText()},
  };
  for (const auto& [name, value] : initial) stateVariables.at(name)->setValue(value);
  // The router's uptime, not the connection's: read fresh on every query.
  stateVariables.at("Uptime")->setProvider([] { return std::to_string(bus::getUptime()); });
}

void WANIPConnectionService::defineActions() {
  const auto bind = [this](UpnpError (WANIPConnectionService::*handler)(ActionRequest&)) -> ActionHandler {
    return [this, handler](ActionRequest& request) { return (this->*handler)(request); };
  };
  const auto bindTable = [this](UpnpError (PortMappingTable::*handler)(ActionRequest&)) -> ActionHandler {
    return [this, handler](ActionRequest& request) { return (mappings.*handler)(request); };
  };
  const std::vector<std::string> keyVariables = {"RemoteHost", "ExternalPort", "PortMappingProtocol"};
  const std::vector<std::string> keyArguments = {"NewRemoteHost", "NewExternalPort", "NewProtocol"};
  const std::vector<std::string> detailVariables = {"InternalPort", "InternalClient", "PortMappingEnabled",
                                                    "PortMappingDescription", "PortMappingLeaseDuration"};
  const std::vector<std::string> detailArguments = {"NewInternalPort", "NewInternalClient", "NewEnabled",
                                                    "NewPortMappingDescription", "NewLeaseDuration"};
  std::vector<std::string> entryVariables = keyVariables;
  entryVariables.insert(entryVariables.end(), detailVariables.begin(), detailVariables.end());
  std::vector<std::string> entryArguments = keyArguments;
  entryArguments.insert(entryArguments.end(), detailArguments.begin(), detailArguments.end());

  addAction("SetConnectionType", {"ConnectionType"}, {"NewConnectionType"}, {}, {},
            bind(&WANIPConnectionService::SetConnectionType));
  addQueryAction("GetConnectionTypeInfo", {"ConnectionType", "PossibleConnectionTypes"});
  addAction("RequestConnection", {}, {}, {}, {}, bind(&WANIPConnectionService::RequestConnection));
  addAction("ForceTermination", {}, {}, {}, {}, bind(&WANIPConnectionService::ForceTermination));
  addQueryAction("GetStatusInfo", {"ConnectionStatus", "LastConnectionError", "Uptime"});
  addQueryAction("GetNATRSIPStatus", {"RSIPAvailable", "NATEnabled"});
  addAction("GetGenericPortMappingEntry", {"PortMappingNumberOfEntries"}, {"NewPortMappingIndex"},
            entryVariables, entryArguments, bindTable(&PortMappingTable::getGenericPortMappingEntry));
  addAction("GetSpecificPortMappingEntry", keyVariables, keyArguments, detailVariables, detailArguments,
            bindTable(&PortMappingTable::getSpecificPortMappingEntry));
  addAction("AddPortMapping", entryVariables, entryArguments, {}, {},
            bindTable(&PortMappingTable::addPortMapping));
  addAction("DeletePortMapping", keyVariables, keyArguments, {}, {},
            bindTable(&PortMappingTable::deletePortMapping));
  addQueryAction("GetExternalIPAddress", {"ExternalIPAddress"});
}

void WANIPConnectionService::setConnectionStatus(ConnectionStatus status) {
  setVariable("ConnectionStatus", statusText(status));
}

void WANIPConnectionService::setExternalIp(IPAddr address) {
  if (address.isZero() || address == externalAddress) return;
  bus::debugLog() << "set external ip " << address.toString();
  externalAddress = address;
  setVariable("ExternalIPAddress", address.toString());
  mRouterLog << "new external ip: " << address.toString() << bus::endl;
  mappings.retarget(address);
}

void WANIPConnectionService::cleanupMappings() { mappings.cleanup(); }

void WANIPConnectionService::refreshEntryCount() {
  setVariable("PortMappingNumberOfEntries", mappings.countText());
}

// The gateway does not switch connection types: answered as not implemented
// (the code of Action Failed).
UpnpError WANIPConnectionService::SetConnectionType(ActionRequest&) { return UpnpError::ActionFailed; }

UpnpError WANIPConnectionService::RequestConnection(ActionRequest&) {
  if (!allowDisableExternal) return UpnpError::ActionFailed;
  if (!setInterfaceDisabled(false, "enable device failed: ")) return UpnpError::ActionFailed;
  setConnectionStatus(ConnectionStatus::Connecting);
  return UpnpError::None;
}

UpnpError WANIPConnectionService::ForceTermination(ActionRequest&) {
  if (!allowDisableExternal) return UpnpError::ActionFailed;
  if (!setInterfaceDisabled(true, "disable device failed: ")) return UpnpError::ActionFailed;
  setConnectionStatus(ConnectionStatus::Disconnected);
  return UpnpError::None;
}

bool WANIPConnectionService::setInterfaceDisabled(bool disabled, const char* failure) {
  bus::message request;
  request.setU32Array(bus::kFieldDestination, {bus::kAddrRouter, kInterfaceHandler});
  request.setU32(bus::kFieldObjectId, externalInterfaceId);
  request.setBool(bus::kFieldDisabled, disabled);
  const bus::message reply = bus::request(request, bus::kCmdSetObject);
  if (!bus::isError(reply)) return true;
  bus::debugLog() << failure << bus::getError(reply);
  return false;
}

}  // namespace upnp
