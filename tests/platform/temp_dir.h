#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>

namespace bus::test {

// A fresh directory under /tmp, removed with its content on destruction.
struct TempDir {
  TempDir() : mPath("/tmp/zplatform-test-XXXXXX") {
    if (!::mkdtemp(mPath.data())) mPath.clear();
  }
  ~TempDir() {
    std::error_code ignored;
    if (!mPath.empty()) std::filesystem::remove_all(mPath, ignored);
  }
  const std::string& path() const { return mPath; }
  std::string mPath;
};

// Points ZELO_ROOT at `root` for the lifetime of the object.
struct ScopedRoot {
  explicit ScopedRoot(const std::string& root) { ::setenv("ZELO_ROOT", root.c_str(), 1); }
  ~ScopedRoot() { ::unsetenv("ZELO_ROOT"); }
};

}  // namespace bus::test
