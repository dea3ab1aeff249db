// SID generation: the exact form, the version and variant bits, and what
// happens when the random device misbehaves.

#include "http/gena/sid_generator.h"

#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <string>

#include "tests/platform/temp_dir.h"

namespace upnp {
namespace {

// "uuid:" + 8-4-4-4-12 lower-case hex digits, version nibble 4, variant 8..b.
bool hasSidForm(const std::string& sid) {
  const std::string pattern = "uuid:xxxxxxxx-xxxx-4xxx-vxxx-xxxxxxxxxxxx";
  if (sid.size() != pattern.size()) return false;
  for (size_t i = 0; i < sid.size(); ++i) {
    const char c = sid[i];
    const bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
    switch (pattern[i]) {
      case 'x': if (!hex) return false; break;
      case 'v': if (c != '8' && c != '9' && c != 'a' && c != 'b') return false; break;
      default: if (c != pattern[i]) return false;
    }
  }
  return true;
}

TEST(SidGenerator, FormCheckRejectsNearMisses) {
  EXPECT_TRUE(hasSidForm("uuid:01234567-89ab-4def-8123-456789abcdef"));
  for (const char* bad : {"uuid:01234567-89ab-3def-8123-456789abcdef", "uuid:01234567-89ab-4def-c123-456789abcdef",
                          "uuid:01234567-89AB-4def-8123-456789abcdef", "uuid:01234567-89ab-4def-8123-456789abcde",
                          "UUID:01234567-89ab-4def-8123-456789abcdef", "uuid:01234567+89ab-4def-8123-456789abcdef"})
    EXPECT_FALSE(hasSidForm(bad)) << bad;
}

std::string writeFile(const bus::test::TempDir& dir, const char* name, const std::string& bytes) {
  const std::string path = dir.path() + "/" + name;
  std::ofstream(path, std::ios::binary) << bytes;
  return path;
}

TEST(SidGenerator, FormatForcesVersionAndVariantBits) {
  const struct {
    uint8_t fill;
    const char* sid;
  } cases[] = {
      {0x00, "uuid:00000000-0000-4000-8000-000000000000"},
      {0xff, "uuid:ffffffff-ffff-4fff-bfff-ffffffffffff"},
      {0x5a, "uuid:5a5a5a5a-5a5a-4a5a-9a5a-5a5a5a5a5a5a"},
  };
  for (const auto& c : cases) {
    uint8_t bytes[16];
    for (uint8_t& b : bytes) b = c.fill;
    EXPECT_EQ(c.sid, SidGenerator::format(bytes));
  }
  const uint8_t counting[16] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef,
                                0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef};
  EXPECT_EQ("uuid:01234567-89ab-4def-8123-456789abcdef", SidGenerator::format(counting));
}

TEST(SidGenerator, DeviceSidsHaveTheFormAndDiffer) {
  SidGenerator generator;
  std::set<std::string> seen;
  for (int i = 0; i < 500; ++i) {
    const std::string sid = generator.next();
    EXPECT_TRUE(hasSidForm(sid)) << sid;
    seen.insert(sid);
  }
  EXPECT_EQ(500u, seen.size());
}

TEST(SidGenerator, BytesComeFromTheDeviceAndItStaysOpen) {
  bus::test::TempDir dir;
  const std::string path = writeFile(dir, "random", std::string(16, '\0'));
  SidGenerator generator(path);
  EXPECT_EQ("uuid:00000000-0000-4000-8000-000000000000", generator.next());
  // Still reading the same open file: it is at its end now, so the bytes are
  // made up, in the same form.
  testing::internal::CaptureStderr();
  const std::string second = generator.next();
  EXPECT_EQ("", testing::internal::GetCapturedStderr());
  EXPECT_TRUE(hasSidForm(second)) << second;
  EXPECT_NE("uuid:00000000-0000-4000-8000-000000000000", second);
}

TEST(SidGenerator, ShortReadKeepsTheBytesItGot) {
  bus::test::TempDir dir;
  const std::string path = writeFile(dir, "random", "\x12\x34\x56\x78\x9a");
  SidGenerator generator(path);
  const std::string sid = generator.next();
  EXPECT_TRUE(hasSidForm(sid)) << sid;
  EXPECT_EQ("uuid:12345678-9a", sid.substr(0, 16));
}

TEST(SidGenerator, MissingDeviceIsReportedEachTimeAndSidsKeepTheForm) {
  SidGenerator generator("/nonexistent-dir/urandom");
  std::set<std::string> seen;
  for (int i = 0; i < 3; ++i) {
    testing::internal::CaptureStderr();
    const std::string sid = generator.next();
    EXPECT_EQ("urandom: No such file or directory\n", testing::internal::GetCapturedStderr());
    EXPECT_TRUE(hasSidForm(sid)) << sid;
    seen.insert(sid);
  }
  testing::internal::CaptureStderr();
  for (int i = 0; i < 1000; ++i) seen.insert(generator.next());
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(1003u, seen.size());
}

}  // namespace
}  // namespace upnp
