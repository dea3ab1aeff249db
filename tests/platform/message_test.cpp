#include "platform/message.h"

#include <gtest/gtest.h>

#include <map>

namespace bus {
namespace {

// Raw encoding, independent of message::encode, so the tests pin the wire format.
std::string le32(uint32_t v) {
  std::string s;
  for (int i = 0; i < 4; ++i) s.push_back(static_cast<char>(v >> (8 * i)));
  return s;
}
std::string head(uint32_t id, uint8_t type) { return le32(id) + static_cast<char>(type); }

// One field of every type, with bytes that differ so swaps and truncations show.
message everyType() {
  message inner, m;
  inner.setU32(1, 7);
  inner.setString(2, "in");
  m.setU32(0x01020304, 0xa0b0c0d0);
  m.setBool(2, true);
  m.setString(3, std::string("a\0b", 3));
  m.setBe32(4, *IPAddr::parse("10.1.2.3"));
  m.setU64(5, 0x1122334455667788ull);
  m.setU32Array(6, {20, 5, 0xffffffff});
  m.setMessage(7, inner);
  return m;
}

std::vector<std::string> everyTypeBytes() {
  const std::string inner = head(1, 1) + le32(7) + head(2, 3) + le32(2) + "in";
  return {head(0x01020304, 1) + "\xd0\xc0\xb0\xa0", head(2, 2) + "\x01",
          head(3, 3) + le32(3) + std::string("a\0b", 3), head(4, 4) + "\x0a\x01\x02\x03",
          head(5, 5) + "\x88\x77\x66\x55\x44\x33\x22\x11", head(6, 6) + le32(3) + le32(20) + le32(5) + le32(0xffffffff),
          head(7, 7) + le32(static_cast<uint32_t>(inner.size())) + inner};
}

// The golden encoding; then every prefix is either a whole number of fields
// (and decodes to exactly those) or rejected, also inside a nested message.
TEST(MessageTest, EncodingIsPinnedAndEveryTruncationIsRejected) {
  std::string full;
  std::map<size_t, size_t> fieldsAt{{0, 0}};
  for (const std::string& field : everyTypeBytes()) fieldsAt[(full += field).size()] = fieldsAt.size();
  EXPECT_EQ(everyType().encode(), full);
  for (size_t len = 0; len <= full.size(); ++len) {
    std::optional<message> got = message::decode(std::string_view(full).substr(0, len));
    auto boundary = fieldsAt.find(len);
    ASSERT_EQ(got.has_value(), boundary != fieldsAt.end()) << len;
    EXPECT_TRUE(!got || got->fields().size() == boundary->second) << len;
  }
  const std::string inner = everyType().find(7)->bytes;
  for (size_t len = 1; len < inner.size(); ++len) {
    if (len == 9) continue;  // one whole field: a valid message
    EXPECT_FALSE(message::decode(head(7, 7) + le32(static_cast<uint32_t>(len)) + inner.substr(0, len))) << len;
  }
}

std::string nestedChain(int levels) {
  std::string enc = head(1, 1) + le32(1);
  for (int i = 0; i < levels; ++i) enc = head(2, 7) + le32(static_cast<uint32_t>(enc.size())) + enc;
  return enc;
}
std::string inputOfSize(size_t total) {
  return head(1, 3) + le32(static_cast<uint32_t>(total - 9)) + std::string(total - 9, 'x');
}

TEST(MessageTest, MalformedInputsAreRejected) {
  const std::string u32 = head(1, 1) + le32(5);
  const std::string table[] = {
      le32(1), std::string("\x01\x00\x00", 3), head(1, 0) + le32(5), head(1, 8) + le32(5), head(1, 2) + "\x02",
      head(1, 3) + le32(4) + "abc", head(1, 3) + le32(0xffffffff) + "abc", head(1, 6) + le32(2) + le32(1),
      head(1, 6) + le32(0x40000000) + le32(1), head(1, 6) + le32(1) + "\x01\x02", head(1, 7) + le32(10) + u32,
      head(1, 7) + le32(3) + "abc", head(1, 7) + le32(6) + head(1, 2) + "\x07", head(1, 4) + std::string("\x0a\x00", 2),
      head(1, 5) + le32(1), u32 + head(1, 2) + "\x01", u32 + head(2, 2) + "\x01" + head(1, 3) + le32(0),
      head(9, 7) + le32(18) + u32 + u32, u32 + std::string(1, '\0'), nestedChain(message::kMaxDepth + 1),
      nestedChain(1000), inputOfSize(message::kMaxSize + 1),
  };
  for (size_t i = 0; i < std::size(table); ++i) EXPECT_FALSE(message::decode(table[i])) << "row " << i;
  EXPECT_TRUE(message::decode(nestedChain(message::kMaxDepth)));
  EXPECT_TRUE(message::decode(inputOfSize(message::kMaxSize)));
}

}  // namespace
}  // namespace bus
