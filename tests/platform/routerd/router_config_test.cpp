#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/routerd/router_config.h"
#include "tests/platform/routerd/router_fixture.h"

namespace routerd {
namespace {

using bus::message;

class RouterConfigTest : public RouterFixture {
 protected:
  bus::Status apply(const std::string& text) {
    RouterConfig config(*mRouter, mLooper);
    bus::Status status = config.apply(text);
    mOsVersion = config.osVersion();
    return status;
  }
  std::string mOsVersion;
};

TEST_F(RouterConfigTest, LabConfigBuildsTheRouter) {
  const bus::Status status = apply(
      "# lab router\n"
      "identity LAB0001\n"
      "os-version 7.4 beta\r\n"
      "interface name=wan kernel=lo token=1 running=yes\n"
      "\n"
      "interface name=lan kernel=lo token=2 running=no disabled=yes\n"
      "address address=203.0.113.1/24 interface=wan\n"
      "address address=10.77.1.1 interface=lan disabled=yes\n"
      "resolver name=wanhost address=203.0.113.2\n"
      "counters interface=wan rx-bytes=10 tx-bytes=20 rx-packets=0x10 tx-packets=4\n");
  ASSERT_TRUE(status.isOk()) << status.text();
  EXPECT_EQ("LAB0001", mRouter->identity().identity());
  EXPECT_EQ("7.4 beta", mOsVersion);
  const RouterDevice* wan = mRouter->interfaces().find(mRouter->interfaces().findByName("wan"));
  ASSERT_NE(nullptr, wan);
  EXPECT_TRUE(wan->running());
  EXPECT_EQ(16u, wan->counters().rxPackets);
  EXPECT_TRUE(mRouter->interfaces().find(mRouter->interfaces().findByName("lan"))->disabled());
  ASSERT_EQ(2u, mRouter->addresses().objects().size());
  EXPECT_EQ(32u, mRouter->addresses().find(2)->prefix());
  EXPECT_TRUE(mRouter->addresses().find(2)->disabled());
  message q;
  q.setString(kResolveFieldName, "wanhost");
  EXPECT_EQ(*IPAddr::parse("203.0.113.2"), call({bus::kAddrResolver}, q, kCmdResolve).getBe32(kResolveFieldAddress));
}

TEST_F(RouterConfigTest, BadLinesStopWithTheirNumber) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"bogus x=1", "line 1: unknown statement 'bogus'"},
      {"interface name=lan", "line 1: interface needs name= and kernel="},
      {"interface name=lan kernel=lo colour=red", "line 1: unknown argument 'colour'"},
      {"interface name=lan kernel=lo token=4294967296", "line 1: token must be a number"},
      {"interface name=lan kernel=lo running=maybe", "line 1: running must be yes or no"},
      {"interface name=lan kernel=lo name=x", "line 1: repeated argument 'name'"},
      {"\naddress address=10.0.0.1/24 interface=nope", "line 2: no interface 'nope'"},
      {"interface name=a kernel=lo\naddress address=10.0.0.1/33 interface=a", "line 2: bad address '10.0.0.1/33'"},
      {"interface name=a kernel=lo\ninterface name=a kernel=lo", "line 2: interface name in use"},
      {"identity two words", "line 1: identity needs one printable word"},
      {"resolver name=x address=0.0.0.0", "line 1: bad address '0.0.0.0'"},
      {"interface name=a kernel=lo\ncounters interface=a rx-bytes=18446744073709551616",
       "line 2: rx-bytes must be a number"},
  };
  for (const auto& [text, error] : cases) {
    SCOPED_TRACE(text);
    mRouter = std::make_unique<Router>(std::make_unique<SimBackend>());
    mRouter->attach(mLooper, false);
    const bus::Status status = apply(text);
    EXPECT_FALSE(status.isOk());
    EXPECT_EQ(error, status.text());
  }
}

}  // namespace
}  // namespace routerd
