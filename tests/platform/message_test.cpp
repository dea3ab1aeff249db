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

TEST(MessageTest, EncodingIsPinnedAndRoundTrips) {
  std::string expected;
  for (const std::string& field : everyTypeBytes()) expected += field;
  EXPECT_EQ(everyType().encode(), expected);
  message empties;  // empty values are kept, not dropped
  empties.setString(1, "");
  empties.setU32Array(2, {});
  empties.setMessage(3, message());
  for (const std::string& bytes : {expected, empties.encode(), std::string()}) {
    std::optional<message> back = message::decode(bytes);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->encode(), bytes);
  }
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
      {"bool 2", head(1, 2) + "\x02"},
      {"string length one past the end", head(1, 3) + le32(4) + "abc"},
      {"string length 0xffffffff", head(1, 3) + le32(0xffffffff) + "abc"},
      {"array count one past the end", head(1, 6) + le32(2) + le32(1)},
      {"array count 0x40000000", head(1, 6) + le32(0x40000000) + le32(1)},
      {"array with a partial element", head(1, 6) + le32(1) + "\x01\x02"},
      {"nested length past the end", head(1, 7) + le32(10) + u32Field},
      {"nested holds garbage", head(1, 7) + le32(3) + "abc"},
      {"nested holds a bad bool", head(1, 7) + le32(6) + head(1, 2) + "\x07"},
      {"be32 short", head(1, 4) + std::string("\x0a\x00", 2)},
      {"u64 short", head(1, 5) + le32(1)},
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

}  // namespace
}  // namespace bus
