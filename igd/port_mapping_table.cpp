#include "igd/port_mapping_table.h"

#include <cstdlib>
#include <iterator>

#include "igd/wan_ip_connection_service.h"
#include "platform/debug_log.h"
#include "platform/looper.h"
#include "platform/message.h"
#include "platform/net.h"
#include "platform/system.h"

namespace upnp {

namespace {

constexpr uint32_t kNatHandler = 5;

// Fields of a NAT rule at [20, 5].
constexpr uint32_t kFieldComment = 0xfe0009;
constexpr uint32_t kFieldChain = 39;
constexpr uint32_t kFieldInInterfaceUsed = 400;
constexpr uint32_t kFieldInInterface = 1;
constexpr uint32_t kFieldSrcAddressUsed = 418;
constexpr uint32_t kFieldSrcAddressFrom = 50;
constexpr uint32_t kFieldSrcAddressTo = 51;
constexpr uint32_t kFieldDstAddressUsed = 419;
constexpr uint32_t kFieldDstAddressFrom = 52;
constexpr uint32_t kFieldDstAddressTo = 53;
constexpr uint32_t kFieldDstPortUsed = 440;
constexpr uint32_t kFieldDstPorts = 99;
constexpr uint32_t kFieldProtocolUsed = 404;
constexpr uint32_t kFieldProtocol = 11;
constexpr uint32_t kFieldAction = 40;
constexpr uint32_t kFieldToAddressUsed = 1006;
constexpr uint32_t kFieldToAddressFrom = 1000;
constexpr uint32_t kFieldToAddressTo = 1001;
constexpr uint32_t kFieldToPortUsed = 1007;
constexpr uint32_t kFieldToPortFrom = 1002;
constexpr uint32_t kFieldToPortTo = 1003;
constexpr uint32_t kActionDstNat = 22;
constexpr uint32_t kIpProtoTcp = 6;
constexpr uint32_t kIpProtoUdp = 17;

constexpr const char* kDummyDescription = "Dummy inactive rule for windows to work";

const ActionInput& input(const ActionRequest& request, size_t index) {
  static const ActionInput kEmpty;
  return index < request.inputs.size() ? request.inputs[index] : kEmpty;
}

// Empty or unparsable text means "no address".
IPAddr parseAddress(const std::string& text) { return IPAddr::parse(text).value_or(IPAddr()); }

uint32_t parseProtocol(const std::string& text) { return text == "TCP" ? kProtocolTcp : kProtocolUdp; }

bool parseEnabled(const std::string& text) { return text == "yes" || text == "1" || text == "true"; }

// The dispatcher has checked the numbers against their UI2 variables.
PortMappingKey parseKey(const ActionRequest& request) {
  PortMappingKey key;
  key.remoteHost = parseAddress(input(request, 0).text);
  key.externalPort = static_cast<uint16_t>(input(request, 1).number);
  key.protocol = parseProtocol(input(request, 2).text);
  return key;
}

bus::message natRequest() {
  bus::message nat;
  nat.setU32Array(bus::kFieldDestination, {bus::kAddrRouter, kNatHandler});
  return nat;
}

// The target fields that the set on update and the add both carry; on the
// fallback add they replace the set's values in place.
void setTarget(bus::message& nat, const PortMapping& mapping) {
  nat.setBool(kFieldToAddressUsed, true);
  nat.setBe32(kFieldToAddressFrom, mapping.internalClient);
  nat.setBe32(kFieldToAddressTo, mapping.internalClient);
  nat.setBool(kFieldToPortUsed, true);
  nat.setU32(kFieldToPortFrom, mapping.internalPort);
  nat.setU32(kFieldToPortTo, mapping.internalPort);
}

void fillSetOnUpdate(bus::message& nat, uint32_t ruleId, const PortMapping& mapping) {
  nat.setU32(bus::kFieldObjectId, ruleId);
  nat.setBool(bus::kFieldDisabled, !mapping.enabled);
  nat.setBe32(kFieldToAddressFrom, mapping.internalClient);
  nat.setBe32(kFieldToAddressTo, mapping.internalClient);
  nat.setU32(kFieldToPortFrom, mapping.internalPort);
  nat.setU32(kFieldToPortTo, mapping.internalPort);
}

std::string ruleComment(IPAddr requester, const std::string& description) {
  return "upnp " + requester.toString() + ": " + description;
}

void fillAdd(bus::message& nat, const WANIPConnectionService& service, const PortMappingKey& key,
             const PortMapping& mapping) {
  nat.setBool(bus::kFieldDynamic, true);
  nat.setBool(bus::kFieldDisabled, !mapping.enabled);
  nat.setString(kFieldComment, ruleComment(mapping.owner, mapping.description));
  nat.setString(kFieldChain, "dstnat");
  nat.setBool(kFieldInInterfaceUsed, true);
  nat.setU32(kFieldInInterface, service.externalInterfaceId);
  if (!key.remoteHost.isZero()) {
    nat.setBool(kFieldSrcAddressUsed, true);
    nat.setBe32(kFieldSrcAddressFrom, key.remoteHost);
    nat.setBe32(kFieldSrcAddressTo, key.remoteHost);
  }
  nat.setBool(kFieldDstAddressUsed, true);
  nat.setBe32(kFieldDstAddressFrom, service.externalAddress);
  nat.setBe32(kFieldDstAddressTo, service.externalAddress);
  nat.setBool(kFieldDstPortUsed, true);
  nat.setU32Array(kFieldDstPorts, {key.externalPort, key.externalPort});
  nat.setBool(kFieldProtocolUsed, true);
  nat.setU32(kFieldProtocol, key.protocol == kProtocolTcp ? kIpProtoTcp : kIpProtoUdp);
  nat.setU32(kFieldAction, kActionDstNat);
  setTarget(nat, mapping);
}

bus::message removeRequest(uint32_t ruleId) {
  bus::message nat = natRequest();
  nat.setU32(bus::kFieldObjectId, ruleId);
  return nat;
}

void logMapDebug(const char* what, const PortMappingKey& key, const PortMapping& mapping) {
  bus::debugLog() << what << " map " << key.remoteHost.toString() << " " << key.externalPort << "->"
                  << mapping.internalPort << ", " << mapping.internalClient.toString();
}

void appendDetails(ActionRequest& request, const PortMapping& mapping) {
  request.outputs.push_back(std::to_string(mapping.internalPort));
  request.outputs.push_back(mapping.internalClient.toString());
  request.outputs.push_back(mapping.enabled ? "1" : "0");
  request.outputs.push_back(mapping.description);
  request.outputs.push_back(std::to_string(mapping.leaseDuration));
}

void appendDummyDetails(ActionRequest& request) {
  request.outputs.insert(request.outputs.end(), {"0", IPAddr().toString(), "0", kDummyDescription, "0"});
}

}  // namespace

AddPortMappingRequest parseAddPortMapping(const ActionRequest& request) {
  AddPortMappingRequest add;
  add.key = parseKey(request);
  add.wildcardPort = input(request, 1).text.empty();
  add.protocolText = input(request, 2).text;
  add.mapping.internalPort = static_cast<uint16_t>(input(request, 3).number);
  add.mapping.internalClient = parseAddress(input(request, 4).text);
  add.mapping.enabled = parseEnabled(input(request, 5).text);
  add.mapping.description = input(request, 6).text;
  add.mapping.leaseDuration = input(request, 7).number;
  add.mapping.owner = request.requester;
  add.requester = request.requester;
  add.lanAddress = request.lanAddress;
  add.lanPrefix = request.lanPrefix;
  return add;
}

PortMappingTable::PortMappingTable(WANIPConnectionService& service, bus::lstream& routerLog)
    : mService(service), mRouterLog(routerLog) {}

std::string PortMappingTable::countText() const {
  return std::to_string(mEntries.size() + (mService.showDummyRule ? 1 : 0));
}

void PortMappingTable::publishCount() { mService.setVariable("PortMappingNumberOfEntries", countText()); }

PortMappingTable::Map::const_iterator PortMappingTable::entryAt(size_t index) const {
  const size_t count = mEntries.size();
  if (index >= count) return mEntries.end();
  // Start from whichever known position is nearest: the front, the back or
  // the previous lookup.
  Map::const_iterator from = mEntries.begin();
  size_t fromIndex = 0;
  if (count - index < index) {
    from = mEntries.end();
    fromIndex = count;
  }
  const auto distance = [index](size_t at) { return at > index ? at - index : index - at; };
  if (mCursorValid && distance(mCursorIndex) < distance(fromIndex)) {
    from = mCursor;
    fromIndex = mCursorIndex;
  }
  if (fromIndex <= index)
    std::advance(from, static_cast<std::ptrdiff_t>(index - fromIndex));
  else
    std::advance(from, -static_cast<std::ptrdiff_t>(fromIndex - index));
  mCursor = from;
  mCursorIndex = index;
  mCursorValid = true;
  return from;
}

void PortMappingTable::logMapping(const char* what, const std::string& protocol, const PortMappingKey& key,
                                  const PortMapping& mapping) {
  mRouterLog << what << " mapping: proto:" << protocol << ", ports:" << key.externalPort << "->"
             << mapping.internalPort << ", internal ip:" << mapping.internalClient.toString() << bus::endl;
}

UpnpError PortMappingTable::addPortMapping(ActionRequest& request) {
  const AddPortMappingRequest add = parseAddPortMapping(request);
  if (add.wildcardPort) {
    bus::debugLog() << "addPortMapping: EXT_PORT_NO_WILDCARD";
    return UpnpError::WildcardNotPermittedInExtPort;
  }
  if (add.mapping.leaseDuration != 0) {
    bus::debugLog() << "addPortMapping: ONLY_PERM_LEASES";
    return UpnpError::OnlyPermanentLeasesSupported;
  }
  // Only a host of the LAN the call came from can be the target: never the
  // router itself, loopback, broadcast or multicast, nor another network.
  const IPAddr client = add.mapping.internalClient;
  if (!net::isSubnetHost(client, add.lanAddress, add.lanPrefix) || client == add.lanAddress ||
      net::isLocalAddress(client)) {
    bus::debugLog() << "addPortMapping: NOT_AUTHORIZED, internal client " << client.toString();
    return UpnpError::ActionNotAuthorized;
  }
  if (ruleComment(add.requester, add.mapping.description).size() > kMaxRuleCommentBytes) {
    bus::debugLog() << "addPortMapping: DESCRIPTION_TOO_LONG";
    return UpnpError::ActionFailed;
  }
  if (!net::portIsFree(mService.externalAddress, add.key.externalPort, add.key.protocol == kProtocolTcp)) {
    bus::debugLog() << "addPortMapping: CONFLICT_WITH_OTHER, port busy";
    return UpnpError::ConflictWithOtherMechanisms;
  }
  bus::message nat = natRequest();
  auto it = mEntries.find(add.key);
  if (it != mEntries.end()) {
    switch (updateMapping(nat, add, it->second)) {
      case UpdateResult::Updated:
        logMapping("set", add.protocolText, add.key, add.mapping);
        return UpnpError::None;
      case UpdateResult::Refused:
        return UpnpError::ConflictInMappingEntry;
      case UpdateResult::Failed:
        return UpnpError::ActionFailed;
      case UpdateResult::RuleLost:
        break;
    }
  }
  return addMapping(nat, add);
}

PortMappingTable::UpdateResult PortMappingTable::updateMapping(bus::message& nat, const AddPortMappingRequest& add,
                                                               PortMapping& entry) {
  logMapDebug("set", add.key, add.mapping);
  if (entry.internalClient != add.mapping.internalClient) {
    bus::debugLog() << "addPortMapping: CONFLICT_IN_ENTRY " << add.mapping.internalClient.toString()
                    << " != " << entry.internalClient.toString();
    return UpdateResult::Refused;
  }
  fillSetOnUpdate(nat, entry.ruleId, add.mapping);
  const bus::message reply = bus::request(nat, bus::kCmdSetObject);
  if (!bus::isError(reply)) {
    const uint32_t ruleId = entry.ruleId;
    entry = add.mapping;
    entry.ruleId = ruleId;
    return UpdateResult::Updated;
  }
  bus::debugLog() << "set nat failed: " << bus::getError(reply);
  return bus::getErrorCode(reply) == bus::kErrNoSuchItem ? UpdateResult::RuleLost : UpdateResult::Failed;
}

UpnpError PortMappingTable::addMapping(bus::message& nat, const AddPortMappingRequest& add) {
  logMapDebug("add", add.key, add.mapping);
  fillAdd(nat, mService, add.key, add.mapping);
  const bus::message reply = bus::request(nat, bus::kCmdAddObject);
  if (bus::isError(reply)) {
    bus::debugLog() << "add nat failed: " << bus::getError(reply);
    return UpnpError::ActionFailed;
  }
  auto [it, inserted] = mEntries.try_emplace(add.key);
  if (inserted) forgetCursor();
  it->second = add.mapping;
  it->second.ruleId = reply.getU32(bus::kFieldObjectId);
  publishCount();
  logMapping("add", add.protocolText, add.key, add.mapping);
  return UpnpError::None;
}

UpnpError PortMappingTable::deletePortMapping(ActionRequest& request) {
  const auto it = mEntries.find(parseKey(request));
  if (it == mEntries.end()) {
    bus::debugLog() << "deletePortMapping: NO_SUCH_ENTRY";
    return UpnpError::NoSuchEntryInArray;
  }
  bus::debugLog() << "del map " << input(request, 1).text;
  const bus::message reply = bus::request(removeRequest(it->second.ruleId), bus::kCmdRemoveObject);
  const bool failed = bus::isError(reply);
  if (failed) bus::debugLog() << "remove nat failed: " << bus::getError(reply);
  logMapping("remove", input(request, 2).text, it->first, it->second);
  mEntries.erase(it);
  forgetCursor();
  publishCount();
  return failed ? UpnpError::ActionFailed : UpnpError::None;
}

UpnpError PortMappingTable::getGenericPortMappingEntry(ActionRequest& request) {
  size_t index = input(request, 0).number;
  if (mService.showDummyRule) {
    if (index == 0) {
      request.outputs.insert(request.outputs.end(), {"", "0", "TCP"});
      appendDummyDetails(request);
      return UpnpError::None;
    }
    --index;
  }
  const auto it = entryAt(index);
  if (it == mEntries.end()) return UpnpError::SpecifiedArrayIndexInvalid;
  const PortMappingKey& key = it->first;
  request.outputs.push_back(key.remoteHost.isZero() ? std::string() : key.remoteHost.toString());
  request.outputs.push_back(std::to_string(key.externalPort));
  request.outputs.push_back(key.protocol == kProtocolTcp ? "TCP" : "UDP");
  appendDetails(request, it->second);
  return UpnpError::None;
}

UpnpError PortMappingTable::getSpecificPortMappingEntry(ActionRequest& request) {
  if (mService.showDummyRule && input(request, 0).text.empty() && input(request, 1).text == "0" &&
      input(request, 2).text == "TCP") {
    appendDummyDetails(request);
    return UpnpError::None;
  }
  const auto it = mEntries.find(parseKey(request));
  if (it == mEntries.end()) return UpnpError::NoSuchEntryInArray;
  appendDetails(request, it->second);
  return UpnpError::None;
}

void PortMappingTable::retarget(IPAddr address) {
  bus::Looper* looper = bus::Looper::current();
  if (looper == nullptr) return;
  for (const auto& [key, mapping] : mEntries) {
    bus::message nat = natRequest();
    nat.setU32(bus::kFieldObjectId, mapping.ruleId);
    nat.setBool(kFieldDstAddressUsed, true);
    nat.setBe32(kFieldDstAddressFrom, address);
    nat.setBe32(kFieldDstAddressTo, address);
    looper->sendCmd(std::move(nat), bus::kCmdSetObject);
  }
}

void PortMappingTable::restoreRules() {
  for (auto it = mEntries.begin(); it != mEntries.end();) {
    bus::message nat = natRequest();
    fillAdd(nat, mService, it->first, it->second);
    const bus::message reply = bus::request(nat, bus::kCmdAddObject);
    if (bus::isError(reply)) {
      bus::debugLog() << "restore nat failed: " << bus::getError(reply);
      it = mEntries.erase(it);
      forgetCursor();
      continue;
    }
    it->second.ruleId = reply.getU32(bus::kFieldObjectId);
    ++it;
  }
  publishCount();
}

void PortMappingTable::cleanup() {
  for (const auto& [key, mapping] : mEntries) {
    const bus::message reply = bus::request(removeRequest(mapping.ruleId), bus::kCmdRemoveObject);
    if (bus::isError(reply)) bus::debugLog() << "on cleanup remove nat failed: " << bus::getError(reply);
  }
  mEntries.clear();
  forgetCursor();
}

}  // namespace upnp
