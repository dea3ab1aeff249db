#pragma once

// What the hostile-peer tests of the HTTP server and of eventing share: an
// HttpServer on a loopback listening socket, driven by the test's own loop,
// in front of a small host with a 30 KB description and one event URL, and
// client sockets that never block that loop.

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <filesystem>
#include <string>

#include "http/http_host.h"
#include "http/http_server.h"
#include "model/service.h"
#include "platform/looper.h"
#include "platform/net.h"

namespace upnp::hardening_test {

inline const std::string kBigFile = [] {
  std::string text;
  for (int i = 0; text.size() < 30 * 1024; ++i) text += "<line>" + std::to_string(i) + "</line>\r\n";
  return text;
}();
inline const std::string kGetBig = "GET /gateway.xml HTTP/1.1\r\nHOST: 127.0.0.1:2828\r\n\r\n";

// A listening TCP socket on `address`, port chosen by the kernel; a nonzero
// `receiveBuffer` is the receive buffer of every connection it accepts.
inline net::Socket listenOn(const char* address, uint16_t& port, int receiveBuffer = 0) {
  net::Socket listener(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0));
  if (receiveBuffer > 0) setsockopt(listener.fd(), SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
  sockaddr_in sa = net::socketAddress(*IPAddr::parse(address), 0);
  EXPECT_EQ(0, bind(listener.fd(), reinterpret_cast<sockaddr*>(&sa), sizeof sa)) << address;
  EXPECT_EQ(0, listen(listener.fd(), 128));
  socklen_t length = sizeof sa;
  getsockname(listener.fd(), reinterpret_cast<sockaddr*>(&sa), &length);
  port = ntohs(sa.sin_port);
  return listener;
}

inline size_t openDescriptors() {
  size_t count = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) ++count;
  return count;
}

inline size_t occurrences(const std::string& text, const std::string& what) {
  size_t count = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++count;
  return count;
}

// One client connection; loopback completes the handshake in the kernel, so
// connecting never waits for the server on the test's thread. A nonzero
// `receiveBuffer` is set before connecting, so the window stays that small.
struct HardeningClient {
  HardeningClient(uint16_t port, const std::string& request, int receiveBuffer = 0)
      : socket(::socket(AF_INET, SOCK_STREAM, 0)) {
    if (receiveBuffer > 0) setsockopt(socket.fd(), SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    const sockaddr_in sa = net::socketAddress(*IPAddr::parse("127.0.0.1"), port);
    EXPECT_EQ(0, connect(socket.fd(), reinterpret_cast<const sockaddr*>(&sa), sizeof sa));
    if (!request.empty()) {
      EXPECT_EQ(static_cast<ssize_t>(request.size()), send(socket.fd(), request.data(), request.size(), MSG_NOSIGNAL));
    }
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

class HardeningHost : public HttpHost {
 public:
  Service* controlService(const std::string&) override { return nullptr; }
  Service* eventService(const std::string& path) override { return path == "/evt" ? events : nullptr; }
  const std::string* servedFile(const std::string&) const override { return nullptr; }
  const std::string& documentDir() const override { return kBigFile; }
  const std::string& description(const std::string&) override { return kBigFile; }
  const ServedInterface* interfaceOf(int socket) const override { return socket == listener ? lan : nullptr; }

  Service* events = nullptr;
  int listener = -1;
  const ServedInterface* lan = nullptr;
};

// The server on 127.0.0.1, on a /24 LAN.
class HardeningServerTest : public ::testing::Test {
 protected:
  HardeningServerTest() {
    signal(SIGPIPE, SIG_IGN);
    // Loopback's 64 KB segments let the kernel take megabytes of a response at
    // once; on a router's LAN the peer must read after a few kilobytes.
    const int sendBuffer = 4096;  // inherited by every accepted connection
    setsockopt(mListener.fd(), SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer);
    mLan.name = "lan";
    mLan.address = *IPAddr::parse("127.0.0.1");
    mLan.prefixLength = 24;
    mHost.lan = &mLan;
    mHost.listener = mListener.fd();
    mServer.listen(mListener.fd());
  }
  ~HardeningServerTest() override { mServer.unlisten(mListener.fd()); }

  template <class Pred>
  bool runUntil(Pred done, uint32_t maxMs) {
    return mLoop.runUntil(done, maxMs);
  }
  // Sends `request` on a new connection and returns all the server answers.
  std::string exchange(const std::string& request) {
    HardeningClient client(mPort, request);
    EXPECT_TRUE(runUntil([&] { return client.drain(); }, 3000)) << request.substr(0, 80);
    return client.received;
  }

  bus::Looper mLoop;
  ServedInterface mLan;
  HardeningHost mHost;
  uint16_t mPort = 0;
  net::Socket mListener = listenOn("127.0.0.1", mPort);
  HttpServer mServer{mHost};
};

}  // namespace upnp::hardening_test
