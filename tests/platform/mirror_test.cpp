#include "platform/mirror.h"

#include <gtest/gtest.h>

#include <map>
#include <vector>

#include "platform/publisher.h"
#include "tests/platform/bus_fixture.h"

namespace bus {
namespace {

using testing::BusTest;
using MirrorTest = BusTest;
using Names = std::map<uint32_t, std::string>;
using Changes = std::vector<std::pair<uint32_t, std::string>>;

constexpr uint32_t kFieldName = 1;

message record(uint32_t id, const std::string& name, Path to = {}) {
  message m;
  if (!to.empty()) m.setU32Array(kFieldDestination, to);
  m.setU32(kFieldObjectId, id);
  m.setString(kFieldName, name);
  return m;
}

// A table service like the router's: get, list and subscriptions; set changes
// the table and publishes the change.
struct TableService : Handler {
  explicit TableService(const Names& names) {
    for (auto& [id, name] : names) records[id] = record(id, name);
  }
  message handle(const message& request) override {
    message reply;
    if (publisher.handleRequest(*looper(), request, reply)) return reply;
    const uint32_t id = request.getU32(kFieldObjectId), command = request.getU32(kFieldCommand);
    if (command == kCmdGetObject) return records.count(id) ? records[id] : errorMsg(kErrNoSuchItem, "no");
    uint32_t n = 0;
    if (command == kCmdListObjects) {
      for (auto& [i, r] : records) reply.setMessage(++n, r);
    } else if (command == kCmdSetObject) {
      publisher.publish(*looper(), id, false, records[id] = record(id, request.getString(kFieldName)));
    }
    return reply;
  }
  std::map<uint32_t, message> records;
  Publisher publisher;
};

struct NamedObject : AObject {
  const char* typeName() const override { return "named"; }
  void save(message& out) const override { out.setString(kFieldName, name); }
  void load(const message& in) override { name = in.getString(kFieldName, name); }
  std::string name;
};

struct NamedMirror : AMapMirror {
  using AMapMirror::AMapMirror;
  Names names() const {
    Names out;
    for (auto& [id, obj] : objects()) out[obj->id()] = static_cast<const NamedObject&>(*obj).name;
    return out;
  }
  std::unique_ptr<AObject> makeObject() const override { return std::make_unique<NamedObject>(); }
};

TEST_F(MirrorTest, MirrorsSubscribedBeforeTheServiceExistsRecoverAfterItRestarts) {
  auto serveTables = [this](const Names& names) {
    return spawn(kAddrRouter, [names](Looper& l) {
      l.addHandler(0, new TableService(names));
      l.addHandler(1, new TableService(names));
    });
  };
  Looper loop;
  DeviceMirror devices;
  NamedMirror addresses({kAddrRouter, 1});
  loop.addHandler(100, &devices);
  loop.addHandler(101, &addresses);
  Changes changes;
  devices.setCallbacks([](DeviceEntry& e) { e.skip = e.id == 2; },  // the filter hides device 2
                       [&](uint32_t id, const message& r) { changes.emplace_back(id, r.getString(kFieldName)); });

  devices.subscribe();  // nobody at [20] yet
  addresses.subscribe();
  addresses.refreshAsync();
  devices.updateAsync(1);
  devices.updateAsync(2);
  loop.runUntil([] { return false; }, 50);
  EXPECT_TRUE(changes.empty());
  pid_t service = serveTables({{1, "eth0"}, {2, "eth1"}});
  ASSERT_TRUE(loop.runUntil([&] { return changes.size() == 1 && addresses.names().size() == 2; }, 4000));
  EXPECT_EQ(changes, (Changes{{1, "eth0"}}));
  EXPECT_EQ(addresses.names(), (Names{{1, "eth0"}, {2, "eth1"}}));

  // A change notice pushed across processes, ahead of the set's reply.
  ASSERT_FALSE(isError(loop.exchangeCmd(record(1, "eth0.up", {kAddrRouter, 0}), kCmdSetObject, 6000)));
  ASSERT_TRUE(loop.runUntil([&] { return changes.size() == 2; }, 3000));

  stop(service);
  service = serveTables({{1, "eth0.restarted"}, {7, "ppp0"}});
  ASSERT_TRUE(loop.runUntil([&] { return changes.size() == 3 && addresses.names().count(7); }, 4000));
  EXPECT_EQ(changes.back(), (std::pair<uint32_t, std::string>{1, "eth0.restarted"}));
  EXPECT_EQ(addresses.names(), (Names{{1, "eth0.restarted"}, {7, "ppp0"}}));

  // Resubscribed: notices flow again.
  ASSERT_FALSE(isError(loop.exchangeCmd(record(8, "tun0", {kAddrRouter, 1}), kCmdSetObject, 6000)));
  EXPECT_TRUE(loop.runUntil([&] { return addresses.names().count(8) == 1; }, 3000));
  devices.cleanup();
  addresses.cleanup();
  EXPECT_FALSE(devices.subscribed());  // notices that still arrive are dropped
}

}  // namespace
}  // namespace bus
