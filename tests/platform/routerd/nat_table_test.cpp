#include <gtest/gtest.h>

#include <functional>
#include <set>
#include <string>
#include <vector>

#include "tests/platform/routerd/router_fixture.h"

namespace routerd {
namespace {

using bus::message;

IPAddr ip(const char* text) { return *IPAddr::parse(text); }

// An add request exactly as the daemon builds it for a port mapping.
message daemonAdd(IPAddr remote, uint32_t port, bool udp, IPAddr client, uint32_t internalPort) {
  message m;
  m.setU32Array(bus::kFieldDestination, {bus::kAddrRouter, kHandlerNat});
  m.setBool(bus::kFieldDynamic, true);
  m.setBool(bus::kFieldDisabled, false);
  m.setString(0xfe0009, "upnp 10.77.1.10: test");
  m.setString(39, "dstnat");
  m.setBool(400, true);
  m.setU32(1, 2);
  if (!remote.isZero()) {
    m.setBool(418, true);
    m.setBe32(50, remote);
    m.setBe32(51, remote);
  }
  m.setBool(419, true);
  m.setBe32(52, ip("203.0.113.1"));
  m.setBe32(53, ip("203.0.113.1"));
  m.setBool(440, true);
  m.setU32Array(99, {port, port});
  m.setBool(404, true);
  m.setU32(11, udp ? 17 : 6);
  m.setU32(40, 22);
  m.setBool(1006, true);
  m.setBe32(1000, client);
  m.setBe32(1001, client);
  m.setBool(1007, true);
  m.setU32(1002, internalPort);
  m.setU32(1003, internalPort);
  return m;
}

message withCommand(message m, uint32_t command) {
  m.setU32(bus::kFieldCommand, command);
  return m;
}

// The fields of `m` that a rule keeps (no transport fields, no object id),
// as text that shows every id, type and value in order.
std::string ruleFields(const message& m) {
  message out;
  for (const bus::Field& f : m.fields()) {
    if (f.id < 0xff0000 && f.id != bus::kFieldObjectId) copyField(out, f);
  }
  return out.toString();
}

class NatTableTest : public RouterFixture {
 protected:
  uint32_t add(const message& m) {
    message reply = call(kNatPath, m, bus::kCmdAddObject);
    EXPECT_FALSE(bus::isError(reply)) << bus::getError(reply);
    return reply.getU32(bus::kFieldObjectId);
  }
  uint32_t addDefault(uint32_t port = 80) { return add(daemonAdd(IPAddr(), port, false, ip("10.77.1.10"), port)); }
  message get(uint32_t id) { return call(kNatPath, withId(id), bus::kCmdGetObject); }
  message setRule(uint32_t id, message m) {
    m.setU32(bus::kFieldObjectId, id);
    return call(kNatPath, m, bus::kCmdSetObject);
  }
  message removeRule(uint32_t id) { return call(kNatPath, withId(id), bus::kCmdRemoveObject); }
  message failNext(uint32_t command, uint32_t code, const char* text = nullptr) {
    message fail;
    fail.setU32(kFailFieldCommand, command);
    fail.setU32(kFailFieldCode, code);
    if (text) fail.setString(kFailFieldText, text);
    return call(kNatPath, fail, kCmdNatFailNext);
  }
  std::vector<message> listAll(uint32_t command) {
    std::vector<message> items;
    uint32_t first = 0;
    for (int page = 0; page < 100; ++page) {
      message request;
      request.setU32(kFieldListFirst, first);
      message reply = call(kNatPath, request, command);
      for (uint32_t n = 1; reply.has(n); ++n) items.push_back(reply.getMessage(n));
      if (!reply.has(kFieldListNext)) break;
      first = reply.getU32(kFieldListNext);
    }
    return items;
  }
};

TEST_F(NatTableTest, AddKeepsEveryFieldAndSetMergesInPlace) {
  const message request = daemonAdd(IPAddr(), 5000, true, ip("10.77.1.10"), 5000);
  const uint32_t id = add(request);
  EXPECT_EQ(ruleFields(request), ruleFields(get(id)));  // every field, in arrival order
  message update;  // the daemon's update of an existing mapping
  update.setBool(bus::kFieldDisabled, true);
  update.setBe32(1000, ip("10.77.1.10"));
  update.setBe32(1001, ip("10.77.1.10"));
  update.setU32(1002, 5001);
  update.setU32(1003, 5001);
  ASSERT_FALSE(bus::isError(setRule(id, update)));
  message extra;  // a field the rule did not have goes to the end
  extra.setBool(418, true);
  ASSERT_FALSE(bus::isError(setRule(id, extra)));

  message want = request;
  want.setBool(bus::kFieldDisabled, true);
  want.setU32(1002, 5001);
  want.setU32(1003, 5001);
  want.setBool(418, true);
  EXPECT_EQ(ruleFields(want), ruleFields(get(id)));
}

TEST_F(NatTableTest, UnknownOrRemovedRuleAnswersNoSuchItemAndIdsAreNotReused) {
  const uint32_t id = addDefault();
  EXPECT_FALSE(bus::isError(removeRule(id)));
  EXPECT_EQ(bus::kErrNoSuchItem, bus::getErrorCode(removeRule(id)));
  message m;
  m.setBool(bus::kFieldDisabled, true);
  EXPECT_EQ(bus::kErrNoSuchItem, bus::getErrorCode(setRule(id, m)));
  EXPECT_EQ(bus::kErrNoSuchItem, bus::getErrorCode(get(id)));
  EXPECT_TRUE(mRouter->nat().rules().empty());
  EXPECT_NE(id, addDefault());
  EXPECT_EQ(bus::kErrUnknownCommand, bus::getErrorCode(call(kNatPath, message(), 0x123456)));
}

TEST_F(NatTableTest, MalformedRequestsAreRefusedAndChangeNothing) {
  const uint32_t id = addDefault();
  const message before = get(id);
  const struct {
    const char* what;
    uint32_t command;
    std::function<void(message&)> change;  // applied to a valid request
  } cases[] = {
      {"chain as u32", bus::kCmdAddObject, [](message& m) { m.setU32(39, 1); }},
      {"ports as u32", bus::kCmdAddObject, [](message& m) { m.setU32(99, 80); }},
      {"three ports", bus::kCmdAddObject, [](message& m) { m.setU32Array(99, {1, 2, 3}); }},
      {"port range reversed", bus::kCmdAddObject, [](message& m) { m.setU32Array(99, {90, 80}); }},
      {"port above 65535", bus::kCmdAddObject, [](message& m) { m.setU32Array(99, {70000, 70000}); }},
      {"target ports reversed", bus::kCmdAddObject, [](message& m) { m.setU32(1002, 9000); }},
      {"address as u32", bus::kCmdAddObject, [](message& m) { m.setU32(52, 1); }},
      {"address range reversed", bus::kCmdAddObject, [](message& m) { m.setBe32(52, ip("203.0.113.200")); }},
      {"unknown field", bus::kCmdAddObject, [](message& m) { m.setU32(12345, 1); }},
      {"no chain", bus::kCmdAddObject, [](message& m) { m.remove(39); }},
      {"protocol above 255", bus::kCmdAddObject, [](message& m) { m.setU32(11, 256); }},
      {"comment too long", bus::kCmdAddObject, [](message& m) { m.setString(0xfe0009, std::string(2000, 'x')); }},
      {"set without id", bus::kCmdSetObject, [](message& m) { m.remove(bus::kFieldObjectId); }},
      {"set with bad type", bus::kCmdSetObject, [](message& m) { m.setString(1002, "80"); }},
      {"set making a bad range", bus::kCmdSetObject, [](message& m) { m.setU32(1002, 9000); }},
      {"remove without id", bus::kCmdRemoveObject, [](message& m) { m.remove(bus::kFieldObjectId); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    message m = c.command == bus::kCmdAddObject ? daemonAdd(IPAddr(), 80, false, ip("10.77.1.10"), 80) : message();
    if (c.command != bus::kCmdAddObject) m.setU32(bus::kFieldObjectId, id);
    c.change(m);
    const message reply = call(kNatPath, m, c.command);
    EXPECT_EQ(bus::kErrBadRequest, bus::getErrorCode(reply));
    EXPECT_FALSE(bus::getError(reply).empty());
    EXPECT_EQ(1u, mRouter->nat().rules().size());
    EXPECT_EQ(before, get(id));
    EXPECT_EQ(bus::kErrBadRequest, mRouter->nat().requestLog().back().result);
  }
}

TEST_F(NatTableTest, InjectedAndBackendFailuresChangeNothing) {
  ASSERT_FALSE(bus::isError(failNext(bus::kCmdSetObject, bus::kErrNoSuchItem)));
  const uint32_t id = addDefault();  // adds are not affected
  message update;
  update.setU32(1002, 81);
  update.setU32(1003, 81);
  EXPECT_EQ(bus::kErrNoSuchItem, bus::getErrorCode(setRule(id, update)));
  EXPECT_EQ(80u, get(id).getU32(1002));
  EXPECT_FALSE(bus::isError(setRule(id, update)));
  EXPECT_EQ(81u, get(id).getU32(1002));

  ASSERT_FALSE(bus::isError(failNext(bus::kCmdAddObject, bus::kErrFailed, "firewall busy")));
  const message reply = call(kNatPath, daemonAdd(IPAddr(), 90, false, ip("10.77.1.10"), 90), bus::kCmdAddObject);
  EXPECT_EQ(bus::kErrFailed, bus::getErrorCode(reply));
  EXPECT_EQ("firewall busy", bus::getError(reply));
  EXPECT_EQ(1u, mRouter->nat().rules().size());

  EXPECT_EQ(bus::kErrBadRequest, bus::getErrorCode(failNext(bus::kCmdGetObject, 5)));

  mBackend->fail = true;
  EXPECT_EQ("kernel says no", bus::getError(setRule(id, message())));
  EXPECT_EQ(bus::kErrFailed, bus::getErrorCode(call(kNatPath, daemonAdd(IPAddr(), 82, false, ip("10.77.1.10"), 82),
                                                    bus::kCmdAddObject)));
  EXPECT_EQ(81u, get(id).getU32(1002));
  EXPECT_EQ(1u, mRouter->nat().rules().size());
}

TEST_F(NatTableTest, ListsArePagedAndComplete) {
  for (uint32_t port = 1; port <= 450; ++port) addDefault(port);
  const std::vector<message> rules = listAll(bus::kCmdListObjects);
  ASSERT_EQ(450u, rules.size());
  for (uint32_t i = 0; i < rules.size(); ++i) {
    EXPECT_EQ(std::vector<uint32_t>({i + 1, i + 1}), rules[i].getU32Array(99));
  }
}

// Rule ids of one table are never handed out twice, and two tables (two runs
// of routerd) start from different bases, so an id kept from an earlier run
// names nothing.
TEST(NatTableIdTest, IdsAreNeverReusedAndEachTableStartsAfresh) {
  SimBackend backend;
  auto addTo = [](NatTable& table) {
    message reply = table.handle(withCommand(daemonAdd(IPAddr(), 80, false, ip("10.77.1.10"), 80), bus::kCmdAddObject));
    EXPECT_FALSE(bus::isError(reply)) << bus::getError(reply);
    return reply.getU32(bus::kFieldObjectId);
  };
  auto removeFrom = [](NatTable& table, uint32_t id) {
    message m;
    m.setU32(bus::kFieldObjectId, id);
    return !bus::isError(table.handle(withCommand(m, bus::kCmdRemoveObject)));
  };
  NatTable first(backend, NatTable::freshIdBase()), second(backend, NatTable::freshIdBase());
  std::set<uint32_t> seen;
  for (int i = 0; i < 50; ++i) {
    const uint32_t id = addTo(first);
    EXPECT_NE(0u, id);
    EXPECT_TRUE(seen.insert(id).second) << "id " << id << " handed out twice";
    if (i % 2 == 0) {
      EXPECT_TRUE(removeFrom(first, id));
    }
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
