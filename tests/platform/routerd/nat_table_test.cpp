#include <gtest/gtest.h>

#include <functional>
#include <set>
#include <tuple>
#include <string>
#include <vector>

#include "tests/platform/routerd/router_fixture.h"

namespace routerd {
namespace {

using bus::message;

IPAddr ip(const char* text) { return *IPAddr::parse(text); }

// An add request as the daemon builds it for a port mapping from any remote host.
message daemonAdd(uint32_t port, bool udp = false) {
  message m;
  m.setU32Array(bus::kFieldDestination, {bus::kAddrRouter, kHandlerNat});
  m.setBool(bus::kFieldDynamic, true);
  m.setBool(bus::kFieldDisabled, false);
  m.setString(0xfe0009, "upnp 10.77.1.10: test");
  m.setString(39, "dstnat");
  m.setBe32(52, ip("203.0.113.1"));
  m.setBe32(53, ip("203.0.113.1"));
  m.setU32Array(99, {port, port});
  m.setU32(11, udp ? 17 : 6);
  m.setU32(40, 22);
  m.setBe32(1000, ip("10.77.1.10"));
  m.setBe32(1001, ip("10.77.1.10"));
  m.setU32(1002, port);
  m.setU32(1003, port);
  return m;
}

// The fields a rule keeps (no transport fields, no object id), every id, type and value in order.
std::string ruleFields(const message& m) {
  message out;
  for (const bus::Field& f : m.fields())
    if (f.id < 0xff0000 && f.id != bus::kFieldObjectId) copyField(out, f);
  return out.toString();
}

class NatTableTest : public RouterFixture {
 protected:
  uint32_t add(uint32_t port, bool udp = false) {
    message reply = call(kNatPath, daemonAdd(port, udp), bus::kCmdAddObject);
    EXPECT_FALSE(bus::isError(reply)) << bus::getError(reply);
    return reply.getU32(bus::kFieldObjectId);
  }
  message get(uint32_t id) { return call(kNatPath, withId(id), bus::kCmdGetObject); }
  message setRule(uint32_t id, message m) {
    m.setU32(bus::kFieldObjectId, id);
    return call(kNatPath, m, bus::kCmdSetObject);
  }
};

TEST_F(NatTableTest, AddKeepsEveryFieldSetMergesInPlaceRemovedIdsAreGone) {
  const uint32_t id = add(5000, true);
  EXPECT_EQ(ruleFields(daemonAdd(5000, true)), ruleFields(get(id)));  // every field, in arrival order
  auto updated = [](message m) {  // the daemon's update of a mapping; field 418 is new and goes last
    m.setBool(bus::kFieldDisabled, true);
    m.setU32(1002, 5001);
    m.setU32(1003, 5001);
    m.setBool(418, true);
    return m;
  };
  ASSERT_FALSE(bus::isError(setRule(id, updated(message()))));
  EXPECT_EQ(ruleFields(updated(daemonAdd(5000, true))), ruleFields(get(id)));

  EXPECT_FALSE(bus::isError(call(kNatPath, withId(id), bus::kCmdRemoveObject)));
  EXPECT_EQ(bus::kErrNoSuchItem, bus::getErrorCode(call(kNatPath, withId(id), bus::kCmdRemoveObject)));
  EXPECT_EQ(bus::kErrNoSuchItem, bus::getErrorCode(setRule(id, updated(message()))));
  EXPECT_EQ(bus::kErrNoSuchItem, bus::getErrorCode(get(id)));
  EXPECT_EQ(bus::kErrUnknownCommand, bus::getErrorCode(call(kNatPath, message(), 0x123456)));
}

TEST_F(NatTableTest, MalformedRequestsAreRefusedAndChangeNothing) {
  const uint32_t id = add(80);
  const message before = get(id);
  const std::tuple<const char*, uint32_t, std::function<void(message&)>> cases[] = {
      {"chain as u32", bus::kCmdAddObject, [](message& m) { m.setU32(39, 1); }},
      {"port range reversed", bus::kCmdAddObject, [](message& m) { m.setU32Array(99, {90, 80}); }},
      {"port above 65535", bus::kCmdAddObject, [](message& m) { m.setU32Array(99, {70000, 70000}); }},
      {"target ports reversed", bus::kCmdAddObject, [](message& m) { m.setU32(1002, 9000); }},
      {"unknown field", bus::kCmdAddObject, [](message& m) { m.setU32(12345, 1); }},
      {"no chain", bus::kCmdAddObject, [](message& m) { m.remove(39); }},
      {"comment too long", bus::kCmdAddObject, [](message& m) { m.setString(0xfe0009, std::string(2000, 'x')); }},
      {"set without id", bus::kCmdSetObject, [](message& m) { m.remove(bus::kFieldObjectId); }},
      {"set making a bad range", bus::kCmdSetObject, [](message& m) { m.setU32(1002, 9000); }},
  };
  for (const auto& [what, command, change] : cases) {  // each changes a valid request
    SCOPED_TRACE(what);
    message m = command == bus::kCmdAddObject ? daemonAdd(80) : withId(id);
    change(m);
    const message reply = call(kNatPath, m, command);
    EXPECT_EQ(bus::kErrBadRequest, bus::getErrorCode(reply));
    EXPECT_EQ(1u, mRouter->nat().rules().size());
    EXPECT_EQ(before, get(id));
    EXPECT_EQ(bus::kErrBadRequest, mRouter->nat().requestLog().back().result);
  }
}

TEST_F(NatTableTest, InjectedAndBackendFailuresChangeNothing) {
  message fail;
  fail.setU32(kFailFieldCommand, bus::kCmdSetObject);
  fail.setU32(kFailFieldCode, bus::kErrNoSuchItem);
  ASSERT_FALSE(bus::isError(call(kNatPath, fail, kCmdNatFailNext)));
  const uint32_t id = add(80);  // adds are not affected
  message update;
  update.setU32(1002, 81);
  update.setU32(1003, 81);
  EXPECT_EQ(bus::kErrNoSuchItem, bus::getErrorCode(setRule(id, update)));
  EXPECT_EQ(80u, get(id).getU32(1002));
  EXPECT_FALSE(bus::isError(setRule(id, update)));  // the next one works
  mBackend->fail = true;
  EXPECT_EQ("kernel says no", bus::getError(setRule(id, message())));
  EXPECT_EQ(bus::kErrFailed, bus::getErrorCode(call(kNatPath, daemonAdd(82), bus::kCmdAddObject)));
  EXPECT_EQ(1u, mRouter->nat().rules().size());
}

// Rule ids of one table are never handed out twice, and two tables (two runs
// of routerd) start from different bases, so an id kept from an earlier run
// names nothing.
TEST(NatTableIdTest, IdsAreNeverReusedAndEachTableStartsAfresh) {
  SimBackend backend;
  auto addTo = [](NatTable& table) {
    message m = daemonAdd(80);
    m.setU32(bus::kFieldCommand, bus::kCmdAddObject);
    message reply = table.handle(m);
    EXPECT_FALSE(bus::isError(reply)) << bus::getError(reply);
    return reply.getU32(bus::kFieldObjectId);
  };
  NatTable first(backend, NatTable::freshIdBase()), second(backend, NatTable::freshIdBase());
  std::set<uint32_t> seen;
  for (int i = 0; i < 50; ++i) {
    const uint32_t id = addTo(first);
    EXPECT_TRUE(id != 0 && seen.insert(id).second) << "id " << id << " handed out twice";
    message remove = withId(id);
    remove.setU32(bus::kFieldCommand, bus::kCmdRemoveObject);
    EXPECT_TRUE(i % 2 || !bus::isError(first.handle(remove)));
  }
  const uint32_t other = addTo(second);
  EXPECT_EQ(0u, seen.count(other)) << "a fresh table repeats an id of another";
  EXPECT_NE(NatTable::freshIdBase(), NatTable::freshIdBase());

  // At the end of the id space the count wraps past 0.
  NatTable wrapping(backend, 0xffffffffu);
  EXPECT_EQ(0xffffffffu, addTo(wrapping));
  EXPECT_EQ(1u, addTo(wrapping));
}

}  // namespace
}  // namespace routerd
