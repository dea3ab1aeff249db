#pragma once

#include <string>

#include "platform/looper.h"

namespace routerd {

// The router's identity, served at [65]: bus::kCmdGet answers it in string
// field kIdentityField; bus::kCmdSet with that field replaces it (1..256
// printable bytes). Loop thread only.
class IdentityService : public bus::Handler {
 public:
  static constexpr size_t kMaxBytes = 256;

  explicit IdentityService(std::string identity = "ROUTERD0") : mIdentity(std::move(identity)) {}

  bus::message handle(const bus::message& request) override;

  // False (and no change) for an empty, overlong or unprintable text.
  bool setIdentity(const std::string& identity);
  const std::string& identity() const { return mIdentity; }

 private:
  std::string mIdentity;  // becomes part of every UDN of the daemon
};

}  // namespace routerd
