#include "platform/ip_addr.h"

#include <gtest/gtest.h>

#include <fstream>

#include "tests/platform/temp_dir.h"

namespace {

TEST(IPAddrTest, ParseAcceptsOnlyStrictDottedQuadsAndOrdersNumerically) {
  EXPECT_EQ(IPAddr::parse("192.168.88.1")->host(), 0xc0a85801u);
  EXPECT_EQ(IPAddr::parse("010.000.001.009")->toString(), "10.0.1.9");  // leading zeros are decimal
  const char* rejected[] = {"",         "10.0.0",     "10.0.0.1.", "10..0.1",  "256.0.0.1", "1.2.3.0256",
                            "+1.2.3.4", " 1.2.3.4",   "1.2.3.4 ",  "0x1.2.3.4", "167772161", "99999999999.1.1.1"};
  for (const char* text : rejected) EXPECT_FALSE(IPAddr::parse(text)) << '"' << text << '"';
  EXPECT_FALSE(IPAddr::parse(std::string_view("1.2.3.4\0", 8)));  // an embedded NUL does not end the text
  // Byte-wise order of the network-order value would put 10.0.0.2 after 9.0.0.3.
  EXPECT_LT(*IPAddr::parse("9.0.0.3"), *IPAddr::parse("10.0.0.2"));
}

}  // namespace
