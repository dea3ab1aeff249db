#include "platform/routerd/identity_service.h"

#include "platform/routerd/router_protocol.h"

namespace routerd {

bus::message IdentityService::handle(const bus::message& request) {
  switch (request.getU32(bus::kFieldCommand)) {
    case bus::kCmdGet: {
      bus::message reply;
      reply.setString(kIdentityField, mIdentity);
      return reply;
    }
    case bus::kCmdSet: {
      const bus::Field* f = request.find(kIdentityField);
      if (!f || f->type != bus::FieldType::String || !setIdentity(f->bytes)) {
        return bus::errorMsg(bus::kErrBadRequest, "identity must be 1..256 printable bytes (string 1)");
      }
      return {};
    }
    default:
      return bus::errorMsg(bus::kErrUnknownCommand, "unknown command");
  }
}

bool IdentityService::setIdentity(const std::string& identity) {
  if (identity.empty() || identity.size() > kMaxBytes) return false;
  // The identity ends up in UDNs inside XML and SSDP headers.
  for (unsigned char c : identity) {
    if (c <= ' ' || c >= 0x7f || c == '<' || c == '>' || c == '&' || c == '"') return false;
  }
  mIdentity = identity;
  return true;
}

}  // namespace routerd
