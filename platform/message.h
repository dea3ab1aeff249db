#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/ip_addr.h"

namespace bus {

// Field ids of the bus protocol and of the object maps.
inline constexpr uint32_t kFieldDestination = 0xff0001;  // u32 array: [address, handler, ...]
inline constexpr uint32_t kFieldRequestId = 0xff0003;    // u32: set on requests that wait for a reply
inline constexpr uint32_t kFieldReplyTo = 0xff0005;      // u32: request id that a reply answers
inline constexpr uint32_t kFieldCommand = 0xff0007;      // u32
inline constexpr uint32_t kFieldErrorCode = 0xff0008;    // u32: present only on error replies
inline constexpr uint32_t kFieldErrorText = 0xff0009;    // string: text of an error reply
inline constexpr uint32_t kFieldObjectId = 0xfe0001;
inline constexpr uint32_t kFieldDynamic = 0xfe0007;
inline constexpr uint32_t kFieldDisabled = 0xfe000a;
inline constexpr uint32_t kFieldGetFlags = 0xfe000c;
inline constexpr uint32_t kFieldDefaults = 0xfe001d;

// Commands.
inline constexpr uint32_t kCmdGetObject = 0xfe0002;
inline constexpr uint32_t kCmdSetObject = 0xfe0003;
inline constexpr uint32_t kCmdAddObject = 0xfe0005;
inline constexpr uint32_t kCmdRemoveObject = 0xfe0006;
inline constexpr uint32_t kCmdGet = 0xfe000d;
inline constexpr uint32_t kCmdSet = 0xfe000e;
// Commands of our own, not used by the router's firmware: listing a map, change
// subscriptions (see mirror.h) and log lines.
inline constexpr uint32_t kCmdListObjects = 0xfe0010;
inline constexpr uint32_t kCmdSubscribe = 0xfe0020;
inline constexpr uint32_t kCmdUnsubscribe = 0xfe0021;
inline constexpr uint32_t kCmdChanged = 0xfe0022;
inline constexpr uint32_t kCmdLogLine = 0xfe0030;

// Error codes.
inline constexpr uint32_t kErrFailed = 0xfe0002;      // failedMsg
inline constexpr uint32_t kErrNotAllowed = 0xfe0003;  // default refusal of an object-map hook
inline constexpr uint32_t kErrNoSuchItem = 0xfe0004;  // unknown object id
inline constexpr uint32_t kErrExists = 0xfe0006;
inline constexpr uint32_t kErrTimeout = 0xfe0011;       // exchangeCmd: no reply in time
inline constexpr uint32_t kErrUnreachable = 0xfe0012;   // exchangeCmd: no such address or broken link
inline constexpr uint32_t kErrUnknownCommand = 0xfe0013;
inline constexpr uint32_t kErrBadRequest = 0xfe0014;    // malformed request fields

enum class FieldType : uint8_t { U32 = 1, Bool = 2, String = 3, Be32 = 4, U64 = 5, U32Array = 6, Message = 7 };

class message;

// One typed field. Nested messages are held encoded ("flattened") in `bytes`.
struct Field {
  uint32_t id = 0;
  FieldType type = FieldType::U32;
  uint64_t number = 0;           // U32, Bool, Be32 (network order), U64
  std::string bytes;             // String, or the encoding of a nested Message
  std::vector<uint32_t> array;   // U32Array
};

// A message of the bus: fields keyed by u32 ids, kept in the order in which they
// were first added. Setting an id that is already present replaces its type and
// value in place: the field keeps its original position and there is never more
// than one field per id. Getters return the default when the field is absent or
// has another type.
class message {
 public:
  message() = default;

  void setU32(uint32_t id, uint32_t value);
  void setBool(uint32_t id, bool value);
  void setString(uint32_t id, std::string_view value);
  void setBe32(uint32_t id, IPAddr value);
  void setU64(uint32_t id, uint64_t value);
  void setU32Array(uint32_t id, std::vector<uint32_t> value);
  void setMessage(uint32_t id, const message& value);

  uint32_t getU32(uint32_t id, uint32_t def = 0) const;
  bool getBool(uint32_t id, bool def = false) const;
  std::string getString(uint32_t id, std::string_view def = {}) const;
  IPAddr getBe32(uint32_t id, IPAddr def = IPAddr()) const;
  uint64_t getU64(uint32_t id, uint64_t def = 0) const;
  std::vector<uint32_t> getU32Array(uint32_t id, std::vector<uint32_t> def = {}) const;
  // Absent, of another type or undecodable: the default (an empty message).
  message getMessage(uint32_t id, const message& def = message()) const;

  bool has(uint32_t id) const;
  const Field* find(uint32_t id) const;  // null when absent; valid until the next change
  void remove(uint32_t id);
  bool empty() const { return mFields.empty(); }
  const std::vector<Field>& fields() const { return mFields; }

  // Compact binary form, used on the wire and for persistence.
  std::string encode() const;
  // Rejects every malformed input (truncation, bad lengths, unknown types, nesting
  // deeper than kMaxDepth, input over kMaxSize) with nullopt; never reads outside
  // `data`. Nested messages are validated too.
  static std::optional<message> decode(std::string_view data);

  // Readable one-line form for tools and logs: {0xff0007=u32:0xfe0002, 1=str:"x", ...}
  std::string toString() const;

  bool operator==(const message& other) const;

  static constexpr size_t kMaxSize = 1 << 20;
  static constexpr int kMaxDepth = 8;

 private:
  Field& slot(uint32_t id, FieldType type);

  std::vector<Field> mFields;  // in order of first addition
};

// Error replies: `errorMsg` carries the code in kFieldErrorCode and the text in
// kFieldErrorText; `failedMsg` is errorMsg(kErrFailed, text).
message errorMsg(uint32_t code, std::string_view text);
message failedMsg(std::string_view text);
bool isError(const message& reply);
uint32_t getErrorCode(const message& reply);  // 0 when not an error
std::string getError(const message& reply);   // the text; "" when not an error

}  // namespace bus
