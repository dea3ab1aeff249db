#include "platform/message.h"

#include <gtest/gtest.h>

#include <map>

namespace bus {
namespace {

// Raw encoding helpers, independent of message::encode, so the tests pin the
// wire format rather than restate it.
std::string le32(uint32_t v) {
  std::string s;
  for (int i = 0; i < 4; ++i) s.push_back(static_cast<char>(v >> (8 * i)));
  return s;
}

std::string head(uint32_t id, uint8_t type) { return le32(id) + static_cast<char>(type); }

// One field of every type, with values whose bytes differ so that swapped or
// truncated bytes show.
message everyType() {
  message inner;
  inner.setU32(1, 7);
  inner.setString(2, "in");
  message m;
  m.setU32(0x01020304, 0xa0b0c0d0);
  m.setBool(2, true);
  m.setString(3, std::string("a\0b", 3));
  m.setBe32(4, *IPAddr::parse("10.1.2.3"));
  m.setU64(5, 0x1122334455667788ull);
  m.setU32Array(6, {20, 5, 0xffffffff});
  m.setMessage(7, inner);
  return m;
}

// The encoding of everyType(), field by field.
std::vector<std::string> everyTypeBytes() {
  const std::string inner = head(1, 1) + le32(7) + head(2, 3) + le32(2) + "in";
  return {head(0x01020304, 1) + "\xd0\xc0\xb0\xa0",
          head(2, 2) + "\x01",
          head(3, 3) + le32(3) + std::string("a\0b", 3),
          head(4, 4) + "\x0a\x01\x02\x03",  // network order
          head(5, 5) + "\x88\x77\x66\x55\x44\x33\x22\x11",
          head(6, 6) + le32(3) + le32(20) + le32(5) + le32(0xffffffff),
          head(7, 7) + le32(static_cast<uint32_t>(inner.size())) + inner};
}

TEST(MessageTest, EncodingIsPinnedForEveryType) {
  std::string expected;
  for (const std::string& field : everyTypeBytes()) expected += field;
  EXPECT_EQ(everyType().encode(), expected);
}

TEST(MessageTest, RoundTripsKeepEveryTypeValueAndNesting) {
  message empties;
  empties.setString(1, "");
  empties.setU32Array(2, {});
  empties.setMessage(3, message());
  empties.setBool(4, false);
  message leaf;
  leaf.setBe32(1, *IPAddr::parse("192.168.88.1"));
  message mid;
  mid.setMessage(1, leaf);
  mid.setU32(2, 9);
  message threeDeep;
  threeDeep.setMessage(0xfe001d, mid);
  for (const message& m : {everyType(), empties, threeDeep, message()}) {
    std::optional<message> back = message::decode(m.encode());
    ASSERT_TRUE(back) << m.toString();
    EXPECT_EQ(back->toString(), m.toString());
  }
  EXPECT_TRUE(message::decode(empties.encode())->has(3));
  EXPECT_EQ(message::decode(threeDeep.encode())->getMessage(0xfe001d).getMessage(1).getBe32(1).toString(),
            "192.168.88.1");
}

TEST(MessageTest, SettingAnExistingIdReplacesTypeAndValueInPlace) {
  message m;
  m.setU32(10, 1);
  m.setString(20, "x");
  m.setBool(30, true);
  m.setString(10, "now a string");  // other type, same id
  m.setU32(20, 2);
  m.setMessage(40, m);  // a message set into itself nests its old content
  message expected;
  expected.setString(10, "now a string");
  expected.setU32(20, 2);
  expected.setBool(30, true);
  message nested = expected;
  expected.setMessage(40, nested);
  // Same bytes: the old payloads are gone and the positions kept.
  EXPECT_EQ(m.encode(), expected.encode());
}

TEST(MessageTest, GettersReturnDefaultWhenAbsentOrOfAnotherType) {
  message m;
  m.setString(1, "text");
  m.setU32(2, 3);
  EXPECT_EQ(m.getU32(1, 42), 42u);
  EXPECT_EQ(m.getU32(9, 43), 43u);
  EXPECT_TRUE(m.getBool(2, true));
  EXPECT_EQ(m.getString(2, "d"), "d");
  EXPECT_EQ(m.getBe32(1, IPAddr(5)).raw(), 5u);
  EXPECT_EQ(m.getU64(2, 6), 6u);  // a u32 is not a u64
  EXPECT_EQ(m.getU32Array(1, {1}), std::vector<uint32_t>{1});
  message def;
  def.setU32(1, 1);
  EXPECT_EQ(m.getMessage(1, def), def);
}

TEST(MessageTest, RemoveDropsOnlyThatField) {
  message m = everyType();
  m.remove(3);
  m.remove(999);
  EXPECT_EQ(m.find(3), nullptr);
  ASSERT_EQ(m.fields().size(), 6u);
  EXPECT_EQ(m.fields()[2].type, FieldType::Be32);
}

// Every prefix of a valid encoding is either a whole number of fields (and then
// decodes to exactly those fields) or rejected.
TEST(MessageTest, TruncationAtEveryByteIsRejectedUnlessAtAFieldBoundary) {
  const std::string full = everyType().encode();
  std::map<size_t, size_t> fieldsAt{{0, 0}};
  size_t pos = 0, count = 0;
  for (const std::string& field : everyTypeBytes()) fieldsAt[pos += field.size()] = ++count;
  for (size_t len = 0; len <= full.size(); ++len) {
    std::optional<message> got = message::decode(std::string_view(full).substr(0, len));
    auto boundary = fieldsAt.find(len);
    if (boundary == fieldsAt.end()) {
      EXPECT_FALSE(got) << "prefix of " << len << " bytes accepted";
    } else {
      ASSERT_TRUE(got) << "prefix of " << len << " bytes rejected";
      EXPECT_EQ(got->fields().size(), boundary->second);
    }
  }
  // The same inside a nested message whose outer length is consistent.
  const std::string inner = everyType().find(7)->bytes;
  for (size_t len = 1; len < inner.size(); ++len) {
    if (len == 9) continue;  // one whole field: a valid message
    const std::string enc = head(7, 7) + le32(static_cast<uint32_t>(len)) + inner.substr(0, len);
    EXPECT_FALSE(message::decode(enc)) << "nested prefix of " << len << " bytes accepted";
  }
}

// A chain of `levels` nested messages below the top one.
std::string nestedChain(int levels) {
  std::string enc = head(1, 1) + le32(1);
  for (int i = 0; i < levels; ++i) enc = head(2, 7) + le32(static_cast<uint32_t>(enc.size())) + enc;
  return enc;
}

// A single string field making the whole input `total` bytes long.
std::string inputOfSize(size_t total) {
  const size_t len = total - 9;
  return head(1, 3) + le32(static_cast<uint32_t>(len)) + std::string(len, 'x');
}

TEST(MessageTest, MalformedInputsAreRejected) {
  const std::string u32Field = head(1, 1) + le32(5);
  const struct {
    const char* what;
    std::string bytes;
  } table[] = {
      {"id only", le32(1)},
      {"id and half a type", std::string("\x01\x00\x00", 3)},
      {"type 0", head(1, 0) + le32(5)},
      {"type 8", head(1, 8) + le32(5)},
      {"type 255", head(1, 255) + le32(5)},
      {"bool 2", head(1, 2) + "\x02"},
      {"bool 0xff", head(1, 2) + "\xff"},
      {"string length one past the end", head(1, 3) + le32(4) + "abc"},
      {"string length 0xffffffff", head(1, 3) + le32(0xffffffff) + "abc"},
      {"string length missing", head(1, 3) + "\x01\x00"},
      {"array count one past the end", head(1, 6) + le32(2) + le32(1)},
      {"array count 0x40000000", head(1, 6) + le32(0x40000000) + le32(1)},
      {"array count 0xffffffff", head(1, 6) + le32(0xffffffff)},
      {"array with a partial element", head(1, 6) + le32(1) + "\x01\x02"},
      {"nested length past the end", head(1, 7) + le32(10) + u32Field},
      {"nested length 0xffffffff", head(1, 7) + le32(0xffffffff) + u32Field},
      {"nested holds garbage", head(1, 7) + le32(3) + "abc"},
      {"nested holds a bad bool", head(1, 7) + le32(6) + head(1, 2) + "\x07"},
      {"be32 short", head(1, 4) + std::string("\x0a\x00", 2)},
      {"u64 short", head(1, 5) + le32(1)},
      {"duplicate id same type", u32Field + u32Field},
      {"duplicate id other type", u32Field + head(1, 2) + "\x01"},
      {"duplicate id far apart", u32Field + head(2, 2) + "\x01" + head(1, 3) + le32(0)},
      {"duplicate id inside nested", head(9, 7) + le32(18) + u32Field + u32Field},
      {"trailing byte", u32Field + std::string(1, '\0')},
      {"nested one level too deep", nestedChain(message::kMaxDepth + 1)},
      {"nested 1000 deep", nestedChain(1000)},
      {"one byte over the maximum size", inputOfSize(message::kMaxSize + 1)},
  };
  for (const auto& c : table) EXPECT_FALSE(message::decode(c.bytes)) << c.what;
  EXPECT_TRUE(message::decode(nestedChain(message::kMaxDepth)));
  EXPECT_TRUE(message::decode(inputOfSize(message::kMaxSize)));
}

TEST(MessageTest, ErrorRepliesCarryCodeAndText) {
  const message e = errorMsg(kErrExists, "already have this interface");
  EXPECT_TRUE(isError(e));
  EXPECT_EQ(getErrorCode(e), kErrExists);
  EXPECT_EQ(getError(e), "already have this interface");
  const message f = failedMsg("cannot change dynamic");
  EXPECT_EQ(getErrorCode(f), kErrFailed);
  EXPECT_EQ(getError(f), "cannot change dynamic");
  EXPECT_TRUE(isError(errorMsg(kErrNotAllowed, "")));
  // A text without a code is no error.
  message ok;
  ok.setString(kFieldErrorText, "text without a code");
  EXPECT_FALSE(isError(ok));
  EXPECT_EQ(getErrorCode(ok), 0u);
  EXPECT_EQ(getError(ok), "");
}

TEST(MessageTest, ToStringShowsEveryType) {
  message inner;
  inner.setU32(1, 2);
  message m;
  m.setU32(kFieldCommand, kCmdGetObject);
  m.setString(1, "a\"b\n");
  m.setBool(2, false);
  m.setBe32(3, *IPAddr::parse("10.0.0.1"));
  m.setU64(4, 12345678901ull);
  m.setU32Array(kFieldDestination, {20, 5});
  m.setMessage(5, inner);
  EXPECT_EQ(m.toString(),
            "{0xff0007=u32:0xfe0002, 1=str:\"a\\\"b\\x0a\", 2=bool:false, 3=be32:10.0.0.1, "
            "4=u64:12345678901, 0xff0001=arr:[20,5], 5=msg:{1=u32:2}}");
}

}  // namespace
}  // namespace bus
