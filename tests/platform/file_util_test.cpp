#include "platform/file_util.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <random>

#include "platform/paths.h"
#include "tests/platform/temp_dir.h"

namespace bus {
namespace {

TEST(PathsTest, RouterPathsMoveUnderTheRootOnlyWhenOneIsSet) {
  ::unsetenv("ZELO_ROOT");
  EXPECT_EQ(hostPath("/zelo/store/upnp"), "/zelo/store/upnp");
  EXPECT_EQ(platformRoot(), "");
  {
    test::ScopedRoot root("");
    EXPECT_EQ(hostPath("/zelo/store/upnp"), "/zelo/store/upnp");
  }
  struct Case {
    const char* root;
    const char* path;
    const char* expected;
  };
  const Case table[] = {
      {"/tmp/r1", "/zelo/store/upnp", "/tmp/r1/zelo/store/upnp"},
      {"/tmp/r1/", "/zelo/etc/upnp/osinfo.xml", "/tmp/r1/zelo/etc/upnp/osinfo.xml"},
      {"/tmp/r1//", "/zelo/x", "/tmp/r1/zelo/x"},
      {"/tmp/r1", "/zelox/store", "/zelox/store"},
      {"/tmp/r1", "/zelo", "/zelo"},
      {"/tmp/r1", "/etc/passwd", "/etc/passwd"},
      {"/tmp/r1", "zelo/store", "zelo/store"},
      {"/tmp/r1", "", ""},
  };
  for (const Case& c : table) {
    test::ScopedRoot root(c.root);
    EXPECT_EQ(hostPath(c.path), c.expected) << c.root << " + " << c.path;
    EXPECT_EQ(platformRoot(), c.root);
  }
}

TEST(FileUtilTest, WriteCreatesParentsAndReplacesContent) {
  test::TempDir dir;
  const std::string path = dir.path() + "/a/b/c/file";
  ASSERT_TRUE(writeFileAtomic(path, "first").isOk());
  EXPECT_EQ(readFile(path), "first");
  const std::string binary("x\0y\xff", 4);
  ASSERT_TRUE(writeFileAtomic(path, binary).isOk());
  EXPECT_EQ(readFile(path), binary);
  ASSERT_TRUE(writeFileAtomic(path, "").isOk());
  EXPECT_EQ(readFile(path), "");
  // No temporary file is left beside it.
  const std::filesystem::directory_iterator entries(dir.path() + "/a/b/c");
  EXPECT_EQ(std::distance(begin(entries), end(entries)), 1);
}

TEST(FileUtilTest, FailuresNameTheSystemCall) {
  test::TempDir dir;
  ASSERT_TRUE(writeFileAtomic(dir.path() + "/plain", "x").isOk());
  // A parent that is a regular file cannot become a directory.
  Status s = writeFileAtomic(dir.path() + "/plain/child/file", "y");
  ASSERT_FALSE(s.isOk());
  EXPECT_EQ(s.text().rfind("mkdir: ", 0), 0u) << s.text();
  // Renaming over a directory fails, and the temporary file goes away.
  std::filesystem::create_directories(dir.path() + "/dir/inner");
  s = writeFileAtomic(dir.path() + "/dir", "z");
  ASSERT_FALSE(s.isOk());
  EXPECT_EQ(s.text().rfind("rename: ", 0), 0u) << s.text();
  EXPECT_FALSE(std::filesystem::exists(dir.path() + "/dir.tmp." + std::to_string(getpid())));
  EXPECT_EQ(readFile(dir.path() + "/missing"), std::nullopt);
  EXPECT_EQ(readFile(dir.path() + "/dir"), std::nullopt);  // a directory cannot be read
  errno = ENOENT;
  EXPECT_EQ(Status::sysError("open").text(), "open: No such file or directory");
}

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
    ASSERT_GE(child, 0);
    if (child == 0) {
      // Bounded even if the parent never kills it.
      for (int n = 0; n < 100000; ++n) {
        if (!writeFileAtomic(path, n % 2 ? a : b).isOk()) _exit(2);
      }
      _exit(0);
    }
    ::usleep(static_cast<useconds_t>(delayUs(rng)));
    ::kill(child, SIGKILL);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_FALSE(WIFEXITED(status) && WEXITSTATUS(status) == 2) << "writer failed";
    std::optional<std::string> got = readFile(path);
    ASSERT_TRUE(got) << "iteration " << i;
    ASSERT_TRUE(*got == a || *got == b) << "iteration " << i << ": " << got->size() << " bytes";
  }
}

}  // namespace
}  // namespace bus
