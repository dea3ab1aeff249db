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

// The daemon's view of the router: its address mirror in the same loop as the
// services, changed through the same bus requests that routerctl sends.
class RouterMirrorTest : public RouterFixture {
 protected:
  void SetUp() override {
    mLooper.addHandler(101, &mAddresses);
    mAddresses.setCallbacks([](bus::AMapMirror::Entry&) {}, [this] { ++mAddressBatches; });
  }

  bool waitFor(const std::function<bool()>& done) { return mLooper.runUntil(done, 3000); }

  AddressMirror mAddresses;
  int mAddressBatches = 0;
};

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
