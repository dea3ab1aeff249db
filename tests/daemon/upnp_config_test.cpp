#include <gtest/gtest.h>

#include "platform/store.h"
#include "tests/daemon/daemon_fixture.h"

namespace upnp::test {
namespace {

class UpnpConfigTest : public DaemonFixture {
 protected:
  void SetUp() override { mDaemon->start(); }

  std::string settings(uint32_t flags = 5) {
    bus::message m;
    m.setU32(bus::kFieldGetFlags, flags);
    return config(m, bus::kCmdGet).toString();
  }
  // Running, leave pending.
  std::string state() { return std::to_string(mDaemon->running) + std::to_string(mDaemon->leavePending()); }
};

TEST_F(UpnpConfigTest, SettingsStartOffAndASetChangesWhatItCarriesWithUndoRestartAndPersistence) {
  EXPECT_EQ(state(), "01");
  EXPECT_EQ(settings(), "{1=bool:false, 2=bool:false, 3=bool:true}");
  EXPECT_EQ(mDaemon->gateway.info.UDN, "UUID-QUENLARK-INTERNET-GATEWAY-DEVICE-TESTID");
  ASSERT_FALSE(bus::isError(setSettings(0, 0, 1)));  // no change: undo, nothing saved
  EXPECT_EQ(mDaemon->config.undoLog().size(), 1u);
  EXPECT_FALSE(bus::Store("/zelo/store/upnpm").isAllocated(0));

  ASSERT_FALSE(bus::isError(setSettings(-1, -1, 0)));
  EXPECT_EQ(settings(0x20000000),
            "{1=bool:false, 2=bool:false, 3=bool:false, 0xfe001d=msg:{1=bool:false, 2=bool:false, 3=bool:true}}");
  ASSERT_EQ(mDaemon->config.undoLog().size(), 2u);
  const auto& undo = mDaemon->config.undoLog().back();
  EXPECT_EQ(undo.text, "upnp config changed");
  EXPECT_EQ(undo.undo.getU32(bus::kFieldCommand), bus::kCmdSet);
  bus::message before = undo.undo;
  before.remove(bus::kFieldCommand);
  EXPECT_EQ(before.toString(), "{1=bool:false, 2=bool:false, 3=bool:true}");
  EXPECT_FALSE(bus::Store("/zelo/store/upnpm").get(0).getBool(3, true));

  const std::pair<int, const char*> steps[] = {{1, "10"}, {-1, "10"}, {0, "01"}};  // -1: another setting changes
  for (const auto& [enabled, expected] : steps) {
    ASSERT_FALSE(bus::isError(setSettings(enabled, enabled < 0 ? 1 : -1, -1)));
    EXPECT_EQ(state(), expected) << enabled;
  }
}

TEST_F(UpnpConfigTest, EntriesMakeRecordsWhileEnabledAndNeverTwoForOneInterface) {
  const uint32_t disabled = addEntry(7, kTypeInternal, /*disabled=*/true).getU32(bus::kFieldObjectId);
  EXPECT_EQ(record(7), nullptr);
  for (uint32_t type : {kTypeExternal, kTypeInternal}) {  // even against a disabled entry
    const bus::message refused = addEntry(7, type);
    ASSERT_TRUE(bus::isError(refused));
    EXPECT_EQ(bus::getErrorCode(refused), bus::kErrExists);
    EXPECT_EQ(bus::getError(refused), "already have this interface");
  }
  EXPECT_EQ(mDaemon->config.objects().size(), 1u);

  ASSERT_FALSE(bus::isError(changeEntry(disabled, bus::kFieldDisabled, 0)));
  ASSERT_NE(record(7), nullptr);
  const uint32_t other = addEntry(8, kTypeExternal).getU32(bus::kFieldObjectId);
  EXPECT_TRUE(bus::isError(changeEntry(other, UpnpInterfaceCfg::kFieldInterface, 7)));
  EXPECT_EQ(record(8)->config.type, kTypeExternal);

  ASSERT_FALSE(bus::isError(changeEntry(disabled, UpnpInterfaceCfg::kFieldInterface, 9)));
  EXPECT_EQ(record(7), nullptr);
  ASSERT_NE(record(9), nullptr);
  EXPECT_EQ(record(9)->config.interface, 9u);
  ASSERT_FALSE(bus::isError(changeEntry(disabled, bus::kFieldDisabled, 1)));
  EXPECT_EQ(record(9), nullptr);
  ASSERT_FALSE(bus::isError(changeEntry(other)));
  EXPECT_TRUE(mDaemon->gateway.interfaces.empty());
}

TEST_F(UpnpConfigTest, DynamicEntriesCannotChangeButCanBeRemoved) {
  bus::message m;
  m.setBool(bus::kFieldDynamic, true);
  m.setU32(UpnpInterfaceCfg::kFieldInterface, 9);
  m.setU32(UpnpInterfaceCfg::kFieldType, kTypeInternal);
  const uint32_t id = config(m, bus::kCmdAddObject).getU32(bus::kFieldObjectId);
  ASSERT_NE(record(9), nullptr);
  const bus::message refused = changeEntry(id, UpnpInterfaceCfg::kFieldType, kTypeExternal);
  ASSERT_TRUE(bus::isError(refused));
  EXPECT_EQ(bus::getError(refused), "cannot change dynamic");
  EXPECT_EQ(record(9)->config.type, kTypeInternal);
  ASSERT_FALSE(bus::isError(changeEntry(id)));
  EXPECT_EQ(record(9), nullptr);
}

TEST_F(UpnpConfigTest, SettingsAndEntriesSurviveARestart) {
  ASSERT_FALSE(bus::isError(setSettings(1, 1, 0)));
  ASSERT_FALSE(bus::isError(addEntry(7, kTypeInternal, false, "10.1.2.3")));
  ASSERT_FALSE(bus::isError(addEntry(8, kTypeExternal, true)));
  EXPECT_EQ(record(7)->address.toString(), "10.1.2.3");
  restart();
  EXPECT_TRUE(mDaemon->running);
  EXPECT_FALSE(mDaemon->leavePending());
  EXPECT_EQ(settings(), "{1=bool:true, 2=bool:true, 3=bool:false}");
  ASSERT_EQ(mDaemon->config.objects().size(), 2u);
  ASSERT_NE(record(7), nullptr);
  EXPECT_EQ(record(7)->address.toString(), "10.1.2.3");
  EXPECT_EQ(record(8), nullptr);  // disabled: stored, no record
}

}  // namespace
}  // namespace upnp::test
