#include <csignal>
#include <cstdio>

#include "daemon/upnp_daemon.h"

int main() {
  std::puts("main() in");
  // A peer that resets its connection must cost a failed write, not the process.
  signal(SIGPIPE, SIG_IGN);
  // Created once and never destroyed: callbacks reach it through theDaemon().
  auto* daemon = new upnp::UpnpDaemon();
  daemon->start();
  daemon->run();
  std::puts("main() out");
  return 0;
}
