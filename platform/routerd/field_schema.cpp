#include "platform/routerd/field_schema.h"

#include <cstdio>

namespace routerd {

using bus::FieldType;

FieldSchema::FieldSchema(std::initializer_list<Entry> entries, bool strict) : mStrict(strict) {
  for (const Entry& e : entries) mTypes[e.id] = e.type;
}

bus::message FieldSchema::check(const bus::message& request) const {
  for (const bus::Field& f : request.fields()) {
    if (f.id >= 0xff0000) continue;
    auto it = mTypes.find(f.id);
    if (it == mTypes.end()) {
      if (mStrict) return bus::errorMsg(bus::kErrBadRequest, "unknown field " + fieldIdText(f.id));
      continue;
    }
    if (it->second != f.type) {
      return bus::errorMsg(bus::kErrBadRequest, "field " + fieldIdText(f.id) + " must be " +
                                                    fieldTypeName(it->second) + ", not " +
                                                    fieldTypeName(f.type));
    }
  }
  return {};
}

const char* fieldTypeName(FieldType type) {
  switch (type) {
    case FieldType::U32: return "u32";
    case FieldType::Bool: return "bool";
    case FieldType::String: return "string";
    case FieldType::Be32: return "be32";
    case FieldType::U64: return "u64";
    case FieldType::U32Array: return "u32[]";
    case FieldType::Message: return "message";
  }
  return "?";
}

std::string fieldIdText(uint32_t id) {
  char buf[16];
  std::snprintf(buf, sizeof buf, id >= 0x10000 ? "0x%x" : "%u", id);
  return buf;
}

void copyField(bus::message& out, const bus::Field& field) {
  switch (field.type) {
    case FieldType::U32: out.setU32(field.id, static_cast<uint32_t>(field.number)); break;
    case FieldType::Bool: out.setBool(field.id, field.number != 0); break;
    case FieldType::String: out.setString(field.id, field.bytes); break;
    case FieldType::Be32: out.setBe32(field.id, IPAddr(static_cast<uint32_t>(field.number))); break;
    case FieldType::U64: out.setU64(field.id, field.number); break;
    case FieldType::U32Array: out.setU32Array(field.id, field.array); break;
    case FieldType::Message: {
      // Nested messages arrive validated by the transport; one that does not
      // decode is kept as an empty message rather than dropped, so the field
      // order stays as it came.
      std::optional<bus::message> nested = bus::message::decode(field.bytes);
      out.setMessage(field.id, nested ? *nested : bus::message());
      break;
    }
  }
}

bus::message withoutTransport(const bus::message& request) {
  bus::message out;
  for (const bus::Field& f : request.fields()) {
    if (f.id == bus::kFieldCommand || f.id == bus::kFieldRequestId || f.id == bus::kFieldReplyTo) continue;
    copyField(out, f);
  }
  return out;
}

}  // namespace routerd
