#include "platform/store.h"

#include <gtest/gtest.h>

#include "platform/file_util.h"
#include "tests/platform/temp_dir.h"

namespace bus {
namespace {

constexpr const char* kPath = "/zelo/store/upnpm";

message settings(bool enabled, bool allow) {
  message m;
  m.setBool(1, enabled);
  m.setBool(2, allow);
  return m;
}

TEST(StoreTest, RecordsSurviveRestartsCorruptFilesAndFailedWrites) {
  test::TempDir dir;
  test::ScopedRoot root(dir.path());
  const std::string file = dir.path() + kPath;
  ASSERT_TRUE(Store(kPath).set(0, settings(true, false)).isOk());
  ASSERT_TRUE(Store(kPath).set(7, settings(false, true)).isOk());
  ASSERT_TRUE(Store(kPath).set(0, settings(false, false)).isOk());  // replaces
  Store again(kPath);
  EXPECT_EQ(again.get(0), settings(false, false));
  EXPECT_EQ(again.get(7), settings(false, true));

  const std::string valid = *readFile(file);
  for (const std::string& bytes : {std::string("garbage"), valid.substr(0, valid.size() - 1), valid + "x",
                                   settings(true, true).encode()}) {  // the last: not nested
    ASSERT_TRUE(writeFileAtomic(file, bytes).isOk());
    Store store(kPath);
    EXPECT_FALSE(store.isAllocated(0));
    // The store stays usable and its next write replaces the bad file.
    ASSERT_TRUE(store.set(1, settings(true, false)).isOk());
    EXPECT_EQ(Store(kPath).get(1), settings(true, false));
  }
}

}  // namespace
}  // namespace bus
