#include "platform/routerd/program_launcher.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/file_util.h"
#include "platform/looper.h"

namespace routerd {

struct ProgramLauncher::Program {
  ProgramSettings settings;
  int listenFd = -1;
  pid_t pid = 0;            // while running
  int pidFd = -1;           // readable when the running program exited; -1: polled
  uint64_t startedMs = 0;   // monotonic
  uint64_t timer = 0;       // runner handle of the poll or restart timer, 0: none
};

namespace {

int openPidFd(pid_t pid) {
#ifdef SYS_pidfd_open
  return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
#else
  (void)pid;
  return -1;
#endif
}

uint32_t ticks(uint32_t ms) { return (ms + bus::ThinRunner::kTickMs - 1) / bus::ThinRunner::kTickMs; }

// In the forked child: set up what the program expects and exec it. Never returns.
[[noreturn]] void execProgram(const ProgramSettings& settings, int listenFd) {
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  const int null = open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (null >= 0) dup2(null, 0);
  if (!settings.log.empty()) {
    const int log = open(settings.log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (log >= 0) {
      dup2(log, 1);
      dup2(log, 2);
    }
  }
  // dup2 clears close-on-exec on fd 3; a socket that already is fd 3 needs it cleared by hand.
  if (listenFd == 3) {
    fcntl(3, F_SETFD, 0);
  } else {
    dup2(listenFd, 3);
  }
  char pid[24];
  std::snprintf(pid, sizeof pid, "%ld", static_cast<long>(getpid()));
  setenv("LISTEN_PID", pid, 1);
  setenv("LISTEN_FDS", "1", 1);
  unsetenv("LISTEN_FDNAMES");
  execl(settings.path.c_str(), settings.path.c_str(), static_cast<char*>(nullptr));
  dprintf(2, "routerd: cannot run %s: %s\n", settings.path.c_str(), std::strerror(errno));
  _exit(127);
}

}  // namespace

ProgramLauncher::ProgramLauncher(bus::ThinRunner& runner) : mRunner(runner) {}

ProgramLauncher::~ProgramLauncher() {
  for (auto& p : mPrograms) {
    if (p->timer != 0) mRunner.removeTimer(p->timer);
    if (p->pidFd >= 0) {
      mRunner.removeSocket(p->pidFd);
      close(p->pidFd);
    }
    mRunner.removeSocket(p->listenFd);
    close(p->listenFd);
  }
}

bus::Status ProgramLauncher::add(const ProgramSettings& settings) {
  if (settings.address == 0) return bus::Status::error("program needs a bus address");
  if (!settings.path.starts_with("/")) return bus::Status::error("program path must be absolute");
  for (const auto& p : mPrograms) {
    if (p->settings.address == settings.address) return bus::Status::error("address " + std::to_string(settings.address) + " has a program already");
  }
  auto p = std::make_unique<Program>();
  p->settings = settings;
  Program& program = *p;
  mPrograms.push_back(std::move(p));
  if (!claim(program)) trace(program, "bus address in use; taken over once it is free");
  return bus::Status::ok();
}

// The address may still be held by the program itself, started by an earlier
// routerd that went away: then it is taken over once the program has left.
bool ProgramLauncher::claim(Program& p) {
  p.listenFd = bus::listenBusSocket(p.settings.address);
  if (p.listenFd >= 0) {
    watch(p);
    return true;
  }
  p.timer = mRunner.addTimer(ticks(kRestartDelayMs), [this, &p] {
    p.timer = 0;
    (void)claim(p);
  });
  return false;
}

pid_t ProgramLauncher::running(uint32_t address) const {
  for (const auto& p : mPrograms) {
    if (p->settings.address == address) return p->pid;
  }
  return 0;
}

void ProgramLauncher::watch(Program& p) {
  mRunner.addSocket(p.listenFd, bus::ThinRunner::kReadable, [this, &p](int) {
    if (p.pid == 0) start(p);
  });
}

void ProgramLauncher::start(Program& p) {
  mRunner.removeSocket(p.listenFd);
  mRunner.updateNow();
  p.startedMs = mRunner.nowMs();
  std::fflush(nullptr);  // nothing buffered may be written twice
  const pid_t pid = fork();
  if (pid == 0) execProgram(p.settings, p.listenFd);
  if (pid < 0) {
    trace(p, std::string("cannot fork: ") + std::strerror(errno));
    p.timer = mRunner.addTimer(ticks(kRestartDelayMs), [this, &p] {
      p.timer = 0;
      watch(p);
    });
    return;
  }
  p.pid = pid;
  trace(p, "started pid " + std::to_string(pid) + " (" + p.settings.path + ")");
  if (!p.settings.pidFile.empty()) {
    bus::Status status = bus::writeFileAtomic(p.settings.pidFile, std::to_string(pid) + "\n");
    if (!status.isOk()) trace(p, "pid file: " + status.text());
  }
  p.pidFd = openPidFd(pid);
  if (p.pidFd >= 0) {
    fcntl(p.pidFd, F_SETFD, FD_CLOEXEC);
    mRunner.addSocket(p.pidFd, bus::ThinRunner::kReadable, [this, &p](int) { reapSoon(p); });
  } else {
    reapSoon(p);
  }
}

// Collects the program's exit status if it has one; otherwise polls again
// later (only without a pidfd, whose readiness means the exit happened).
void ProgramLauncher::reapSoon(Program& p) {
  int status = 0;
  pid_t rc;
  do {
    rc = waitpid(p.pid, &status, WNOHANG);
  } while (rc < 0 && errno == EINTR);
  if (rc == p.pid || (rc < 0 && errno == ECHILD)) {
    reaped(p, rc == p.pid ? status : -1);
    return;
  }
  if (p.pidFd < 0) {
    p.timer = mRunner.addTimer(ticks(kPollMs), [this, &p] {
      p.timer = 0;
      reapSoon(p);
    });
  }
}

void ProgramLauncher::reaped(Program& p, int status) {
  if (p.pidFd >= 0) {
    mRunner.removeSocket(p.pidFd);
    close(p.pidFd);
    p.pidFd = -1;
  }
  if (!p.settings.pidFile.empty()) unlink(p.settings.pidFile.c_str());
  std::string how = "exited";
  if (status < 0) {
    how = "is gone";
  } else if (WIFEXITED(status)) {
    how = "exited with status " + std::to_string(WEXITSTATUS(status));
  } else if (WIFSIGNALED(status)) {
    how = "killed by signal " + std::to_string(WTERMSIG(status));
  }
  trace(p, "pid " + std::to_string(p.pid) + " " + how);
  p.pid = 0;
  mRunner.updateNow();
  if (mRunner.nowMs() - p.startedMs >= kQuickExitMs) {
    watch(p);
    return;
  }
  p.timer = mRunner.addTimer(ticks(kRestartDelayMs), [this, &p] {
    p.timer = 0;
    watch(p);
  });
}

void ProgramLauncher::trace(const Program& p, const std::string& text) {
  if (mTrace) *mTrace << "program " << p.settings.address << ": " << text << std::endl;
}

}  // namespace routerd
