// Settings that cannot be saved are refused and leave the daemon as it was,
// so what runs is what the next start reads back.

#include <filesystem>

#include "tests/daemon/daemon_fixture.h"

namespace upnp::test {
namespace {

// The store file becomes a directory: no write can replace it, root or not.
void breakStore(const std::string& root, const char* name, bool broken = true) {
  std::filesystem::remove_all(root + "/zelo/store/" + name);
  if (broken) std::filesystem::create_directories(root + "/zelo/store/" + name + "/full");
}
void expectSaveError(const bus::message& reply) {
  EXPECT_NE(bus::getError(reply).find("cannot save"), std::string::npos) << reply.toString();
}

TEST_F(DaemonFixture, SettingsAndEntriesThatCannotBeSavedAreNotApplied) {
  breakStore(mRoot.path(), "upnpm");
  expectSaveError(setSettings(1, -1, 0));
  EXPECT_FALSE(mDaemon->config.enabled || mDaemon->running || !mDaemon->config.showDummyRule);
  EXPECT_TRUE(mDaemon->config.undoLog().empty());
  breakStore(mRoot.path(), "upnpm", false);
  ASSERT_FALSE(bus::isError(setSettings(1, -1, 0)));
  EXPECT_TRUE(mDaemon->running);

  breakStore(mRoot.path(), "upnp");
  expectSaveError(addEntry(5, kTypeInternal));
  EXPECT_TRUE(mDaemon->config.objects().empty() && mDaemon->gateway.interfaces.empty());
  breakStore(mRoot.path(), "upnp", false);
  const uint32_t id = addEntry(5, kTypeInternal).getU32(bus::kFieldObjectId);
  ASSERT_NE(record(5), nullptr);
  breakStore(mRoot.path(), "upnp");
  expectSaveError(changeEntry(id, bus::kFieldDisabled, 1));
  expectSaveError(changeEntry(id));
  EXPECT_FALSE(mDaemon->config.find(id)->disabled);
  EXPECT_NE(record(5), nullptr);
}

}  // namespace
}  // namespace upnp::test
