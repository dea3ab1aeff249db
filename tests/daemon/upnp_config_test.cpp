#include <gtest/gtest.h>

#include "platform/store.h"
#include "tests/daemon/daemon_fixture.h"

namespace upnp::test {
namespace {

TEST_F(DaemonFixture, ASetChangesWhatItCarriesWithUndoRestartAndPersistence) {
  bus::message get;
  get.setU32(bus::kFieldGetFlags, 0x20000000);  // with the undo record
  const auto state = [&] { return std::to_string(mDaemon->running) + std::to_string(mDaemon->leavePending()); };
  EXPECT_EQ(state(), "01");
  EXPECT_EQ(mDaemon->gateway.info.UDN, "UUID-QUENLARK-INTERNET-GATEWAY-DEVICE-TESTID");
  ASSERT_FALSE(bus::isError(setSettings(0, 0, 1)));  // no change: nothing saved
  EXPECT_FALSE(bus::Store("/zelo/store/upnpm").isAllocated(0));
  ASSERT_FALSE(bus::isError(setSettings(-1, -1, 0)));
  EXPECT_EQ(send(get, bus::kCmdGet).toString(),
            "{1=bool:false, 2=bool:false, 3=bool:false, 0xfe001d=msg:{1=bool:false, 2=bool:false, 3=bool:true}}");
  const auto& undo = mDaemon->config.undoLog().back();
  bus::message before = undo.undo;
  before.remove(bus::kFieldCommand);
  EXPECT_EQ(undo.text + " " + std::to_string(undo.undo.getU32(bus::kFieldCommand)) + " " + before.toString(),
            "upnp config changed " + std::to_string(bus::kCmdSet) + " {1=bool:false, 2=bool:false, 3=bool:true}");
  const std::pair<int, const char*> steps[] = {{1, "10"}, {-1, "10"}, {0, "01"}};  // -1: another setting changes
  for (const auto& [enabled, expected] : steps) {
    ASSERT_FALSE(bus::isError(setSettings(enabled, enabled < 0 ? 1 : -1, -1)));
    EXPECT_EQ(state(), expected) << enabled;
  }
  ASSERT_FALSE(bus::isError(setSettings(1, -1, -1)));
  ASSERT_FALSE(bus::isError(addEntry(7, kTypeInternal, false, "10.1.2.3")));
  ASSERT_FALSE(bus::isError(addEntry(8, kTypeExternal, true)));
  restart();
  get.setU32(bus::kFieldGetFlags, 5);
  EXPECT_EQ(state() + send(get, bus::kCmdGet).toString(), "10{1=bool:true, 2=bool:true, 3=bool:false}");
  ASSERT_NE(record(7), nullptr);
  EXPECT_EQ(record(7)->address.toString(), "10.1.2.3");
  EXPECT_EQ(record(8), nullptr);  // disabled: stored, no record
  EXPECT_EQ(mDaemon->config.objects().size(), 2u);
}

TEST_F(DaemonFixture, EntriesMakeRecordsWhileEnabledAndNeverTwoForOneInterface) {
  const uint32_t disabled = addEntry(7, kTypeInternal, /*disabled=*/true).getU32(bus::kFieldObjectId);
  EXPECT_EQ(record(7), nullptr);
  for (uint32_t type : {kTypeExternal, kTypeInternal}) {  // even against a disabled entry
    const bus::message refused = addEntry(7, type);
    EXPECT_EQ(bus::getErrorCode(refused), bus::kErrExists);
    EXPECT_EQ(bus::getError(refused), "already have this interface");
  }
  ASSERT_FALSE(bus::isError(changeEntry(disabled, bus::kFieldDisabled, 0)));
  ASSERT_NE(record(7), nullptr);
  const uint32_t other = addEntry(8, kTypeExternal).getU32(bus::kFieldObjectId);
  EXPECT_TRUE(bus::isError(changeEntry(other, UpnpInterfaceCfg::kFieldInterface, 7)));
  EXPECT_EQ(record(8)->config.type, kTypeExternal);
  ASSERT_FALSE(bus::isError(changeEntry(disabled, UpnpInterfaceCfg::kFieldInterface, 9)));
  EXPECT_EQ(record(7), nullptr);
  ASSERT_NE(record(9), nullptr);
  ASSERT_FALSE(bus::isError(changeEntry(disabled, bus::kFieldDisabled, 1)));
  EXPECT_EQ(record(9), nullptr);
  ASSERT_FALSE(bus::isError(changeEntry(other)));
  EXPECT_TRUE(mDaemon->gateway.interfaces.empty());

}

}  // namespace
}  // namespace upnp::test
