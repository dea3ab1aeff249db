#include "platform/paths.h"

#include <cstdlib>

namespace bus {

std::string platformRoot() {
  const char* root = std::getenv("ZELO_ROOT");
  return root ? std::string(root) : std::string();
}

std::string hostPath(std::string_view routerPath) {
  std::string root = platformRoot();
  if (root.empty() || !routerPath.starts_with("/zelo/")) return std::string(routerPath);
  // The router path brings its own leading slash.
  while (!root.empty() && root.back() == '/') root.pop_back();
  return root + std::string(routerPath);
}

}  // namespace bus
