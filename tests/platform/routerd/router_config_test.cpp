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
    mPrograms = config.programs();
    return status;
  }
  std::string mOsVersion;
  std::vector<ProgramSpec> mPrograms;
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
      "counters interface=wan rx-bytes=10 tx-bytes=20 rx-packets=0x10 tx-packets=4\n"
      "program address=80 path=/usr/sbin/upnpd log=/tmp/u.log\n"
      "program address=81 path=/x pid-file=/run/x.pid\n");
  ASSERT_TRUE(status.isOk()) << status.text();
  ASSERT_EQ(2u, mPrograms.size());
  EXPECT_EQ(80u, mPrograms[0].address);
  EXPECT_EQ("/usr/sbin/upnpd", mPrograms[0].path);
  EXPECT_EQ("/tmp/u.log", mPrograms[0].log);
  EXPECT_EQ("", mPrograms[0].pidFile);
  EXPECT_EQ("/run/x.pid", mPrograms[1].pidFile);
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
      {"program path=/bin/true", "line 1: program needs address= and path="},
      {"program address=0 path=/bin/true", "line 1: bad program address '0'"},
      {"program address=20 path=/bin/true", "line 1: address 20 is routerd's own"},
      {"program address=80 path=bin/upnpd", "line 1: 'bin/upnpd' is not an absolute path"},
      {"program address=80 path=/u log=u.log", "line 1: 'u.log' is not an absolute path"},
      {"program address=80 path=/u\nprogram address=0x50 path=/v", "line 2: address 0x50 has a program already"},
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
