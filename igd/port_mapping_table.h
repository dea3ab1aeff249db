#pragma once

#include <compare>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

#include "model/action.h"
#include "platform/ip_addr.h"

namespace bus {
class message;
class lstream;
}

namespace upnp {

class WANIPConnectionService;

inline constexpr uint32_t kProtocolTcp = 0;
inline constexpr uint32_t kProtocolUdp = 1;

// What a mapping forwards: unique in the table. The member order is the table
// order: remote host (numeric), then external port, then TCP before UDP.
struct PortMappingKey {
  IPAddr remoteHost;          // 0: any source host
  uint16_t externalPort = 0;
  uint32_t protocol = kProtocolTcp;

  auto operator<=>(const PortMappingKey&) const = default;
  bool operator==(const PortMappingKey&) const = default;
};

// Where a mapping forwards to, and the firewall rule that does it.
struct PortMapping {
  uint16_t internalPort = 0;
  IPAddr internalClient;
  bool enabled = false;
  std::string description;     // as the control point gave it
  uint32_t leaseDuration = 0;  // always 0: only permanent mappings exist
  uint32_t ruleId = 0;         // object id of the NAT rule at [20, 5]
  IPAddr owner;                // the control point that added it (named in the rule's comment)
};

// The longest rule comment the router's NAT table accepts; a description that
// would make a longer comment is refused, whether it adds or updates.
inline constexpr size_t kMaxRuleCommentBytes = 1024;

// The inputs of one AddPortMapping call, typed once.
struct AddPortMappingRequest {
  PortMappingKey key;
  PortMapping mapping;         // what the entry is to become (ruleId unset)
  bool wildcardPort = false;   // NewExternalPort was empty
  std::string protocolText;    // NewProtocol as sent, for the log lines
  IPAddr requester;            // the control point, named in the rule's comment
  IPAddr lanAddress;           // the interface that received the call, and
  uint32_t lanPrefix = 32;     // the prefix of its subnet
};

// The typed inputs of an AddPortMapping call whose arguments the dispatcher
// has validated (in the order the action declares them).
AddPortMappingRequest parseAddPortMapping(const ActionRequest& request);

// The port mappings of one WANIPConnection service and the four actions that
// work on them. Every mapping is backed by one destination-NAT rule of the
// router's NAT table service [20, 5], reached through the thread's Looper.
// Reads externalInterfaceId, externalAddress and showDummyRule from the owning
// service and keeps its PortMappingNumberOfEntries current. Loop thread only.
class PortMappingTable {
 public:
  using Map = std::map<PortMappingKey, PortMapping>;

  // `service` owns the table and outlives it; `routerLog` receives the add,
  // set and remove lines and must outlive it too.
  PortMappingTable(WANIPConnectionService& service, bus::lstream& routerLog);
  PortMappingTable(const PortMappingTable&) = delete;
  PortMappingTable& operator=(const PortMappingTable&) = delete;

  // The action handlers: inputs and outputs in the order the actions declare
  // them; each waits for the firewall's replies.
  UpnpError addPortMapping(ActionRequest& request);
  UpnpError deletePortMapping(ActionRequest& request);
  UpnpError getGenericPortMappingEntry(ActionRequest& request);
  UpnpError getSpecificPortMappingEntry(ActionRequest& request);

  // Points every rule at `address`: one set request per mapping, in table
  // order, sent without waiting (failures go unseen).
  void retarget(IPAddr address);
  // Removes every rule, waiting for each reply (failures are logged and the
  // rest still go), then empties the table.
  void cleanup();
  // Adds every mapping's rule anew (the NAT service came back without them)
  // and keeps the new rule ids; a mapping whose add fails is dropped.
  void restoreRules();

  // The text of PortMappingNumberOfEntries: the entries, plus one for the
  // dummy entry while it is shown.
  std::string countText() const;

  size_t size() const { return mEntries.size(); }
  const Map& entries() const { return mEntries; }
  // The entry at `index` in table order, or end(). Consecutive or nearby
  // indexes cost O(distance) from the previous lookup, so listing the whole
  // table in order is linear. Valid until the next change of the table.
  Map::const_iterator entryAt(size_t index) const;

 private:
  // How the set request of an update ended.
  enum class UpdateResult { Updated, Refused, Failed, RuleLost };

  // Step of addPortMapping for a key that is in the table: the set request,
  // built into `nat`. RuleLost: the firewall no longer has the rule, and the
  // caller adds a fresh one with the same message.
  UpdateResult updateMapping(bus::message& nat, const AddPortMappingRequest& add, PortMapping& entry);
  // Step of addPortMapping that adds a rule with `nat` and stores the mapping.
  UpnpError addMapping(bus::message& nat, const AddPortMappingRequest& add);
  void publishCount();
  // One line of the router log about a mapping ("add", "set", "remove").
  void logMapping(const char* what, const std::string& protocol, const PortMappingKey& key,
                  const PortMapping& mapping);
  void forgetCursor() const { mCursorValid = false; }

  WANIPConnectionService& mService;
  bus::lstream& mRouterLog;
  Map mEntries;
  // Position cache for entryAt: the iterator at index mCursorIndex. Dropped on
  // every insertion and erasure.
  mutable bool mCursorValid = false;
  mutable size_t mCursorIndex = 0;
  mutable Map::const_iterator mCursor;
};

}  // namespace upnp
