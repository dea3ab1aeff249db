#include "platform/routerd/interface_table.h"

#include "platform/routerd/address_table.h"
#include "platform/routerd/router_protocol.h"

namespace routerd {

namespace {

using bus::FieldType;

constexpr size_t kMaxNameLength = 64;
constexpr size_t kMaxKernelNameLength = 15;  // IFNAMSIZ without the terminator

// Names end up in tables, config lines and log lines: blanks or control bytes
// in them would break every one of those.
bool printableWord(std::string_view text) {
  for (unsigned char c : text) {
    if (c <= ' ' || c == 0x7f || c == '=') return false;
  }
  return !text.empty();
}

bool needsId(uint32_t command) {
  return command == bus::kCmdSetObject || command == bus::kCmdRemoveObject ||
         command == bus::kCmdGetObject;
}

}  // namespace

InterfaceTable::InterfaceTable(RouterBackend& backend)
    : TypedAMap("", 1, 0xfffffffe),
      mBackend(backend),
      mSchema({{bus::kFieldObjectId, FieldType::U32},
               {bus::kFieldGetFlags, FieldType::U32},
               {bus::kFieldDisabled, FieldType::Bool},
               {kDevName, FieldType::String},
               {kDevToken, FieldType::U32},
               {kDevStatus, FieldType::U32},
               {kDevIfIndex, FieldType::U32},
               {kDevKernelName, FieldType::String},
               {kDevRxBytes, FieldType::U64},
               {kDevTxBytes, FieldType::U64},
               {kDevRxPackets, FieldType::U64},
               {kDevTxPackets, FieldType::U64}},
              /*strict=*/false) {}

uint32_t InterfaceTable::findByName(std::string_view name) const {
  for (const auto& [id, obj] : objects()) {
    if (static_cast<const RouterDevice&>(*obj).name() == name) return id;
  }
  return 0;
}

bus::message InterfaceTable::handle(const bus::message& request) {
  bus::message refusal = mSchema.check(request);
  if (bus::isError(refusal)) return refusal;
  if (needsId(request.getU32(bus::kFieldCommand)) && !request.has(bus::kFieldObjectId)) {
    return bus::errorMsg(bus::kErrBadRequest, "missing object id");
  }
  return AMap::handle(request);
}

bus::message InterfaceTable::getObject(uint32_t id, uint32_t flags) {
  if (!(flags & kGetFlagStats)) return AMap::getObject(id, flags);
  const RouterDevice* dev = find(id);
  if (!dev) return bus::errorMsg(bus::kErrNoSuchItem, "no such interface");
  const DeviceCounters c = mBackend.readCounters(*dev);
  bus::message reply;
  reply.setU32(bus::kFieldObjectId, id);
  reply.setU64(kDevRxBytes, c.rxBytes);
  reply.setU64(kDevTxBytes, c.txBytes);
  reply.setU64(kDevRxPackets, c.rxPackets);
  reply.setU64(kDevTxPackets, c.txPackets);
  return reply;
}

bus::message InterfaceTable::validate(const RouterDevice& dev) const {
  if (dev.name().size() > kMaxNameLength || !printableWord(dev.name())) {
    return bus::errorMsg(bus::kErrBadRequest, "bad interface name");
  }
  if (dev.kernelName().size() > kMaxKernelNameLength || !printableWord(dev.kernelName())) {
    return bus::errorMsg(bus::kErrBadRequest, "bad kernel name");
  }
  for (const auto& [id, obj] : objects()) {
    if (id != dev.id() && static_cast<const RouterDevice&>(*obj).name() == dev.name()) {
      return bus::errorMsg(bus::kErrExists, "interface name in use");
    }
  }
  return {};
}

bus::message InterfaceTable::onAddObj(RouterDevice& obj) {
  bus::message refusal = validate(obj);
  if (bus::isError(refusal)) return refusal;
  obj.setIfIndex(mBackend.kernelIndex(obj.kernelName()));
  if (std::optional<bool> running = mBackend.kernelRunning(obj.kernelName())) obj.setRunning(*running);
  bus::Status status = mBackend.applyInterface(obj);
  if (!status.isOk()) return bus::failedMsg(status.text());
  return {};
}

bus::message InterfaceTable::onSetObj(const RouterDevice& old, RouterDevice& neu) {
  (void)old;
  return onAddObj(neu);
}

bus::message InterfaceTable::onRemoveObj(const RouterDevice& obj) {
  if (mAddresses && mAddresses->countOnInterface(obj.id()) != 0) {
    return bus::failedMsg("interface has addresses");
  }
  bus::Status status = mBackend.removeInterface(obj);
  if (!status.isOk()) return bus::failedMsg(status.text());
  return {};
}

}  // namespace routerd
