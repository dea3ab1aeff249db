#include "platform/routerd/address_table.h"

#include "platform/routerd/interface_table.h"
#include "platform/routerd/router_protocol.h"

namespace routerd {

namespace {

using bus::FieldType;

bool needsId(uint32_t command) {
  return command == bus::kCmdSetObject || command == bus::kCmdRemoveObject ||
         command == bus::kCmdGetObject;
}

}  // namespace

AddressTable::AddressTable(RouterBackend& backend, const InterfaceTable& interfaces)
    : TypedAMap("", 1, 0xfffffffe),
      mBackend(backend),
      mInterfaces(interfaces),
      mSchema({{bus::kFieldObjectId, FieldType::U32},
               {bus::kFieldGetFlags, FieldType::U32},
               {bus::kFieldDisabled, FieldType::Bool},
               {kAddrFieldAddress, FieldType::Be32},
               {kAddrFieldPrefix, FieldType::U32},
               {kAddrFieldInterface, FieldType::U32}},
              /*strict=*/false) {}

size_t AddressTable::countOnInterface(uint32_t interfaceId) const {
  size_t n = 0;
  for (const auto& [id, obj] : objects()) {
    if (static_cast<const RouterAddress&>(*obj).interfaceId() == interfaceId) ++n;
  }
  return n;
}

bus::message AddressTable::handle(const bus::message& request) {
  bus::message refusal = mSchema.check(request);
  if (bus::isError(refusal)) return refusal;
  if (needsId(request.getU32(bus::kFieldCommand)) && !request.has(bus::kFieldObjectId)) {
    return bus::errorMsg(bus::kErrBadRequest, "missing object id");
  }
  return AMap::handle(request);
}

bus::message AddressTable::validate(const RouterAddress& addr) const {
  if (addr.address().isZero()) return bus::errorMsg(bus::kErrBadRequest, "missing address");
  if (addr.prefix() > 32) return bus::errorMsg(bus::kErrBadRequest, "bad prefix length");
  if (!mInterfaces.find(addr.interfaceId())) return bus::errorMsg(bus::kErrBadRequest, "no such interface");
  for (const auto& [id, obj] : objects()) {
    if (id != addr.id() && static_cast<const RouterAddress&>(*obj).address() == addr.address()) {
      return bus::errorMsg(bus::kErrExists, "address in use");
    }
  }
  return {};
}

bus::message AddressTable::onAddObj(RouterAddress& obj) {
  bus::message refusal = validate(obj);
  if (bus::isError(refusal)) return refusal;
  bus::Status status = mBackend.applyAddress(obj, *mInterfaces.find(obj.interfaceId()), true);
  if (!status.isOk()) return bus::failedMsg(status.text());
  return {};
}

bus::message AddressTable::onSetObj(const RouterAddress& old, RouterAddress& neu) {
  bus::message refusal = validate(neu);
  if (bus::isError(refusal)) return refusal;
  // The kernel keeps addresses by value: a change is a removal and an addition.
  bus::Status status = mBackend.applyAddress(old, *mInterfaces.find(old.interfaceId()), false);
  if (status.isOk()) status = mBackend.applyAddress(neu, *mInterfaces.find(neu.interfaceId()), true);
  if (!status.isOk()) return bus::failedMsg(status.text());
  return {};
}

bus::message AddressTable::onRemoveObj(const RouterAddress& obj) {
  const RouterDevice* dev = mInterfaces.find(obj.interfaceId());
  if (dev) {
    bus::Status status = mBackend.applyAddress(obj, *dev, false);
    if (!status.isOk()) return bus::failedMsg(status.text());
  }
  return {};
}

}  // namespace routerd
