// routerd: the stand-in router. Hosts the router's services on the bus of
// this platform root ($ZELO_ROOT) until it is killed.
//
//   routerd [--backend sim|linux] [CONFIG-FILE]      (format: router_config.h)
//
// sim (the default) keeps the router's state in routerd only; linux makes the
// kernel of routerd's network namespace follow it (linux_backend.h).
// SIGTERM and SIGINT end routerd cleanly (the linux backend removes its
// nftables table).

#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>

#include "platform/file_util.h"
#include "platform/looper.h"
#include "platform/paths.h"
#include "platform/routerd/program_launcher.h"
#include "platform/routerd/linux_backend.h"
#include "platform/routerd/router.h"
#include "platform/routerd/router_config.h"
#include "platform/routerd/router_protocol.h"
#include "platform/routerd/sim_backend.h"
#include "platform/routerd/system_resolver.h"

namespace {

// A second routerd on the same root could not listen and would answer nothing;
// better to refuse to start.
bool alreadyRunning() {
  bus::Looper probe(0);
  bus::message request;
  request.setU32Array(bus::kFieldDestination, {bus::kAddrRouter, routerd::kHandlerInterfaces});
  bus::message reply = probe.exchangeCmd(request, bus::kCmdListObjects, 1000);
  return bus::getErrorCode(reply) != bus::kErrUnreachable;
}

// Tells a service manager that started routerd as Type=notify that the
// services answer now; nothing when none did. Programs started later do not
// inherit the variable.
void notifyReady() {
  const char* path = std::getenv("NOTIFY_SOCKET");
  if (path == nullptr) return;
  const size_t len = std::strlen(path);
  sockaddr_un sa{};
  sa.sun_family = AF_UNIX;
  if ((path[0] == '/' || path[0] == '@') && len < sizeof sa.sun_path) {
    std::memcpy(sa.sun_path, path, len);
    if (path[0] == '@') sa.sun_path[0] = 0;  // abstract
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd >= 0) {
      const socklen_t salen = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + len);
      if (sendto(fd, "READY=1", 7, MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&sa), salen) < 0) {
        std::perror("routerd: NOTIFY_SOCKET");
      }
      close(fd);
    }
  }
  unsetenv("NOTIFY_SOCKET");
}

// SIGTERM/SIGINT become a leave of the loop, so the backend can clean up.
// Returns the signalfd (owned by main until exit), or -1.
int leaveOnSignals(bus::Looper& looper) {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  if (sigprocmask(SIG_BLOCK, &set, nullptr) != 0) return -1;
  const int fd = signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
  if (fd < 0) return -1;
  looper.runner().addSocket(fd, bus::ThinRunner::kReadable, [&looper](int sfd) {
    signalfd_siginfo info;
    while (read(sfd, &info, sizeof(info)) == static_cast<ssize_t>(sizeof(info))) {
    }
    looper.setupLeave(1);
  });
  return fd;
}

}  // namespace

int main(int argc, char** argv) {
  std::string backendName = "sim";
  if (argc >= 3 && std::strcmp(argv[1], "--backend") == 0) {
    backendName = argv[2];
    argv += 2;
    argc -= 2;
  }
  if (argc > 2 || (argc == 2 && argv[1][0] == '-') || (backendName != "sim" && backendName != "linux")) {
    std::fprintf(stderr, "usage: routerd [--backend sim|linux] [CONFIG-FILE]\n");
    return 2;
  }
  // The log is usually a file: keep each line whole and in time.
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  if (alreadyRunning()) {
    std::fprintf(stderr, "routerd: already running for root '%s'\n", bus::platformRoot().c_str());
    return 1;
  }

  std::unique_ptr<routerd::RouterBackend> backend = std::make_unique<routerd::SimBackend>();
  routerd::LinuxBackend* kernelBackend = nullptr;
  if (backendName == "linux") {
    auto kernel = std::make_unique<routerd::LinuxBackend>();
    bus::Status status = kernel->start();
    if (!status.isOk()) {
      std::fprintf(stderr, "routerd: linux backend: %s\n", status.text().c_str());
      return 1;
    }
    kernelBackend = kernel.get();
    backend = std::move(kernel);
  }
    // A fresh base for rule ids: ids held by clients from an earlier run of
  // routerd must not name the rules of this one.
  routerd::Router router(std::move(backend), routerd::NatTable::freshIdBase());
  bus::Looper looper(bus::kAddrRouter);
  router.attach(looper, /*listen=*/true);
  router.setTrace(&std::cout);
  const int signalFd = leaveOnSignals(looper);
  routerd::SystemResolver systemResolver;
  if (kernelBackend) {
    routerd::SystemResolver::limitResolverWait();
    router.resolver().setFallback([&systemResolver, &looper](const std::string& name) {
      looper.runner().updateNow();
      return systemResolver.resolve(name, looper.runner().nowMs());
    });
  }

  // Declared before the config is read, and so destroyed after the loop ends.
  routerd::ProgramLauncher programs(looper.runner());
  programs.setTrace(&std::cout);
  std::string osVersion;
  if (argc == 2) {
    std::optional<std::string> text = bus::readFile(argv[1]);
    if (!text) {
      std::fprintf(stderr, "routerd: cannot read %s\n", argv[1]);
      return 1;
    }
    routerd::RouterConfig config(router, looper);
    bus::Status status = config.apply(*text);
    if (!status.isOk()) {
      std::fprintf(stderr, "routerd: %s: %s\n", argv[1], status.text().c_str());
      return 1;
    }
    osVersion = config.osVersion();
    for (const routerd::ProgramSettings& settings : config.programs()) {
      status = programs.add(settings);
      if (!status.isOk()) {
        std::fprintf(stderr, "routerd: program %u: %s\n", settings.address, status.text().c_str());
        return 1;
      }
    }
  }
  if (kernelBackend) kernelBackend->follow(router, looper);
  if (!osVersion.empty()) {
    bus::Status status = bus::writeFileAtomic(bus::hostPath(routerd::kVersionFile), osVersion + "\n");
    if (!status.isOk()) std::fprintf(stderr, "routerd: version file: %s\n", status.text().c_str());
  }

  std::cout << "routerd: " << router.backend().name() << " backend, " << router.interfaces().objects().size()
            << " interfaces, " << router.addresses().objects().size() << " addresses, identity "
            << router.identity().identity() << std::endl;
  notifyReady();
  const bool ran = looper.run();
  if (kernelBackend) kernelBackend->stop();
  if (signalFd >= 0) {
    looper.runner().removeSocket(signalFd);
    close(signalFd);
  }
  std::cout << "routerd: stopped" << std::endl;
  return ran ? 0 : 1;
}
