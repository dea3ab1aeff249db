#include "platform/mirror.h"

#include <gtest/gtest.h>

#include <map>
#include <utility>
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

message record(uint32_t id, const std::string& name) {
  message m;
  m.setU32(kFieldObjectId, id);
  m.setString(kFieldName, name);
  return m;
}

// A table service like the router's: get, list and subscriptions; set
// changes the table and publishes the change.
class TableService : public Handler {
 public:
  explicit TableService(const Names& names = {}) {
    for (auto& [id, name] : names) mRecords[id] = record(id, name);
  }
  message handle(const message& request) override {
    message reply;
    if (mPublisher.handleRequest(*looper(), request, reply)) return reply;
    const uint32_t id = request.getU32(kFieldObjectId);
    switch (request.getU32(kFieldCommand)) {
      case kCmdGetObject:
        return mRecords.count(id) ? mRecords[id] : errorMsg(kErrNoSuchItem, "no such item");
      case kCmdListObjects: {
        uint32_t n = 0;
        for (auto& [i, r] : mRecords) reply.setMessage(++n, r);
        return reply;
      }
      case kCmdSetObject:
        mRecords[id] = record(id, request.getString(kFieldName));
        mPublisher.publish(*looper(), id, false, mRecords[id]);
        return reply;
      default:
        return errorMsg(kErrUnknownCommand, "");
    }
  }
  std::map<uint32_t, message> mRecords;
  Publisher mPublisher;
};

class NamedObject : public AObject {
 public:
  const char* typeName() const override { return "named"; }
  void save(message& out) const override { out.setString(kFieldName, name); }
  void load(const message& in) override { name = in.getString(kFieldName, name); }
  std::string name;
};

class NamedMirror : public AMapMirror {
 public:
  using AMapMirror::AMapMirror;
  Names names() const {
    Names out;
    for (auto& [id, obj] : objects()) out[obj->id()] = static_cast<const NamedObject&>(*obj).name;
    return out;
  }

 protected:
  std::unique_ptr<AObject> makeObject() const override { return std::make_unique<NamedObject>(); }
};

// Records what a DeviceMirror reports.
struct DeviceLog {
  Changes changes;
  std::set<uint32_t> skipped;  // ids the filter refuses
  void attach(DeviceMirror& m) {
    m.setCallbacks([this](DeviceEntry& e) { e.skip = skipped.count(e.id) != 0; },
                   [this](uint32_t id, const message& r) { changes.emplace_back(id, r.getString(kFieldName)); });
  }
};

// Sets entry `id` of the table at `path`.
void change(Looper& loop, Path path, uint32_t id, const std::string& name) {
  message m = record(id, name);
  m.setU32Array(kFieldDestination, path);
  ASSERT_FALSE(isError(loop.exchangeCmd(m, kCmdSetObject, 6000)));
}

TEST_F(MirrorTest, MirrorsSubscribedBeforeTheServiceExistsRecoverAfterItRestarts) {
  // Both tables served by a child process at [20].
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
  DeviceLog log;
  log.skipped = {2};  // the filter hides device 2
  log.attach(devices);
  int addressChanges = 0;
  addresses.setCallbacks(nullptr, [&] { ++addressChanges; });

  devices.subscribe();  // nobody at [20] yet
  addresses.subscribe();
  addresses.refreshAsync();
  devices.updateAsync(1);
  devices.updateAsync(2);
  loop.runUntil([] { return false; }, 50);
  EXPECT_TRUE(log.changes.empty());
  pid_t service = serveTables({{1, "eth0"}, {2, "eth1"}});
  ASSERT_TRUE(loop.runUntil([&] { return log.changes.size() == 1 && addresses.names().size() == 2; }, 4000));
  EXPECT_EQ(log.changes, (Changes{{1, "eth0"}}));
  EXPECT_EQ(addresses.names(), (Names{{1, "eth0"}, {2, "eth1"}}));
  EXPECT_GT(addressChanges, 0);

  // A change notice pushed across processes, ahead of the set's reply.
  change(loop, {kAddrRouter, 0}, 1, "eth0.up");
  ASSERT_TRUE(loop.runUntil([&] { return log.changes.size() == 2; }, 3000));

  stop(service);
  service = serveTables({{1, "eth0.restarted"}, {7, "ppp0"}});
  ASSERT_TRUE(loop.runUntil([&] { return log.changes.size() == 3 && addresses.names().count(7); }, 4000));
  EXPECT_EQ(log.changes.back(), (std::pair<uint32_t, std::string>{1, "eth0.restarted"}));
  EXPECT_EQ(addresses.names(), (Names{{1, "eth0.restarted"}, {7, "ppp0"}}));

  // Resubscribed: notices flow again.
  change(loop, {kAddrRouter, 1}, 8, "tun0");
  EXPECT_TRUE(loop.runUntil([&] { return addresses.names().count(8) == 1; }, 3000));
  devices.cleanup();
  addresses.cleanup();
  EXPECT_FALSE(devices.subscribed());  // notices that still arrive are dropped
}

}  // namespace
}  // namespace bus
