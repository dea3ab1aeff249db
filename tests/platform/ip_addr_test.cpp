#include "platform/ip_addr.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <vector>

#include "tests/platform/temp_dir.h"

namespace {

TEST(IPAddrTest, ParseAcceptsOnlyStrictDottedQuads) {
  const std::pair<const char*, uint32_t> accepted[] = {
      {"10.0.0.1", 0x0a000001},        {"0.0.0.0", 0},           {"255.255.255.255", 0xffffffff},
      {"192.168.88.1", 0xc0a85801},    {"010.000.001.009", 0x0a000109},  // leading zeros are decimal
  };
  for (const auto& [text, host] : accepted) {
    ASSERT_TRUE(IPAddr::parse(text)) << text;
    EXPECT_EQ(IPAddr::parse(text)->host(), host) << text;
  }
  const char* rejected[] = {
      "",          "10.0.0",    "10.0.0.1.", "10.0.0.1.5", "10..0.1",   ".10.0.0.1",   "10.0.0.",
      "256.0.0.1", "10.0.0.300", "1.2.3.0256", "1.2.3.0001", "+1.2.3.4", "1.-2.3.4",   " 1.2.3.4",
      "1.2.3.4 ",  "1.2 .3.4",  "1.2.3.4\n", "0x1.2.3.4", "1.2.3.4x",   "167772161",  // a bare number
      "10.1",      "99999999999.1.1.1",
  };
  for (const char* text : rejected) EXPECT_FALSE(IPAddr::parse(text)) << '"' << text << '"';
  // An embedded NUL must not end the text early.
  EXPECT_FALSE(IPAddr::parse(std::string_view("1.2.3.4\0", 8)));
}

TEST(IPAddrTest, RawValueIsInNetworkOrderAndTextRoundTrips) {
  const IPAddr a = *IPAddr::parse("10.1.2.3");
  uint32_t raw = a.raw();
  const auto* rawBytes = reinterpret_cast<const unsigned char*>(&raw);
  EXPECT_EQ(rawBytes[0], 10);
  EXPECT_EQ(rawBytes[3], 3);
  EXPECT_EQ(IPAddr::fromHost(0x0a010203), a);
  EXPECT_TRUE(IPAddr().isZero());
  for (const char* text : {"0.0.0.0", "255.255.255.255", "172.16.0.254"}) {
    EXPECT_EQ(IPAddr::parse(text)->toString(), text);
  }
  EXPECT_EQ(IPAddr::parse("001.02.003.0")->toString(), "1.2.3.0");
}

TEST(IPAddrTest, OrderIsNumericNotByteWise) {
  // Byte-wise order of the network-order raw value on a little-endian machine
  // would put 10.0.0.2 after 9.0.0.3; the order must follow the numeric value.
  std::vector<IPAddr> v;
  for (const char* t : {"10.0.0.2", "9.0.0.3", "10.0.0.1", "1.255.0.0", "10.0.1.0", "0.0.0.0"}) {
    v.push_back(*IPAddr::parse(t));
  }
  std::sort(v.begin(), v.end());
  std::vector<std::string> order;
  for (const IPAddr& a : v) order.push_back(a.toString());
  EXPECT_EQ(order, (std::vector<std::string>{"0.0.0.0", "1.255.0.0", "9.0.0.3", "10.0.0.1", "10.0.0.2",
                                             "10.0.1.0"}));
  EXPECT_LT(*IPAddr::parse("10.0.0.255"), *IPAddr::parse("10.0.1.0"));
  EXPECT_EQ(*IPAddr::parse("10.0.0.1") <=> *IPAddr::parse("10.0.0.1"), std::strong_ordering::equal);
}

TEST(IPAddrTest, OSVersionComesFromTheRootWithOneTrailingBlank) {
  bus::test::TempDir dir;
  bus::test::ScopedRoot root(dir.path());
  EXPECT_EQ(getOSVersion(), "7.1 ");  // no file
  std::filesystem::create_directories(dir.path() + "/zelo/etc");
  {
    std::ofstream(dir.path() + "/zelo/etc/version") << "7.4 \r\n\n";
  }
  EXPECT_EQ(getOSVersion(), "7.4 ");
  {
    std::ofstream(dir.path() + "/zelo/etc/version") << "7.10beta2";
  }
  EXPECT_EQ(getOSVersion(), "7.10beta2 ");
}

}  // namespace
