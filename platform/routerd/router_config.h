#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/looper.h"
#include "platform/routerd/key_values.h"
#include "platform/routerd/router.h"
#include "platform/status.h"

namespace routerd {

// routerd's configuration file: one statement a line, blank lines and lines
// starting with "#" ignored, words separated by blanks:
//
//   identity TEXT
//   os-version TEXT...                (the rest of the line)
//   interface name=NAME kernel=KERNEL-NAME [token=N] [running=yes|no] [disabled=yes|no]
//   address address=A.B.C.D[/P] interface=NAME [disabled=yes|no]
//   resolver name=HOST address=A.B.C.D
//   counters interface=NAME [rx-bytes=N] [tx-bytes=N] [rx-packets=N] [tx-packets=N]
//
// Interfaces and addresses go through the tables' bus requests, so the file is
// checked exactly like routerctl's requests.
class RouterConfig {
 public:
  // `router` must be attached to `looper`; both must outlive the config.
  RouterConfig(Router& router, bus::Looper& looper) : mRouter(router), mLooper(looper) {}

  // Applies the statements in order and stops at the first bad one, with the
  // error "line N: why". Statements before it stay applied.
  bus::Status apply(std::string_view text);
  // The last os-version statement, "" when none.
  const std::string& osVersion() const { return mOsVersion; }

 private:
  bus::Status applyLine(std::string_view line);
  bus::Status lineInterface(KeyValues& args);
  bus::Status lineAddress(KeyValues& args);
  bus::Status lineResolver(KeyValues& args);
  bus::Status lineCounters(KeyValues& args);
  bus::Status send(uint32_t handler, bus::message request, uint32_t command);

  Router& mRouter;
  bus::Looper& mLooper;
  std::string mOsVersion;  // from os-version
};

}  // namespace routerd
