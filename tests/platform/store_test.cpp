#include "platform/store.h"

#include <gtest/gtest.h>

#include "platform/file_util.h"
#include "tests/platform/temp_dir.h"

namespace bus {
namespace {

class StoreTest : public ::testing::Test {
 protected:
  test::TempDir mDir;
  test::ScopedRoot mRoot{mDir.path()};
  const std::string mFile = mDir.path() + "/zelo/store/upnpm";
};

message settings(bool enabled, bool allow, bool dummy) {
  message m;
  m.setBool(1, enabled);
  m.setBool(2, allow);
  m.setBool(3, dummy);
  return m;
}

TEST_F(StoreTest, RecordsSurviveReconstruction) {
  {
    Store store("/zelo/store/upnpm");
    EXPECT_FALSE(store.isAllocated(0));
    EXPECT_TRUE(store.get(0).empty());
    ASSERT_TRUE(store.set(0, settings(true, false, true)).isOk());
    ASSERT_TRUE(store.set(7, settings(false, true, false)).isOk());
    ASSERT_TRUE(store.set(0, settings(false, false, false)).isOk());  // replaces
  }
  Store again("/zelo/store/upnpm");
  EXPECT_TRUE(again.isAllocated(0));
  EXPECT_TRUE(again.isAllocated(7));
  EXPECT_FALSE(again.isAllocated(1));
  EXPECT_EQ(again.get(0), settings(false, false, false));
  EXPECT_EQ(again.get(7), settings(false, true, false));
}

TEST_F(StoreTest, CorruptFilesGiveAnEmptyStore) {
  message good;
  good.setMessage(0, settings(true, true, true));
  const std::string valid = good.encode();
  message notNested;
  notNested.setU32(0, 1);
  const std::vector<std::string> table = {
      "garbage",
      valid.substr(0, valid.size() - 1),        // truncated
      valid + "x",                              // trailing junk
      notNested.encode(),                       // a record that is not a message
      std::string(1, '\0'),
  };
  for (const std::string& bytes : table) {
    ASSERT_TRUE(writeFileAtomic(mFile, bytes).isOk());
    Store store("/zelo/store/upnpm");
    EXPECT_FALSE(store.isAllocated(0));
    // The store stays usable and its next write replaces the bad file.
    ASSERT_TRUE(store.set(1, settings(true, false, false)).isOk());
    EXPECT_EQ(Store("/zelo/store/upnpm").get(1), settings(true, false, false));
  }
}

TEST_F(StoreTest, FailedWriteKeepsTheOldRecord) {
  Store store("/zelo/store/upnpm");
  ASSERT_TRUE(store.set(0, settings(true, false, false)).isOk());
  // Make the file path a non-empty directory so the rename fails.
  std::filesystem::remove(mFile);
  std::filesystem::create_directories(mFile + "/blocker");
  EXPECT_FALSE(store.set(0, settings(false, true, true)).isOk());
  EXPECT_EQ(store.get(0), settings(true, false, false));
}

TEST_F(StoreTest, EmptyPathKeepsRecordsInMemoryOnly) {
  Store store("");
  ASSERT_TRUE(store.set(3, settings(true, true, true)).isOk());
  EXPECT_TRUE(store.isAllocated(3));
  EXPECT_TRUE(std::filesystem::is_empty(mDir.path()));
}

}  // namespace
}  // namespace bus
