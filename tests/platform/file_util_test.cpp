#include "platform/file_util.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <random>

#include "tests/platform/temp_dir.h"

namespace bus {
namespace {

// A writer killed at any moment leaves the old or the new content, never a mix,
// a truncation or nothing.
TEST(FileUtilTest, KilledWriterLeavesOldOrNewContent) {
  test::TempDir dir;
  const std::string path = dir.path() + "/store/file";
  const std::string a(200000, 'a');
  const std::string b = std::string(3000, 'b') + "end";
  ASSERT_TRUE(writeFileAtomic(path, a).isOk());
  std::mt19937 rng(12345);
  std::uniform_int_distribution<int> delayUs(0, 4000);
  for (int i = 0; i < 50; ++i) {
    const pid_t child = fork();
    if (child == 0) {
      for (int n = 0; n < 100000; ++n)  // bounded even if never killed
        if (!writeFileAtomic(path, n % 2 ? a : b).isOk()) _exit(2);
      _exit(0);
    }
    ::usleep(static_cast<useconds_t>(delayUs(rng)));
    ::kill(child, SIGKILL);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_FALSE(WIFEXITED(status) && WEXITSTATUS(status) == 2) << "writer failed";
    const std::string got = readFile(path).value_or("none");
    ASSERT_TRUE(got == a || got == b) << "iteration " << i << ": " << got.size() << " bytes";
  }
}

}  // namespace
}  // namespace bus
