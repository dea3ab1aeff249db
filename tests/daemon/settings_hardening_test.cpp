// Settings that cannot be saved (a full disk, a broken store) are refused with
// an error and leave the daemon as it was, so what runs is what the next start
// reads back.

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>

#include "daemon/upnp_daemon.h"
#include "platform/routerd/router.h"
#include "platform/routerd/sim_backend.h"
#include "tests/platform/temp_dir.h"

namespace upnp {
namespace {

class HardeningSettingsTest : public ::testing::Test {
 protected:
  HardeningSettingsTest() : mScopedRoot(mRoot.path()) {
    mRouter.identity().setIdentity("TESTID");
    mRouter.attach(mDaemon, false);
    mDaemon.start();
  }
  ~HardeningSettingsTest() override {
    if (mDaemon.running) mDaemon.disable();
  }

  bus::message config(bus::message request, uint32_t command) {
    request.setU32Array(bus::kFieldDestination, {bus::kAddrUpnp, 0});
    return mDaemon.exchangeCmd(request, command, 1000);
  }
  // The store file becomes a directory: no write can replace it, root or not.
  void breakStore(const std::string& routerPath) {
    std::filesystem::remove_all(mRoot.path() + routerPath);
    std::filesystem::create_directories(mRoot.path() + routerPath + "/full");
  }
  void repairStore(const std::string& routerPath) { std::filesystem::remove_all(mRoot.path() + routerPath); }
  static void expectSaveError(const bus::message& reply) {
    EXPECT_TRUE(bus::isError(reply));
    EXPECT_NE(bus::getError(reply).find("cannot save"), std::string::npos) << bus::getError(reply);
  }

  bus::test::TempDir mRoot;
  bus::test::ScopedRoot mScopedRoot;
  routerd::Router mRouter{std::make_unique<routerd::SimBackend>()};
  UpnpDaemon mDaemon;
};

TEST_F(HardeningSettingsTest, GlobalSettingsThatCannotBeSavedAreRefusedAndNotApplied) {
  breakStore("/zelo/store/upnpm");
  bus::message enable;
  enable.setBool(UpnpConfig::kFieldEnabled, true);
  enable.setBool(UpnpConfig::kFieldShowDummyRule, false);
  expectSaveError(config(enable, bus::kCmdSet));
  EXPECT_FALSE(mDaemon.config.enabled);
  EXPECT_TRUE(mDaemon.config.showDummyRule);
  EXPECT_FALSE(mDaemon.running);
  EXPECT_TRUE(mDaemon.config.undoLog().empty());
  repairStore("/zelo/store/upnpm");
  EXPECT_FALSE(bus::isError(config(enable, bus::kCmdSet)));
  EXPECT_TRUE(mDaemon.config.enabled);
  EXPECT_TRUE(mDaemon.running);
}

TEST_F(HardeningSettingsTest, InterfaceEntriesThatCannotBeSavedAreNeitherAddedChangedNorRemoved) {
  bus::message entry;
  entry.setBool(bus::kFieldDisabled, false);
  entry.setU32(1, 5);  // router interface
  entry.setU32(2, kTypeInternal);
  breakStore("/zelo/store/upnp");
  expectSaveError(config(entry, bus::kCmdAddObject));
  EXPECT_TRUE(mDaemon.config.objects().empty());
  EXPECT_TRUE(mDaemon.gateway.interfaces.empty());

  repairStore("/zelo/store/upnp");
  const bus::message added = config(entry, bus::kCmdAddObject);
  ASSERT_FALSE(bus::isError(added));
  const uint32_t id = added.getU32(bus::kFieldObjectId);
  ASSERT_EQ(mDaemon.gateway.interfaces.size(), 1u);
  breakStore("/zelo/store/upnp");
  bus::message disable;
  disable.setU32(bus::kFieldObjectId, id);
  disable.setBool(bus::kFieldDisabled, true);
  expectSaveError(config(disable, bus::kCmdSetObject));
  ASSERT_NE(mDaemon.config.find(id), nullptr);
  EXPECT_FALSE(mDaemon.config.find(id)->disabled);
  EXPECT_EQ(mDaemon.gateway.interfaces.size(), 1u);
  bus::message remove;
  remove.setU32(bus::kFieldObjectId, id);
  expectSaveError(config(remove, bus::kCmdRemoveObject));
  EXPECT_NE(mDaemon.config.find(id), nullptr);
  EXPECT_EQ(mDaemon.gateway.interfaces.size(), 1u);
}

}  // namespace
}  // namespace upnp
