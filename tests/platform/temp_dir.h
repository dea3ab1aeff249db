#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>

namespace bus::test {

// A fresh directory under /tmp, removed with everything in it on destruction.
class TempDir {
 public:
  TempDir() {
    std::string pattern = "/tmp/zplatform-test-XXXXXX";
    char* made = ::mkdtemp(pattern.data());
    mPath = made ? made : "";
  }
  ~TempDir() {
    std::error_code ignored;
    if (!mPath.empty()) std::filesystem::remove_all(mPath, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return mPath; }

 private:
  std::string mPath;  // "" when mkdtemp failed
};

// Points ZELO_ROOT at `root` for the lifetime of the object.
class ScopedRoot {
 public:
  explicit ScopedRoot(const std::string& root) { ::setenv("ZELO_ROOT", root.c_str(), 1); }
  ~ScopedRoot() { ::unsetenv("ZELO_ROOT"); }
  ScopedRoot(const ScopedRoot&) = delete;
  ScopedRoot& operator=(const ScopedRoot&) = delete;
};

}  // namespace bus::test
