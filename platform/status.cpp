#include "platform/status.h"

#include <cerrno>
#include <cstring>

namespace bus {

Status Status::sysError(const char* call) {
  // Read errno first: building the string may allocate and clobber it.
  const int err = errno;
  std::string text = call;
  text += ": ";
  text += std::strerror(err);
  return Status(std::move(text));
}

}  // namespace bus
