#include <gtest/gtest.h>

#include "platform/store.h"
#include "tests/daemon/daemon_fixture.h"

namespace upnp::test {
namespace {

class UpnpConfigTest : public DaemonFixture {
 protected:
  void SetUp() override { mDaemon->start(); }

  bus::message settings(uint32_t flags = 5) {
    bus::message m;
    m.setU32(bus::kFieldGetFlags, flags);
    return config(m, bus::kCmdGet);
  }
  bus::message storedSettings() { return bus::Store("/zelo/store/upnpm").get(0); }
  const UpnpInterfaceCfg* entry(uint32_t id) { return mDaemon->config.find(id); }
};

TEST_F(UpnpConfigTest, StartsDisabledWithDefaultsAndLeaves) {
  EXPECT_FALSE(mDaemon->running);
  EXPECT_TRUE(mDaemon->leavePending());
  const bus::message s = settings();
  EXPECT_FALSE(s.getBool(1, true));
  EXPECT_FALSE(s.getBool(2, true));
  EXPECT_TRUE(s.getBool(3, false));
  EXPECT_FALSE(s.has(bus::kFieldDefaults));
}

TEST_F(UpnpConfigTest, DefaultsFlagCarriesTheDefaults) {
  ASSERT_FALSE(bus::isError(setSettings(1, 1, 0)));
  const bus::message defaults = settings(0x20000000).getMessage(bus::kFieldDefaults);
  ASSERT_EQ(defaults.fields().size(), 3u);
  EXPECT_FALSE(defaults.getBool(1, true));
  EXPECT_FALSE(defaults.getBool(2, true));
  EXPECT_TRUE(defaults.getBool(3, false));
}

TEST_F(UpnpConfigTest, PartialSetChangesOnlyThatSettingAndRecordsUndo) {
  ASSERT_FALSE(bus::isError(setSettings(-1, -1, 0)));
  EXPECT_FALSE(mDaemon->config.showDummyRule);
  EXPECT_FALSE(mDaemon->config.enabled);
  EXPECT_FALSE(mDaemon->config.allowDisableExternal);
  ASSERT_EQ(mDaemon->config.undoLog().size(), 1u);
  const auto& undo = mDaemon->config.undoLog().back();
  EXPECT_EQ(undo.text, "upnp config changed");
  EXPECT_EQ(undo.undo.getU32(bus::kFieldCommand), bus::kCmdSet);
  EXPECT_TRUE(undo.undo.getBool(3, false));  // the value before the change
  EXPECT_FALSE(storedSettings().getBool(3, true));
}

TEST_F(UpnpConfigTest, NoChangeSendsUndoButPersistsNothing) {
  ASSERT_FALSE(bus::isError(setSettings(0, 0, 1)));
  EXPECT_EQ(mDaemon->config.undoLog().size(), 1u);
  EXPECT_FALSE(bus::Store("/zelo/store/upnpm").isAllocated(0));
}

TEST_F(UpnpConfigTest, EnableCancelsTheLeaveAndDisableArmsIt) {
  ASSERT_FALSE(bus::isError(setSettings(1, -1, -1)));
  EXPECT_TRUE(mDaemon->running);
  EXPECT_FALSE(mDaemon->leavePending());
  testing::internal::CaptureStdout();
  ASSERT_FALSE(bus::isError(setSettings(0, -1, -1)));
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("disable\n"), std::string::npos);
  EXPECT_FALSE(mDaemon->running);
  EXPECT_TRUE(mDaemon->leavePending());
}

TEST_F(UpnpConfigTest, AnyChangeRestartsARunningService) {
  ASSERT_FALSE(bus::isError(setSettings(1, -1, -1)));
  testing::internal::CaptureStdout();
  ASSERT_FALSE(bus::isError(setSettings(-1, -1, 0)));
  const std::string out = testing::internal::GetCapturedStdout();
  const size_t down = out.find("disable\n");
  ASSERT_NE(down, std::string::npos);
  EXPECT_NE(out.find("enable\n", down), std::string::npos);
  EXPECT_TRUE(mDaemon->running);
}

TEST_F(UpnpConfigTest, DuplicateInterfaceRefusedEvenWhenTheOtherIsDisabled) {
  ASSERT_FALSE(bus::isError(addEntry(7, kTypeInternal, /*disabled=*/true)));
  const bus::message refused = addEntry(7, kTypeExternal);
  ASSERT_TRUE(bus::isError(refused));
  EXPECT_EQ(bus::getErrorCode(refused), 0xfe0006u);
  EXPECT_EQ(bus::getError(refused), "already have this interface");
  EXPECT_EQ(mDaemon->config.objects().size(), 1u);
}

TEST_F(UpnpConfigTest, DisabledEntriesHaveNoRecordUntilEnabled) {
  const bus::message added = addEntry(7, kTypeInternal, /*disabled=*/true);
  const uint32_t id = added.getU32(bus::kFieldObjectId);
  EXPECT_EQ(record(7), nullptr);

  bus::message enable;
  enable.setU32(bus::kFieldObjectId, id);
  enable.setBool(bus::kFieldDisabled, false);
  ASSERT_FALSE(bus::isError(config(enable, bus::kCmdSetObject)));
  EXPECT_NE(record(7), nullptr);

  enable.setBool(bus::kFieldDisabled, true);
  ASSERT_FALSE(bus::isError(config(enable, bus::kCmdSetObject)));
  EXPECT_EQ(record(7), nullptr);
}

TEST_F(UpnpConfigTest, ChangingTheInterfaceMovesTheRecord) {
  const uint32_t id = addEntry(7, kTypeInternal).getU32(bus::kFieldObjectId);
  bus::message change;
  change.setU32(bus::kFieldObjectId, id);
  change.setU32(1, 8);
  ASSERT_FALSE(bus::isError(config(change, bus::kCmdSetObject)));
  EXPECT_EQ(record(7), nullptr);
  ASSERT_NE(record(8), nullptr);
  EXPECT_EQ(record(8)->config.interface, 8u);
  EXPECT_EQ(entry(id)->interface, 8u);
}

TEST_F(UpnpConfigTest, DynamicEntriesCannotChangeButCanBeRemoved) {
  bus::message m;
  m.setBool(bus::kFieldDynamic, true);
  m.setU32(1, 9);
  m.setU32(2, kTypeInternal);
  const uint32_t id = config(m, bus::kCmdAddObject).getU32(bus::kFieldObjectId);
  ASSERT_NE(id, 0u);

  bus::message change;
  change.setU32(bus::kFieldObjectId, id);
  change.setU32(2, kTypeExternal);
  const bus::message refused = config(change, bus::kCmdSetObject);
  ASSERT_TRUE(bus::isError(refused));
  EXPECT_EQ(bus::getError(refused), "cannot change dynamic");
  EXPECT_EQ(entry(id)->type, kTypeInternal);

  bus::message remove;
  remove.setU32(bus::kFieldObjectId, id);
  ASSERT_FALSE(bus::isError(config(remove, bus::kCmdRemoveObject)));
  EXPECT_EQ(record(9), nullptr);
}

TEST_F(UpnpConfigTest, ForcedAddressIsTheRecordsAddress) {
  ASSERT_FALSE(bus::isError(addEntry(7, kTypeInternal, false, "10.1.2.3")));
  ASSERT_NE(record(7), nullptr);
  EXPECT_EQ(record(7)->address.toString(), "10.1.2.3");
}

TEST_F(UpnpConfigTest, SettingsAndEntriesSurviveARestart) {
  ASSERT_FALSE(bus::isError(setSettings(-1, 1, 0)));
  ASSERT_FALSE(bus::isError(addEntry(7, kTypeInternal, false, "10.1.2.3")));
  ASSERT_FALSE(bus::isError(addEntry(8, kTypeExternal, true)));
  restart();
  EXPECT_TRUE(mDaemon->config.allowDisableExternal);
  EXPECT_FALSE(mDaemon->config.showDummyRule);
  ASSERT_EQ(mDaemon->config.objects().size(), 2u);
  ASSERT_NE(record(7), nullptr);
  EXPECT_EQ(record(7)->address.toString(), "10.1.2.3");
  EXPECT_EQ(record(8), nullptr);  // disabled: stored, no record
}

TEST_F(UpnpConfigTest, StoredEnabledSettingEnablesAtStart) {
  ASSERT_FALSE(bus::isError(setSettings(1, -1, -1)));
  restart();
  EXPECT_TRUE(mDaemon->running);
  EXPECT_FALSE(mDaemon->leavePending());
}

TEST_F(UpnpConfigTest, RootDeviceValuesAfterStart) {
  const Gateway& g = mDaemon->gateway;
  EXPECT_EQ(g.info.UDN, "UUID-QUENLARK-INTERNET-GATEWAY-DEVICE-TESTID");
  EXPECT_EQ(g.files.at("/logo32.gif"), "logo32.gif");
  ASSERT_EQ(g.services.size(), 1u);
  const ServiceEntry& osinfo = g.services[0];
  EXPECT_EQ(g.files.at(osinfo.SCPDURL), "osinfo.xml");
  EXPECT_EQ(g.controlUrlTable.at(osinfo.controlURL), &g.osInfo);
  EXPECT_EQ(g.eventUrlTable.at(osinfo.eventSubURL), &g.osInfo);
  std::string value;
  ASSERT_TRUE(g.osInfo.stateVariables.at("OSBuildNumber")->getValue(value));
  EXPECT_EQ(value, "1234");
  EXPECT_EQ(g.osInfo.stateVariables.size(), 4u);
}

}  // namespace
}  // namespace upnp::test
