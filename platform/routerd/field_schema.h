#pragma once

#include <cstdint>
#include <initializer_list>
#include <map>
#include <string>

#include "platform/message.h"

namespace routerd {

// The field types that one service accepts in its requests. Every table of
// routerd checks a request against its schema before acting on it, so a
// mistyped field is refused instead of silently read as its default.
class FieldSchema {
 public:
  struct Entry {
    uint32_t id;
    bus::FieldType type;
  };
  // `strict`: fields that the schema does not name are refused too. The bus's
  // own fields (ids 0xff0000 and up) are always allowed.
  FieldSchema(std::initializer_list<Entry> entries, bool strict);

  // An empty message when `request` passes, else errorMsg(kErrBadRequest, why).
  bus::message check(const bus::message& request) const;
  bool knows(uint32_t id) const { return mTypes.count(id) != 0; }

 private:
  std::map<uint32_t, bus::FieldType> mTypes;  // id -> required type
  bool mStrict;                               // refuse unnamed fields
};

// "u32", "bool", "string", "be32", "u64", "u32[]", "message".
const char* fieldTypeName(bus::FieldType type);
// "0xfe0001" for ids from 0x10000 up, decimal below (as the wire tables write them).
std::string fieldIdText(uint32_t id);
// Sets `field` (id, type and value) in `out`, in place when the id is present.
void copyField(bus::message& out, const bus::Field& field);
// A request without the transport's bookkeeping (command, request id, reply-to).
bus::message withoutTransport(const bus::message& request);

}  // namespace routerd
