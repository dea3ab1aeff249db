#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/routerd/router_config.h"
#include "tests/platform/routerd/router_fixture.h"

namespace routerd {
namespace {

using bus::message;

using RouterConfigTest = RouterFixture;

TEST_F(RouterConfigTest, LabConfigBuildsTheRouter) {
  RouterConfig config(*mRouter, mLooper);
  const bus::Status status = config.apply(
      "# lab router\n"
      "identity LAB0001\n"
      "os-version 7.4 beta\r\n"
      "interface name=wan kernel=lo token=1 running=yes\n"
      "\n"
      "interface name=lan kernel=lo token=2 running=no disabled=yes\n"
      "address address=203.0.113.1/24 interface=wan\n"
      "address address=10.77.1.1 interface=lan disabled=yes\n"
      "counters interface=wan rx-bytes=10 tx-bytes=20 rx-packets=0x10 tx-packets=4\n"
      "program address=80 path=/usr/sbin/upnpd log=/tmp/u.log\n"
      "program address=81 path=/x pid-file=/run/x.pid\n");
  ASSERT_TRUE(status.isOk()) << status.text();
  const std::vector<ProgramSpec> programs = config.programs();
  ASSERT_EQ(2u, programs.size());
  EXPECT_EQ(80u, programs[0].address);
  EXPECT_EQ("/usr/sbin/upnpd", programs[0].path);
  EXPECT_EQ("/tmp/u.log", programs[0].log);
  EXPECT_EQ("/run/x.pid", programs[1].pidFile);
  EXPECT_EQ("LAB0001", mRouter->identity().identity());
  EXPECT_EQ("7.4 beta", config.osVersion());
  const RouterDevice* wan = mRouter->interfaces().find(mRouter->interfaces().findByName("wan"));
  EXPECT_TRUE(wan->running());
  EXPECT_EQ(16u, wan->counters().rxPackets);
  EXPECT_TRUE(mRouter->interfaces().find(mRouter->interfaces().findByName("lan"))->disabled());
  ASSERT_EQ(2u, mRouter->addresses().objects().size());
  EXPECT_EQ(32u, mRouter->addresses().find(2)->prefix());
  EXPECT_TRUE(mRouter->addresses().find(2)->disabled());
}

TEST_F(RouterConfigTest, BadLinesStopWithTheirNumber) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"bogus x=1", "line 1: unknown statement 'bogus'"},
      {"interface name=lan", "line 1: interface needs name= and kernel="},
      {"\naddress address=10.0.0.1/24 interface=nope", "line 2: no interface 'nope'"},
      {"interface name=a kernel=lo\naddress address=10.0.0.1/33 interface=a", "line 2: bad address '10.0.0.1/33'"},
      {"resolver name=x address=0.0.0.0", "line 1: bad address '0.0.0.0'"},
      {"program address=0 path=/bin/true", "line 1: bad program address '0'"},
      {"program address=20 path=/bin/true", "line 1: address 20 is routerd's own"},
      {"program address=80 path=/u\nprogram address=0x50 path=/v", "line 2: address 0x50 has a program already"},
  };
  for (const auto& [text, error] : cases) {
    mRouter = std::make_unique<Router>(std::make_unique<SimBackend>());
    mRouter->attach(mLooper, false);
    EXPECT_EQ(error, RouterConfig(*mRouter, mLooper).apply(text).text()) << text;
  }
}

}  // namespace
}  // namespace routerd
