#include "platform/message.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace bus {

namespace {

void putU32(std::string& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xff));
}

void putU64(std::string& out, uint64_t v) {
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xff));
}

// Bounds-checked cursor over an encoding; every read fails rather than run past
// the end, so a hostile length can never make the decoder over-read.
class Reader {
 public:
  explicit Reader(std::string_view data) : mData(data) {}

  bool atEnd() const { return mPos == mData.size(); }
  size_t left() const { return mData.size() - mPos; }

  bool u8(uint8_t& v) {
    if (left() < 1) return false;
    v = static_cast<uint8_t>(mData[mPos++]);
    return true;
  }
  bool u32(uint32_t& v) {
    if (left() < 4) return false;
    v = 0;
    for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<uint8_t>(mData[mPos + i]);
    mPos += 4;
    return true;
  }
  bool u64(uint64_t& v) {
    if (left() < 8) return false;
    v = 0;
    for (int i = 7; i >= 0; --i) v = (v << 8) | static_cast<uint8_t>(mData[mPos + i]);
    mPos += 8;
    return true;
  }
  bool bytes(size_t n, std::string_view& v) {
    if (left() < n) return false;
    v = mData.substr(mPos, n);
    mPos += n;
    return true;
  }

 private:
  std::string_view mData;  // the whole encoding, not owned
  size_t mPos = 0;         // next byte to read
};

std::optional<std::vector<Field>> decodeAt(std::string_view data, int depth);

bool readPayload(Reader& in, Field& f, int depth) {
  uint32_t n = 0;
  std::string_view view;
  switch (f.type) {
    case FieldType::U32:
      if (!in.u32(n)) return false;
      f.number = n;
      return true;
    case FieldType::Bool: {
      uint8_t b = 0;
      if (!in.u8(b) || b > 1) return false;
      f.number = b;
      return true;
    }
    case FieldType::Be32:
      if (!in.bytes(4, view)) return false;
      std::memcpy(&n, view.data(), 4);
      f.number = n;
      return true;
    case FieldType::U64:
      return in.u64(f.number);
    case FieldType::String:
      if (!in.u32(n) || !in.bytes(n, view)) return false;
      f.bytes.assign(view);
      return true;
    case FieldType::U32Array:
      // The count is checked against what is left before anything is reserved.
      if (!in.u32(n) || n > in.left() / 4) return false;
      f.array.resize(n);
      for (uint32_t i = 0; i < n; ++i) {
        if (!in.u32(f.array[i])) return false;
      }
      return true;
    case FieldType::Message:
      if (!in.u32(n) || !in.bytes(n, view)) return false;
      if (!decodeAt(view, depth + 1)) return false;
      f.bytes.assign(view);
      return true;
  }
  return false;  // unknown type
}

bool knownType(uint8_t t) {
  return t >= static_cast<uint8_t>(FieldType::U32) && t <= static_cast<uint8_t>(FieldType::Message);
}

std::optional<std::vector<Field>> decodeAt(std::string_view data, int depth) {
  if (data.size() > message::kMaxSize || depth > message::kMaxDepth) return std::nullopt;
  Reader in(data);
  std::vector<Field> fields;
  while (!in.atEnd()) {
    Field f;
    uint8_t type = 0;
    if (!in.u32(f.id) || !in.u8(type) || !knownType(type)) return std::nullopt;
    f.type = static_cast<FieldType>(type);
    if (!readPayload(in, f, depth)) return std::nullopt;
    fields.push_back(std::move(f));
  }
  std::vector<uint32_t> ids;
  ids.reserve(fields.size());
  for (const Field& f : fields) ids.push_back(f.id);
  std::sort(ids.begin(), ids.end());
  if (std::adjacent_find(ids.begin(), ids.end()) != ids.end()) return std::nullopt;
  return fields;
}

std::string formatNumber(uint64_t v) {
  if (v < 0x10000) return std::to_string(v);
  char buf[24];
  snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(v));
  return buf;
}

std::string quote(std::string_view s) {
  std::string out = "\"";
  for (char c : s) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (u >= 0x20 && u < 0x7f) {
      out += c;
    } else {
      char buf[8];
      snprintf(buf, sizeof buf, "\\x%02x", u);
      out += buf;
    }
  }
  return out + "\"";
}

}  // namespace

Field& message::slot(uint32_t id, FieldType type) {
  for (Field& f : mFields) {
    if (f.id == id) {
      f = Field();
      f.id = id;
      f.type = type;
      return f;
    }
  }
  Field& f = mFields.emplace_back();
  f.id = id;
  f.type = type;
  return f;
}

void message::setU32(uint32_t id, uint32_t value) { slot(id, FieldType::U32).number = value; }
void message::setBool(uint32_t id, bool value) { slot(id, FieldType::Bool).number = value ? 1 : 0; }
void message::setString(uint32_t id, std::string_view value) { slot(id, FieldType::String).bytes.assign(value); }
void message::setBe32(uint32_t id, IPAddr value) { slot(id, FieldType::Be32).number = value.raw(); }
void message::setU64(uint32_t id, uint64_t value) { slot(id, FieldType::U64).number = value; }
void message::setU32Array(uint32_t id, std::vector<uint32_t> value) {
  slot(id, FieldType::U32Array).array = std::move(value);
}
void message::setMessage(uint32_t id, const message& value) {
  // Encode before touching our own fields: `value` may be this very message.
  std::string encoded = value.encode();
  slot(id, FieldType::Message).bytes = std::move(encoded);
}

const Field* message::find(uint32_t id) const {
  for (const Field& f : mFields) {
    if (f.id == id) return &f;
  }
  return nullptr;
}

bool message::has(uint32_t id) const { return find(id) != nullptr; }

void message::remove(uint32_t id) {
  std::erase_if(mFields, [id](const Field& f) { return f.id == id; });
}

uint32_t message::getU32(uint32_t id, uint32_t def) const {
  const Field* f = find(id);
  return f && f->type == FieldType::U32 ? static_cast<uint32_t>(f->number) : def;
}

bool message::getBool(uint32_t id, bool def) const {
  const Field* f = find(id);
  return f && f->type == FieldType::Bool ? f->number != 0 : def;
}

std::string message::getString(uint32_t id, std::string_view def) const {
  const Field* f = find(id);
  return f && f->type == FieldType::String ? f->bytes : std::string(def);
}

IPAddr message::getBe32(uint32_t id, IPAddr def) const {
  const Field* f = find(id);
  return f && f->type == FieldType::Be32 ? IPAddr(static_cast<uint32_t>(f->number)) : def;
}

uint64_t message::getU64(uint32_t id, uint64_t def) const {
  const Field* f = find(id);
  return f && f->type == FieldType::U64 ? f->number : def;
}

std::vector<uint32_t> message::getU32Array(uint32_t id, std::vector<uint32_t> def) const {
  const Field* f = find(id);
  return f && f->type == FieldType::U32Array ? f->array : def;
}

message message::getMessage(uint32_t id, const message& def) const {
  const Field* f = find(id);
  if (!f || f->type != FieldType::Message) return def;
  std::optional<message> m = decode(f->bytes);
  return m ? std::move(*m) : def;
}

std::string message::encode() const {
  std::string out;
  for (const Field& f : mFields) {
    putU32(out, f.id);
    out.push_back(static_cast<char>(f.type));
    switch (f.type) {
      case FieldType::U32:
        putU32(out, static_cast<uint32_t>(f.number));
        break;
      case FieldType::Bool:
        out.push_back(f.number ? 1 : 0);
        break;
      case FieldType::Be32: {
        // The address is already in network order; its bytes go out as they are.
        const auto raw = static_cast<uint32_t>(f.number);
        char buf[4];
        std::memcpy(buf, &raw, 4);
        out.append(buf, 4);
        break;
      }
      case FieldType::U64:
        putU64(out, f.number);
        break;
      case FieldType::String:
      case FieldType::Message:
        putU32(out, static_cast<uint32_t>(f.bytes.size()));
        out += f.bytes;
        break;
      case FieldType::U32Array:
        putU32(out, static_cast<uint32_t>(f.array.size()));
        for (uint32_t v : f.array) putU32(out, v);
        break;
    }
  }
  return out;
}

std::optional<message> message::decode(std::string_view data) {
  std::optional<std::vector<Field>> fields = decodeAt(data, 0);
  if (!fields) return std::nullopt;
  message m;
  m.mFields = std::move(*fields);
  return m;
}

std::string message::toString() const {
  std::string out = "{";
  for (const Field& f : mFields) {
    if (out.size() > 1) out += ", ";
    out += formatNumber(f.id) + "=";
    switch (f.type) {
      case FieldType::U32:
        out += "u32:" + formatNumber(f.number);
        break;
      case FieldType::Bool:
        out += f.number ? "bool:true" : "bool:false";
        break;
      case FieldType::Be32:
        out += "be32:" + IPAddr(static_cast<uint32_t>(f.number)).toString();
        break;
      case FieldType::U64:
        out += "u64:" + std::to_string(f.number);
        break;
      case FieldType::String:
        out += "str:";
        out += quote(f.bytes);
        break;
      case FieldType::U32Array:
        out += "arr:[";
        for (size_t i = 0; i < f.array.size(); ++i) {
          if (i) out += ',';
          out += formatNumber(f.array[i]);
        }
        out += "]";
        break;
      case FieldType::Message: {
        std::optional<message> nested = decode(f.bytes);
        out += "msg:" + (nested ? nested->toString() : std::string("<undecodable>"));
        break;
      }
    }
  }
  return out + "}";
}

bool message::operator==(const message& other) const {
  if (mFields.size() != other.mFields.size()) return false;
  for (size_t i = 0; i < mFields.size(); ++i) {
    const Field& a = mFields[i];
    const Field& b = other.mFields[i];
    if (a.id != b.id || a.type != b.type || a.number != b.number || a.bytes != b.bytes ||
        a.array != b.array) {
      return false;
    }
  }
  return true;
}

message errorMsg(uint32_t code, std::string_view text) {
  message m;
  m.setU32(kFieldErrorCode, code);
  m.setString(kFieldErrorText, text);
  return m;
}

message failedMsg(std::string_view text) { return errorMsg(kErrFailed, text); }

bool isError(const message& reply) { return reply.has(kFieldErrorCode); }

uint32_t getErrorCode(const message& reply) { return reply.getU32(kFieldErrorCode, 0); }

std::string getError(const message& reply) {
  return isError(reply) ? reply.getString(kFieldErrorText) : std::string();
}

}  // namespace bus
