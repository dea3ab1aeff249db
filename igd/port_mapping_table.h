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
};

// The port mappings of one WANIPConnection service and the four actions that
// work on them. Every mapping is backed by one destination-NAT rule of the
// router's NAT table service [20, 5], reached through the thread's Looper.
// Reads externalInterfaceId, externalAddress and showDummyRule from the owning
// service and keeps its PortMappingNumberOfEntries current. Loop thread only.
class PortMappingTable {
 public:
  using Map = std::map<PortMappingKey, PortMapping>;

  // `service` owns the table and outlives it.
  explicit PortMappingTable(WANIPConnectionService& service);
  PortMappingTable(const PortMappingTable&) = delete;
  PortMappingTable& operator=(const PortMappingTable&) = delete;

  // The action handlers: inputs and outputs in the order the actions declare
  // them; each returns 0 or a UPnP error code and waits for the firewall's
  // replies.
  uint32_t addPortMapping(ActionRequest& request);
  uint32_t deletePortMapping(ActionRequest& request);
  uint32_t getGenericPortMappingEntry(ActionRequest& request);
  uint32_t getSpecificPortMappingEntry(ActionRequest& request);

  // Points every rule at `address`: one set request per mapping, in table
  // order, sent without waiting (failures go unseen).
  void retarget(IPAddr address);
  // Removes every rule, waiting for each reply (failures are logged and the
  // rest still go), then empties the table.
  void cleanup();

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
  // Step of addPortMapping for a key that is in the table: the set request,
  // built into `nat`. Sets `ruleLost` when the firewall no longer has the rule
  // (the caller then adds a fresh one with the same message).
  uint32_t updateMapping(bus::message& nat, const PortMappingKey& key, PortMapping& entry,
                         const PortMapping& wanted, bool& ruleLost);
  // Step of addPortMapping that adds a rule with `nat` and stores the mapping.
  uint32_t addMapping(bus::message& nat, const ActionRequest& request, const PortMappingKey& key,
                      const PortMapping& wanted);
  void publishCount();
  void forgetCursor() const { mCursorValid = false; }

  WANIPConnectionService& mService;
  Map mEntries;
  // Position cache for entryAt: the iterator at index mCursorIndex. Dropped on
  // every insertion and erasure.
  mutable bool mCursorValid = false;
  mutable size_t mCursorIndex = 0;
  mutable Map::const_iterator mCursor;
};

}  // namespace upnp
