#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/amap.h"
#include "platform/routerd/field_schema.h"
#include "platform/routerd/router_address.h"
#include "platform/routerd/router_backend.h"

namespace routerd {

class InterfaceTable;

// The router's address table, served at [20, 1] with the object-map protocol.
// Held in memory only. An entry needs a nonzero address, a prefix of 0..32 and
// an existing interface; one address appears at most once in the table.
// Mistyped fields are refused with kErrBadRequest. Loop thread only.
class AddressTable : public bus::TypedAMap<RouterAddress> {
 public:
  // `backend` and `interfaces` must outlive the table.
  AddressTable(RouterBackend& backend, const InterfaceTable& interfaces);

  size_t countOnInterface(uint32_t interfaceId) const;

  bus::message handle(const bus::message& request) override;

  bus::message onAddObj(RouterAddress& obj) override;
  bus::message onSetObj(const RouterAddress& old, RouterAddress& neu) override;
  bus::message onRemoveObj(const RouterAddress& obj) override;

 private:
  bus::message validate(const RouterAddress& addr) const;

  RouterBackend& mBackend;
  const InterfaceTable& mInterfaces;
  FieldSchema mSchema;  // accepted request fields
};

}  // namespace routerd
