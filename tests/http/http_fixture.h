#pragma once

// What the loopback tests of the HTTP server and of eventing share: a fake
// HttpHost and sockets that never block the test's own loop.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <filesystem>
#include <map>
#include <string>

#include "http/get_handler.h"
#include "http/http_host.h"
#include "http/http_request.h"
#include "http/http_server.h"
#include "model/device.h"
#include "model/service.h"
#include "platform/looper.h"
#include "platform/net.h"

namespace upnp::test {

class FakeHost : public HttpHost {
 public:
  Service* controlService(const std::string& path) override { return control.contains(path) ? control[path] : nullptr; }
  Service* eventService(const std::string& path) override { return events.contains(path) ? events[path] : nullptr; }
  const std::string* servedFile(const std::string& path) const override {
    auto it = files.find(path);
    return it == files.end() ? nullptr : &it->second;
  }
  const std::string& documentDir() const override { return dir; }
  const std::string& description(const std::string& localAddress) override {
    if (fixed.empty()) described = describeRoot(device, localAddress);
    return fixed.empty() ? described : fixed;
  }
  const ServedInterface* interfaceOf(int socket) const override {
    auto it = listeners.find(socket);
    return it == listeners.end() ? nullptr : it->second;
  }

  std::map<std::string, Service*> control, events;  // by URL path
  std::map<std::string, std::string> files;          // URL path -> name within dir
  std::string dir, described, fixed;                 // fixed: served instead of the device's
  RootDevice device;
  std::map<int, const ServedInterface*> listeners;  // by listening socket
};

// A non-blocking listening TCP socket, port chosen by the kernel; a nonzero
// `receiveBuffer` is the receive buffer of every connection it accepts.
inline net::Socket listenOn(const char* address, uint16_t& port, int receiveBuffer = 0) {
  net::Socket listener(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0));
  if (receiveBuffer > 0) setsockopt(listener.fd(), SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
  sockaddr_in sa = net::socketAddress(*IPAddr::parse(address), 0);
  EXPECT_EQ(0, bind(listener.fd(), reinterpret_cast<sockaddr*>(&sa), sizeof sa)) << address;
  EXPECT_EQ(0, listen(listener.fd(), 256));
  socklen_t length = sizeof sa;
  getsockname(listener.fd(), reinterpret_cast<sockaddr*>(&sa), &length);
  port = ntohs(sa.sin_port);
  return listener;
}

// One client connection. Loopback completes the handshake in the kernel, so
// connecting never waits for the server, which runs on the test's thread. A
// nonzero `receiveBuffer` is set before connecting, so the window stays small.
struct Client {
  Client(const char* address, uint16_t port, const std::string& request = "", int receiveBuffer = 0)
      : socket(::socket(AF_INET, SOCK_STREAM, 0)) {
    if (receiveBuffer > 0) setsockopt(socket.fd(), SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    const sockaddr_in sa = net::socketAddress(*IPAddr::parse(address), port);
    EXPECT_EQ(0, connect(socket.fd(), reinterpret_cast<const sockaddr*>(&sa), sizeof sa));
    if (!request.empty()) send(request);
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

// `text` as the server hands it on after its checks, from `peer` to 127.0.0.1.
inline HttpRequest requestOf(const std::string& text, const HttpConnection& peer) {
  HttpRequest request{parseHttpMessage(text), "", "", "", "127.0.0.1", "127.0.0.1:2828", &peer};
  splitRequestLine(request.request.firstLine, request.method, request.path);
  request.host = header(request.request, "HOST");
  return request;
}

inline size_t occurrences(const std::string& text, const std::string& what) {
  size_t count = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++count;
  return count;
}

inline const std::string kBigFile = [] {
  std::string text;
  for (int i = 0; text.size() < 30 * 1024; ++i) text += "<line>" + std::to_string(i) + "</line>\r\n";
  return text;
}();
inline const std::string kGetBig = "GET /gateway.xml HTTP/1.1\r\nHOST: 127.0.0.1:2828\r\n\r\n";

// For hostile peers: the server on 127.0.0.1 (a /24 LAN), serving a 30 KB
// description, with send buffers as small as a router's LAN gives.
class HardeningServerTest : public ::testing::Test {
 protected:
  HardeningServerTest() {
    signal(SIGPIPE, SIG_IGN);
    // Loopback's 64 KB segments let the kernel take megabytes of a response at
    // once; on a router's LAN the peer must read after a few kilobytes.
    const int sendBuffer = 4096;  // inherited by every accepted connection
    setsockopt(mListener.fd(), SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer);
    mHost.fixed = kBigFile;
    mHost.listeners[mListener.fd()] = &mLan;
    mServer.listen(mListener.fd());
  }
  ~HardeningServerTest() override { mServer.unlisten(mListener.fd()); }

  // Sends `request` on a new connection and returns all the server answers.
  std::string exchange(const std::string& request) {
    Client client("127.0.0.1", mPort, request);
    EXPECT_TRUE(mLoop.runUntil([&] { return client.drain(); }, 3000)) << request.substr(0, 80);
    return client.received;
  }

  bus::Looper mLoop;
  ServedInterface mLan{"lan", *IPAddr::parse("127.0.0.1")};
  FakeHost mHost;
  uint16_t mPort = 0;
  net::Socket mListener = listenOn("127.0.0.1", mPort);
  HttpServer mServer{mHost};
};

}  // namespace upnp::test
