#pragma once

// What the loopback tests of the HTTP server and of eventing share: a fake
// HttpHost, sockets that never block the test's own loop, and a monotonic
// clock the test moves forward instead of waiting out long timers.
//
// Include from exactly one file of a test binary: this header replaces the C
// library's clock_gettime for the whole binary.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <ctime>
#include <map>
#include <string>

#include "http/get_handler.h"
#include "http/http_host.h"
#include "model/device.h"
#include "model/service.h"
#include "platform/looper.h"
#include "platform/net.h"

namespace upnp::test {

inline std::chrono::milliseconds gClockShift{0};

// From now on CLOCK_MONOTONIC reads `by` later; the loop's timers see it at
// their next turn.
inline void advanceClock(std::chrono::milliseconds by) { gClockShift += by; }

}  // namespace upnp::test

extern "C" int clock_gettime(clockid_t clock, timespec* now) noexcept {
  const long result = syscall(SYS_clock_gettime, clock, now);
  if (result == 0 && clock == CLOCK_MONOTONIC) {
    const long long nanos = now->tv_nsec + upnp::test::gClockShift.count() % 1000 * 1000000LL;
    now->tv_sec += static_cast<time_t>(upnp::test::gClockShift.count() / 1000 + nanos / 1000000000);
    now->tv_nsec = static_cast<long>(nanos % 1000000000);
  }
  return static_cast<int>(result);
}

namespace upnp::test {

class FakeHost : public HttpHost {
 public:
  Service* controlService(const std::string& path) override { return lookUp(control, path); }
  Service* eventService(const std::string& path) override { return lookUp(events, path); }
  const std::string* servedFile(const std::string& path) const override {
    auto it = files.find(path);
    return it == files.end() ? nullptr : &it->second;
  }
  const std::string& documentDir() const override { return dir; }
  const std::string& description(const std::string& localAddress) override {
    described = describeRoot(device, localAddress);
    return described;
  }
  const ServedInterface* interfaceOf(int socket) const override {
    auto it = listeners.find(socket);
    return it == listeners.end() ? nullptr : it->second;
  }

  std::map<std::string, Service*> control, events;  // by URL path
  std::map<std::string, std::string> files;          // URL path -> name within dir
  std::string dir;
  RootDevice device;  // described through describeRoot
  std::string described;
  std::map<int, const ServedInterface*> listeners;  // by listening socket

 private:
  static Service* lookUp(const std::map<std::string, Service*>& table, const std::string& path) {
    auto it = table.find(path);
    return it == table.end() ? nullptr : it->second;
  }
};

// A non-blocking listening TCP socket on `address`, port chosen by the kernel.
inline net::Socket listenOn(const char* address, uint16_t& port) {
  net::Socket listener(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0));
  sockaddr_in sa = net::socketAddress(*IPAddr::parse(address), 0);
  EXPECT_EQ(0, bind(listener.fd(), reinterpret_cast<sockaddr*>(&sa), sizeof sa));
  EXPECT_EQ(0, listen(listener.fd(), 256));
  socklen_t length = sizeof sa;
  getsockname(listener.fd(), reinterpret_cast<sockaddr*>(&sa), &length);
  port = ntohs(sa.sin_port);
  return listener;
}

// One client connection. Loopback completes the handshake in the kernel, so
// connecting never waits for the server, which runs on the test's thread.
struct Client {
  Client(const char* address, uint16_t port) : socket(::socket(AF_INET, SOCK_STREAM, 0)) {
    const sockaddr_in sa = net::socketAddress(*IPAddr::parse(address), port);
    EXPECT_EQ(0, connect(socket.fd(), reinterpret_cast<const sockaddr*>(&sa), sizeof sa));
  }
  void send(const std::string& text) {
    EXPECT_EQ(static_cast<ssize_t>(text.size()), ::send(socket.fd(), text.data(), text.size(), MSG_NOSIGNAL));
  }
  // Reads what has arrived; true once the server has closed its end.
  bool drain() {
    char chunk[4096];
    while (!closed) {
      const ssize_t n = recv(socket.fd(), chunk, sizeof chunk, MSG_DONTWAIT);
      if (n > 0)
        received.append(chunk, static_cast<size_t>(n));
      else if (n == 0 || (errno != EAGAIN && errno != EINTR))
        closed = true;
      else
        break;
    }
    return closed;
  }

  net::Socket socket;
  std::string received;
  bool closed = false;
};

}  // namespace upnp::test
