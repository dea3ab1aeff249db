#include "igd/port_mapping_table.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <iostream>
#include <iterator>

#include "igd/router_log.h"
#include "igd/wan_ip_connection_service.h"
#include "platform/looper.h"
#include "platform/message.h"

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

const std::string& input(const ActionRequest& request, size_t index) {
  static const std::string kEmpty;
  return index < request.inputs.size() ? request.inputs[index] : kEmpty;
}

// Empty or unparsable text means "no address".
IPAddr parseAddress(const std::string& text) { return IPAddr::parse(text).value_or(IPAddr()); }

// The dispatcher has checked the digits; wider values are cut to the field.
unsigned long parseNumber(const std::string& text) { return std::strtoul(text.c_str(), nullptr, 10); }

uint32_t parseProtocol(const std::string& text) { return text == "TCP" ? kProtocolTcp : kProtocolUdp; }

bool parseEnabled(const std::string& text) { return text == "yes" || text == "1" || text == "true"; }

PortMappingKey parseKey(const ActionRequest& request) {
  PortMappingKey key;
  key.remoteHost = parseAddress(input(request, 0));
  key.externalPort = static_cast<uint16_t>(parseNumber(input(request, 1)));
  key.protocol = parseProtocol(input(request, 2));
  return key;
}

bus::message natRequest() {
  bus::message nat;
  nat.setU32Array(bus::kFieldDestination, {bus::kAddrRouter, kNatHandler});
  return nat;
}

// The fields that both the set on update and the add carry; on the fallback
// add they replace the set's values in place.
void setTarget(bus::message& nat, const PortMapping& mapping) {
  nat.setBe32(kFieldToAddressFrom, mapping.internalClient);
  nat.setBe32(kFieldToAddressTo, mapping.internalClient);
  nat.setU32(kFieldToPortFrom, mapping.internalPort);
  nat.setU32(kFieldToPortTo, mapping.internalPort);
}

void fillSetOnUpdate(bus::message& nat, uint32_t ruleId, const PortMapping& mapping) {
  nat.setU32(bus::kFieldObjectId, ruleId);
  nat.setBool(bus::kFieldDisabled, !mapping.enabled);
  setTarget(nat, mapping);
}

void fillAdd(bus::message& nat, const WANIPConnectionService& service, const ActionRequest& request,
             const PortMappingKey& key, const PortMapping& mapping) {
  nat.setBool(bus::kFieldDynamic, true);
  nat.setBool(bus::kFieldDisabled, !mapping.enabled);
  nat.setString(kFieldComment, "upnp " + request.requester.toString() + ": " + mapping.description);
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
  nat.setBool(kFieldToAddressUsed, true);
  nat.setBe32(kFieldToAddressFrom, mapping.internalClient);
  nat.setBe32(kFieldToAddressTo, mapping.internalClient);
  nat.setBool(kFieldToPortUsed, true);
  nat.setU32(kFieldToPortFrom, mapping.internalPort);
  nat.setU32(kFieldToPortTo, mapping.internalPort);
}

bus::message removeRequest(uint32_t ruleId) {
  bus::message nat = natRequest();
  nat.setU32(bus::kFieldObjectId, ruleId);
  return nat;
}

// True when `address`:`port` can be bound for `protocol`, i.e. no service of
// the router itself uses it. A socket that cannot be made skips the test.
bool portIsFree(IPAddr address, uint16_t port, uint32_t protocol) {
  const int fd = socket(AF_INET, protocol == kProtocolTcp ? SOCK_STREAM : SOCK_DGRAM, 0);
  if (fd < 0) return true;
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = address.raw();
  sa.sin_port = htons(port);
  const bool bound = bind(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof(sa)) == 0;
  close(fd);
  return bound;
}

void logMapping(const char* what, const std::string& protocol, const PortMappingKey& key,
                const PortMapping& mapping) {
  routerLog << what << " mapping: proto:" << protocol << ", ports:" << key.externalPort << "->"
            << mapping.internalPort << ", internal ip:" << mapping.internalClient.toString() << std::endl;
}

void logMapDebug(const char* what, const PortMappingKey& key, const PortMapping& mapping) {
  std::cout << what << " map " << key.remoteHost.toString() << " " << key.externalPort << "->"
            << mapping.internalPort << ", " << mapping.internalClient.toString() << std::endl;
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

PortMappingTable::PortMappingTable(WANIPConnectionService& service) : mService(service) {}

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

uint32_t PortMappingTable::addPortMapping(ActionRequest& request) {
  PortMappingKey key;
  key.remoteHost = parseAddress(input(request, 0));
  if (input(request, 1).empty()) {
    std::cout << "addPortMapping: EXT_PORT_NO_WILDCARD" << std::endl;
    return 716;
  }
  key.externalPort = static_cast<uint16_t>(parseNumber(input(request, 1)));
  key.protocol = parseProtocol(input(request, 2));
  PortMapping wanted;
  wanted.internalPort = static_cast<uint16_t>(parseNumber(input(request, 3)));
  wanted.internalClient = parseAddress(input(request, 4));
  wanted.enabled = parseEnabled(input(request, 5));
  wanted.description = input(request, 6);
  wanted.leaseDuration = static_cast<uint32_t>(parseNumber(input(request, 7)));
  if (wanted.leaseDuration != 0) {
    std::cout << "addPortMapping: ONLY_PERM_LEASES" << std::endl;
    return 725;
  }
  if (!portIsFree(mService.externalAddress, key.externalPort, key.protocol)) {
    std::cout << "addPortMapping: CONFLICT_WITH_OTHER, port busy" << std::endl;
    return 729;
  }
  bus::message nat = natRequest();
  auto it = mEntries.find(key);
  if (it != mEntries.end()) {
    bool ruleLost = false;
    const uint32_t result = updateMapping(nat, key, it->second, wanted, ruleLost);
    if (!ruleLost) {
      if (result == 0) logMapping("set", input(request, 2), key, wanted);
      return result;
    }
  }
  return addMapping(nat, request, key, wanted);
}

uint32_t PortMappingTable::updateMapping(bus::message& nat, const PortMappingKey& key, PortMapping& entry,
                                         const PortMapping& wanted, bool& ruleLost) {
  logMapDebug("set", key, wanted);
  if (entry.internalClient != wanted.internalClient) {
    std::cout << "addPortMapping: CONFLICT_IN_ENTRY " << wanted.internalClient.toString()
              << " != " << entry.internalClient.toString() << std::endl;
    return 718;
  }
  fillSetOnUpdate(nat, entry.ruleId, wanted);
  const bus::message reply = bus::request(nat, bus::kCmdSetObject);
  if (!bus::isError(reply)) {
    const uint32_t ruleId = entry.ruleId;
    entry = wanted;
    entry.ruleId = ruleId;
    return 0;
  }
  std::cout << "set nat failed: " << bus::getError(reply) << std::endl;
  if (bus::getErrorCode(reply) != bus::kErrNoSuchItem) return 501;
  ruleLost = true;
  return 0;
}

uint32_t PortMappingTable::addMapping(bus::message& nat, const ActionRequest& request, const PortMappingKey& key,
                                      const PortMapping& wanted) {
  logMapDebug("add", key, wanted);
  fillAdd(nat, mService, request, key, wanted);
  const bus::message reply = bus::request(nat, bus::kCmdAddObject);
  if (bus::isError(reply)) {
    std::cout << "add nat failed: " << bus::getError(reply) << std::endl;
    return 501;
  }
  auto [it, inserted] = mEntries.try_emplace(key);
  if (inserted) forgetCursor();
  it->second = wanted;
  it->second.ruleId = reply.getU32(bus::kFieldObjectId);
  publishCount();
  logMapping("add", input(request, 2), key, wanted);
  return 0;
}

uint32_t PortMappingTable::deletePortMapping(ActionRequest& request) {
  const auto it = mEntries.find(parseKey(request));
  if (it == mEntries.end()) {
    std::cout << "deletePortMapping: NO_SUCH_ENTRY" << std::endl;
    return 714;
  }
  std::cout << "del map " << input(request, 1) << std::endl;
  const bus::message reply = bus::request(removeRequest(it->second.ruleId), bus::kCmdRemoveObject);
  const bool failed = bus::isError(reply);
  if (failed) std::cout << "remove nat failed: " << bus::getError(reply) << std::endl;
  logMapping("remove", input(request, 2), it->first, it->second);
  mEntries.erase(it);
  forgetCursor();
  publishCount();
  return failed ? 501 : 0;
}

uint32_t PortMappingTable::getGenericPortMappingEntry(ActionRequest& request) {
  unsigned long index = parseNumber(input(request, 0));
  if (mService.showDummyRule) {
    if (index == 0) {
      request.outputs.insert(request.outputs.end(), {"", "0", "TCP"});
      appendDummyDetails(request);
      return 0;
    }
    --index;
  }
  const auto it = entryAt(index);
  if (it == mEntries.end()) return 713;
  const PortMappingKey& key = it->first;
  request.outputs.push_back(key.remoteHost.isZero() ? std::string() : key.remoteHost.toString());
  request.outputs.push_back(std::to_string(key.externalPort));
  request.outputs.push_back(key.protocol == kProtocolTcp ? "TCP" : "UDP");
  appendDetails(request, it->second);
  return 0;
}

uint32_t PortMappingTable::getSpecificPortMappingEntry(ActionRequest& request) {
  if (mService.showDummyRule && input(request, 0).empty() && input(request, 1) == "0" &&
      input(request, 2) == "TCP") {
    appendDummyDetails(request);
    return 0;
  }
  const auto it = mEntries.find(parseKey(request));
  if (it == mEntries.end()) return 714;
  appendDetails(request, it->second);
  return 0;
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

void PortMappingTable::cleanup() {
  for (const auto& [key, mapping] : mEntries) {
    const bus::message reply = bus::request(removeRequest(mapping.ruleId), bus::kCmdRemoveObject);
    if (bus::isError(reply)) std::cout << "on cleanup remove nat failed: " << bus::getError(reply) << std::endl;
  }
  mEntries.clear();
  forgetCursor();
}

}  // namespace upnp
