#pragma once

#include <optional>
#include <string>

#include "platform/status.h"

namespace bus {

// Replaces the file at `path` with `data` so that a crash at any moment leaves
// either the old or the new content: writes a temporary file beside it, fsyncs
// it, renames it over `path` and fsyncs the directory. Creates missing parent
// directories. `path` is a host path (see hostPath).
Status writeFileAtomic(const std::string& path, const std::string& data);

// The whole file, or nullopt when it cannot be opened or read.
std::optional<std::string> readFile(const std::string& path);

}  // namespace bus
