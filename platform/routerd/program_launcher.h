#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "platform/status.h"
#include "platform/thin_runner.h"

namespace routerd {

// A program that routerd starts on demand: the first connection to its bus
// address starts it.
struct ProgramSettings {
  uint32_t address = 0;  // bus address the program serves
  std::string path;      // absolute path of the executable (run without arguments)
  std::string log;       // file its stdout and stderr are appended to ("": routerd's own)
  std::string pidFile;   // holds its pid while it runs ("": none)
};

// Starts programs when a client connects to their bus address, in the way of
// a service manager's socket activation. For each program, routerd holds the
// listening socket of its address (the name bus::Looper would listen on) and
// watches it while the program is not running. A pending connection starts
// the program with the socket as fd 3, LISTEN_FDS=1 and LISTEN_PID=its pid,
// stdin from /dev/null; the client's request waits in the socket until the
// program's Looper accepts it. While the program runs, routerd does not watch
// the socket; when it exits (reaped through a pidfd, or by polling where
// pidfds are missing), routerd watches again, so a connection that arrived
// meanwhile starts it anew. A program that lived less than kQuickExitMs is not
// started again before kRestartDelayMs has passed (a crash loop costs at most
// one start per delay). Starts and exits go to the trace. Loop thread only.
// A program still running when the launcher is destroyed is left running.
class ProgramLauncher {
 public:
  static constexpr uint64_t kQuickExitMs = 1000;
  static constexpr uint32_t kRestartDelayMs = 1000;
  static constexpr uint32_t kPollMs = 100;  // reaping without pidfds

  explicit ProgramLauncher(bus::ThinRunner& runner);
  ~ProgramLauncher();
  ProgramLauncher(const ProgramLauncher&) = delete;
  ProgramLauncher& operator=(const ProgramLauncher&) = delete;

  // Lines about starts and exits go to `trace` (null: nowhere); it must
  // outlive the launcher.
  void setTrace(std::ostream* trace) { mTrace = trace; }

  // Takes the program's bus address and starts watching it; an address that
  // another process still listens on (the program, started by an earlier
  // routerd) is taken over once it is free. Fails when the address already
  // has a program or the settings are incomplete.
  bus::Status add(const ProgramSettings& settings);

  // The pid of the program at `address` while it runs, else 0.
  pid_t running(uint32_t address) const;

 private:
  struct Program;
  // Listens at the program's address, or retries every kRestartDelayMs while
  // it is taken; false when it is taken now.
  bool claim(Program& p);
  void watch(Program& p);
  void start(Program& p);
  void reapSoon(Program& p);
  void reaped(Program& p, int status);
  void trace(const Program& p, const std::string& text);

  bus::ThinRunner& mRunner;
  std::vector<std::unique_ptr<Program>> mPrograms;
  std::ostream* mTrace = nullptr;
};

}  // namespace routerd
