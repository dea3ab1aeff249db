#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/looper.h"
#include "platform/routerd/key_values.h"
#include "platform/routerd/program_launcher.h"
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
//   program address=N path=/ABS/PATH [log=/ABS/FILE] [pid-file=/ABS/FILE]
//
// A program statement only records the program (see programs()); routerd
// starts it on demand (ProgramLauncher). Its address must not be one that
// routerd serves itself, nor named twice.
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
  // The program statements, in order.
  const std::vector<ProgramSettings>& programs() const { return mPrograms; }

 private:
  bus::Status applyLine(std::string_view line);
  bus::Status lineInterface(KeyValues& args);
  bus::Status lineAddress(KeyValues& args);
  bus::Status lineResolver(KeyValues& args);
  bus::Status lineCounters(KeyValues& args);
  bus::Status lineProgram(KeyValues& args);
  bus::Status send(uint32_t handler, bus::message request, uint32_t command);

  Router& mRouter;
  bus::Looper& mLooper;
  std::string mOsVersion;  // from os-version
  std::vector<ProgramSettings> mPrograms;
};

}  // namespace routerd
