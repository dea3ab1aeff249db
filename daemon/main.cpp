#include <signal.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cstdio>

#include "daemon/upnp_daemon.h"
#include "platform/debug_log.h"

namespace {

// Every LAN host may hold connections and subscriptions: allow as many
// descriptors as the system lets this process have.
void raiseDescriptorLimit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= limit.rlim_max) return;
  limit.rlim_cur = limit.rlim_max;
  (void)setrlimit(RLIMIT_NOFILE, &limit);
}

// SIGTERM and SIGINT end the process the way a disable does (byebye burst,
// every NAT rule removed) and then leave the loop, so a stopped daemon never
// leaves forwarding behind. The signals arrive as loop events.
void stopOnSignals(upnp::UpnpDaemon& daemon) {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  if (sigprocmask(SIG_BLOCK, &signals, nullptr) != 0) return;
  const int fd = signalfd(-1, &signals, SFD_NONBLOCK | SFD_CLOEXEC);
  if (fd < 0) return;
  daemon.runner().addSocket(fd, bus::ThinRunner::kReadable, [&daemon](int s) {
    signalfd_siginfo info{};
    if (read(s, &info, sizeof(info)) != sizeof(info)) return;
    bus::debugLog() << "signal " << info.ssi_signo << ": stopping";
    if (daemon.running) daemon.disable();
    daemon.setupLeave(std::chrono::milliseconds(1));
  });
}

}  // namespace

int main() {
  std::puts("main() in");
  // A peer that resets its connection must cost a failed write, not the process.
  signal(SIGPIPE, SIG_IGN);
  raiseDescriptorLimit();
  // Created once and never destroyed: callbacks reach it through theDaemon().
  auto* daemon = new upnp::UpnpDaemon();
  stopOnSignals(*daemon);
  daemon->start();
  daemon->run();
  std::puts("main() out");
  return 0;
}
