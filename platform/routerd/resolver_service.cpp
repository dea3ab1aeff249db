#include "platform/routerd/resolver_service.h"

#include <iterator>

#include "platform/routerd/paged_list.h"
#include "platform/routerd/router_protocol.h"

namespace routerd {

namespace {

bool validName(const bus::Field* f) {
  return f && f->type == bus::FieldType::String && !f->bytes.empty() &&
         f->bytes.size() <= ResolverService::kMaxNameBytes;
}

}  // namespace

bus::message ResolverService::handle(const bus::message& request) {
  switch (request.getU32(bus::kFieldCommand)) {
    case kCmdResolve:
      return cmdResolve(request);
    case kCmdResolverAdd:
      return cmdAdd(request);
    case kCmdResolverList:
      return PagedList::reply(request, mHosts.size(), [&](size_t i) {
        auto it = std::next(mHosts.begin(), static_cast<std::ptrdiff_t>(i));
        bus::message item;
        item.setString(kResolveFieldName, it->first);
        item.setBe32(kResolveFieldAddress, it->second);
        return item;
      });
    default:
      return bus::errorMsg(bus::kErrUnknownCommand, "unknown command");
  }
}

bool ResolverService::add(const std::string& name, IPAddr address) {
  if (name.empty() || name.size() > kMaxNameBytes || address.isZero()) return false;
  if (!mHosts.count(name) && mHosts.size() >= kMaxEntries) return false;
  mHosts[name] = address;
  return true;
}

bus::message ResolverService::cmdResolve(const bus::message& request) const {
  const bus::Field* name = request.find(kResolveFieldName);
  if (!validName(name)) return bus::errorMsg(bus::kErrBadRequest, "missing host name (string 3)");
  std::optional<IPAddr> literal = IPAddr::parse(name->bytes);
  auto it = mHosts.find(name->bytes);
  std::optional<IPAddr> found = literal;
  if (!found && it != mHosts.end()) found = it->second;
  if (!found && mFallback) found = mFallback(name->bytes);
  if (!found) return bus::errorMsg(bus::kErrNoSuchItem, "unknown host " + name->bytes);
  bus::message reply;
  reply.setBe32(kResolveFieldAddress, *found);
  return reply;
}

bus::message ResolverService::cmdAdd(const bus::message& request) {
  const bus::Field* name = request.find(kResolveFieldName);
  const bus::Field* address = request.find(kResolveFieldAddress);
  if (!validName(name)) return bus::errorMsg(bus::kErrBadRequest, "missing host name (string 3)");
  if (!address || address->type != bus::FieldType::Be32 || address->number == 0) {
    return bus::errorMsg(bus::kErrBadRequest, "missing address (be32 4)");
  }
  if (!add(name->bytes, IPAddr(static_cast<uint32_t>(address->number)))) {
    return bus::failedMsg("resolver table full");
  }
  return {};
}

}  // namespace routerd
