#include "platform/debug_log.h"

#include <cstdio>

namespace bus {

DebugLine::~DebugLine() {
  mLine.push_back('\n');
  std::fwrite(mLine.data(), 1, mLine.size(), stdout);
}

}  // namespace bus
