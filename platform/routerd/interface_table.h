#pragma once

#include <cstdint>
#include <string_view>

#include "platform/amap.h"
#include "platform/routerd/field_schema.h"
#include "platform/routerd/router_backend.h"
#include "platform/routerd/router_device.h"

namespace routerd {

class AddressTable;

// The router's interface table, served at [20, 0] with the object-map protocol
// (add, set, remove, get, list, change subscriptions). Held in memory only.
// Names must be unique and free of blanks and control bytes; kernel names are
// 1..15 bytes. The kernel index is looked up from the kernel name on every add
// and set (a client's value is ignored), and so is `running` when the backend
// knows it. A get with kGetFlagStats answers the
// backend's counters. Requests with a mistyped field are refused with
// kErrBadRequest. Loop thread only.
class InterfaceTable : public bus::TypedAMap<RouterDevice> {
 public:
  // `backend` must outlive the table.
  explicit InterfaceTable(RouterBackend& backend);

  // Interfaces that still have addresses cannot be removed. `addresses` (may be
  // null) must outlive the table.
  void setAddressTable(const AddressTable* addresses) { mAddresses = addresses; }
  // The id of the interface called `name`, or 0.
  uint32_t findByName(std::string_view name) const;

  bus::message handle(const bus::message& request) override;
  bus::message getObject(uint32_t id, uint32_t flags) override;

  bus::message onAddObj(RouterDevice& obj) override;
  bus::message onSetObj(const RouterDevice& old, RouterDevice& neu) override;
  bus::message onRemoveObj(const RouterDevice& obj) override;

 private:
  bus::message validate(const RouterDevice& dev) const;

  RouterBackend& mBackend;
  const AddressTable* mAddresses = nullptr;  // for the removal check
  FieldSchema mSchema;                       // accepted request fields
};

}  // namespace routerd
