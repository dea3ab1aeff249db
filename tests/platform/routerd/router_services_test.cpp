#include <gtest/gtest.h>

#include <net/if.h>

#include <functional>
#include <string>
#include <vector>

#include "platform/system.h"
#include "tests/platform/routerd/router_fixture.h"

namespace routerd {
namespace {

using bus::message;

class InterfaceTableTest : public RouterFixture {
 protected:
  message get(uint32_t id, std::optional<uint32_t> flags = std::nullopt) {
    message m = withId(id);
    if (flags) m.setU32(bus::kFieldGetFlags, *flags);
    return call(kInterfacesPath, m, bus::kCmdGetObject);
  }
  message set(message m) { return call(kInterfacesPath, std::move(m), bus::kCmdSetObject); }
};

TEST_F(InterfaceTableTest, RecordCarriesWhatTheDaemonReadsWithTheKernelsIndex) {
  const uint32_t id = addInterface("lan", "lo", 2, true);
  const message record = get(id);
  EXPECT_EQ("lan", record.getString(kDevName));
  EXPECT_EQ(2u, record.getU32(kDevToken));
  EXPECT_EQ(0x500u, record.getU32(kDevStatus) & 0x500u);
  EXPECT_EQ(if_nametoindex("lo"), record.getU32(kDevIfIndex));
  EXPECT_EQ(0u, get(addInterface("wan", "lo", 1, false)).getU32(kDevStatus) & 0x500u);
  // The index comes from the kernel, never from the client.
  message m = withId(id);
  m.setString(kDevKernelName, "zz-no-such0");
  m.setU32(kDevIfIndex, 77);
  ASSERT_FALSE(bus::isError(set(m)));
  EXPECT_EQ(0u, get(id).getU32(kDevIfIndex));
  EXPECT_EQ("lan", get(id).getString(kDevName));  // the rest stays
}

TEST_F(InterfaceTableTest, StatisticsAnswerTheFourCounters) {
  const uint32_t id = addInterface("wan", "lo", 1, true);
  message counters = withId(id);
  counters.setU64(kDevRxBytes, 0x100000005ull);  // above 2^32: the daemon shows the low bits
  counters.setU64(kDevTxBytes, 2);
  counters.setU64(kDevRxPackets, 3);
  counters.setU64(kDevTxPackets, 4);
  ASSERT_FALSE(bus::isError(set(counters)));
  const message stats = get(id, kGetFlagStats);
  const std::pair<uint32_t, uint64_t> want[] = {{0x100fc, 0x100000005ull}, {0x100fd, 2}, {0x100fe, 3}, {0x100ff, 4}};
  for (const auto& [field, value] : want) EXPECT_EQ(value, stats.getU64(field, 0)) << field;  // u64, not u32
  EXPECT_EQ(bus::kErrNoSuchItem, bus::getErrorCode(get(id + 1, kGetFlagStats)));
}

TEST_F(InterfaceTableTest, MalformedOrRefusedRequestsChangeNothing) {
  const uint32_t id = addInterface("lan", "lo", 2, true);
  const message before = get(id);
  auto named = [](const char* name, const char* kernel) {
    return [=](message& m) {
      m.setString(kDevName, name);
      m.setString(kDevKernelName, kernel);
    };
  };
  const struct {
    const char* what;
    uint32_t command;
    std::function<void(message&)> fill;
    uint32_t code;
  } cases[] = {
      {"token as string", bus::kCmdSetObject, [](message& m) { m.setString(kDevToken, "2"); }, bus::kErrBadRequest},
      {"disabled as u32", bus::kCmdSetObject, [](message& m) { m.setU32(bus::kFieldDisabled, 1); }, bus::kErrBadRequest},
      {"counter as u32", bus::kCmdSetObject, [](message& m) { m.setU32(kDevRxBytes, 1); }, bus::kErrBadRequest},
      {"set without id", bus::kCmdSetObject, [](message& m) { m.remove(bus::kFieldObjectId); }, bus::kErrBadRequest},
      {"unknown id", bus::kCmdSetObject, [](message& m) { m.setU32(bus::kFieldObjectId, 99); }, bus::kErrNoSuchItem},
      {"duplicate name", bus::kCmdAddObject, named("lan", "lo"), bus::kErrExists},
      {"name with a blank", bus::kCmdAddObject, named("my lan", "lo"), bus::kErrBadRequest},
      {"no kernel name", bus::kCmdAddObject, named("x", ""), bus::kErrBadRequest},
      {"kernel name too long", bus::kCmdAddObject, named("x", "abcdefghijklmnop"), bus::kErrBadRequest},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    message m;
    if (c.command != bus::kCmdAddObject) m = withId(id);
    c.fill(m);
    EXPECT_EQ(c.code, bus::getErrorCode(call(kInterfacesPath, m, c.command)));
    EXPECT_EQ(before, get(id));
    EXPECT_EQ(1u, mRouter->interfaces().objects().size());
  }
  mBackend->fail = true;
  message disable = withId(id);
  disable.setBool(bus::kFieldDisabled, true);
  EXPECT_EQ("kernel says no", bus::getError(set(disable)));
  EXPECT_EQ(before, get(id));
}

using AddressTableTest = RouterFixture;

TEST_F(AddressTableTest, BadEntriesAreRefused) {
  const uint32_t lan = addInterface("lan", "lo", 2, true);
  ASSERT_NE(0u, addAddress("10.77.1.1", 24, lan));
  EXPECT_EQ(0u, addAddress("10.77.1.1", 24, lan));      // address in use
  EXPECT_EQ(0u, addAddress("10.77.1.2", 24, lan + 9));  // no such interface
  EXPECT_EQ(0u, addAddress("0.0.0.0", 24, lan));        // no address
  EXPECT_EQ(0u, addAddress("10.77.1.3", 33, lan));      // prefix too long
  message typed;
  typed.setU32(kAddrFieldAddress, 0x01020304);  // an address must be be32
  typed.setU32(kAddrFieldInterface, lan);
  EXPECT_EQ(bus::kErrBadRequest, bus::getErrorCode(call(kAddressesPath, typed, bus::kCmdAddObject)));
  EXPECT_EQ(1u, mRouter->addresses().objects().size());
  // An interface that still has addresses stays.
  EXPECT_TRUE(bus::isError(call(kInterfacesPath, withId(lan), bus::kCmdRemoveObject)));
}

using ServicesTest = RouterFixture;

TEST_F(ServicesTest, ResolverAnswersKnownAndLiteralNames) {
  const bus::Path path{bus::kAddrResolver};
  auto entry = [](const char* name, std::optional<IPAddr> address) {
    message m;
    m.setString(kResolveFieldName, name);
    if (address) m.setBe32(kResolveFieldAddress, *address);
    return m;
  };
  ASSERT_FALSE(bus::isError(call(path, entry("cp.lan", ip("10.77.1.10")), kCmdResolverAdd)));
  const struct {
    const char* name;
    uint32_t code;
    const char* address;
  } cases[] = {
      {"cp.lan", 0, "10.77.1.10"},
      {"CP.LAN", bus::kErrNoSuchItem, nullptr},
      {"other", bus::kErrNoSuchItem, nullptr},
      {"10.1.2.3", 0, "10.1.2.3"},
  };
  for (const auto& c : cases) {
    const message reply = call(path, entry(c.name, std::nullopt), kCmdResolve);
    EXPECT_EQ(c.code, bus::getErrorCode(reply)) << c.name;
    if (c.address) {
      EXPECT_EQ(ip(c.address), reply.getBe32(kResolveFieldAddress)) << c.name;
    }
  }
  EXPECT_EQ(bus::kErrBadRequest, bus::getErrorCode(call(path, message(), kCmdResolve)));
  message typed;
  typed.setU32(kResolveFieldName, 1);
  EXPECT_EQ(bus::kErrBadRequest, bus::getErrorCode(call(path, typed, kCmdResolve)));
  EXPECT_EQ(bus::kErrBadRequest, bus::getErrorCode(call(path, entry("x", IPAddr()), kCmdResolverAdd)));

  // The system resolver is asked only for names that the table and the
  // dotted-quad form do not answer.
  std::vector<std::string> asked;
  mRouter->resolver().setFallback([&](const std::string& name) -> std::optional<IPAddr> {
    asked.push_back(name);
    if (name == "box.example") return ip("192.0.2.7");
    return std::nullopt;
  });
  EXPECT_EQ(ip("192.0.2.7"), call(path, entry("box.example", std::nullopt), kCmdResolve).getBe32(kResolveFieldAddress));
  EXPECT_EQ(ip("10.77.1.10"), call(path, entry("cp.lan", std::nullopt), kCmdResolve).getBe32(kResolveFieldAddress));
  EXPECT_EQ(ip("10.1.2.3"), call(path, entry("10.1.2.3", std::nullopt), kCmdResolve).getBe32(kResolveFieldAddress));
  EXPECT_EQ(bus::kErrNoSuchItem, bus::getErrorCode(call(path, entry("gone.example", std::nullopt), kCmdResolve)));
  EXPECT_EQ((std::vector<std::string>{"box.example", "gone.example"}), asked);
}


}  // namespace
}  // namespace routerd
