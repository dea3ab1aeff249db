#include <gtest/gtest.h>

#include <map>
#include <memory>

#include "platform/mirror.h"
#include "tests/platform/routerd/router_fixture.h"

namespace routerd {
namespace {

using bus::message;

class AddressMirror : public bus::AMapMirror {
 public:
  AddressMirror() : AMapMirror({bus::kAddrRouter, kHandlerAddresses}) {}

 protected:
  std::unique_ptr<bus::AObject> makeObject() const override { return std::make_unique<RouterAddress>(); }
};

// The daemon's view of the router: both mirrors in the same loop as the
// services, changed through the same bus requests that routerctl sends.
class RouterMirrorTest : public RouterFixture {
 protected:
  void SetUp() override {
    mLooper.addHandler(100, &mDevices);
    mLooper.addHandler(101, &mAddresses);
    mDevices.setCallbacks([](bus::DeviceEntry&) {}, [this](uint32_t id, const message& record) { mRecords[id] = record; });
    mAddresses.setCallbacks([](bus::AMapMirror::Entry&) {}, [this] { ++mAddressBatches; });
  }

  bool waitFor(const std::function<bool()>& done) { return mLooper.runUntil(done, 3000); }

  bus::DeviceMirror mDevices;
  AddressMirror mAddresses;
  std::map<uint32_t, message> mRecords;  // last record reported per device
  int mAddressBatches = 0;
};

TEST_F(RouterMirrorTest, DeviceMirrorSeesRecordsChangesAndNewInterfaces) {
  const uint32_t wan = addInterface("wan", "lo", 1, true);
  mDevices.subscribe();
  ASSERT_TRUE(mDevices.subscribed());
  mDevices.updateAsync(wan);
  ASSERT_TRUE(waitFor([&] { return mRecords.count(wan) != 0; }));
  EXPECT_EQ("wan", mRecords[wan].getString(kDevName));
  EXPECT_FALSE(mRecords[wan].getBool(bus::kFieldDisabled));

  // What routerctl's "interface set wan disabled=yes running=no" sends.
  message m = withId(wan);
  m.setBool(bus::kFieldDisabled, true);
  m.setU32(kDevStatus, 0);
  ASSERT_FALSE(bus::isError(call(kInterfacesPath, m, bus::kCmdSetObject)));
  ASSERT_TRUE(waitFor([&] { return mRecords[wan].getBool(bus::kFieldDisabled); }));
  EXPECT_EQ(0u, mRecords[wan].getU32(kDevStatus) & kStatusRunning);
  EXPECT_EQ(1u, mRecords[wan].getU32(kDevToken));

  const uint32_t lan = addInterface("lan", "lo", 2, true);
  ASSERT_TRUE(waitFor([&] { return mRecords.count(lan) != 0; }));
  EXPECT_EQ("lan", mRecords[lan].getString(kDevName));
}

TEST_F(RouterMirrorTest, AddressMirrorFollowsAddsAndRemoves) {
  const uint32_t lan = addInterface("lan", "lo", 2, true);
  const uint32_t first = addAddress("10.77.1.1", 24, lan);
  mAddresses.subscribe();
  mAddresses.refreshAsync();
  ASSERT_TRUE(waitFor([&] { return mAddresses.objects().size() == 1; }));

  const uint32_t second = addAddress("10.77.2.1", 24, lan);
  ASSERT_TRUE(waitFor([&] { return mAddresses.objects().size() == 2; }));
  const auto* mirrored = static_cast<const RouterAddress*>(mAddresses.objects().at(second).get());
  EXPECT_EQ(*IPAddr::parse("10.77.2.1"), mirrored->address());
  EXPECT_EQ(lan, mirrored->interfaceId());

  ASSERT_FALSE(bus::isError(call(kAddressesPath, withId(first), bus::kCmdRemoveObject)));
  ASSERT_TRUE(waitFor([&] { return mAddresses.objects().size() == 1; }));
  EXPECT_EQ(1u, mAddresses.objects().count(second));
  EXPECT_GT(mAddressBatches, 0);
}

}  // namespace
}  // namespace routerd
