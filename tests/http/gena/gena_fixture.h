#pragma once

// A started daemon in a private platform root with an in-process resolver at
// [14], a WANIPConnection-like service registered under an event URL of its
// own, and callback servers on loopback addresses driven by the daemon's loop.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <csignal>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "daemon/gateway.h"
#include "daemon/upnp_daemon.h"
#include "http/gena/gena.h"
#include "http/http_message.h"
#include "http/http_request.h"
#include "http/http_server.h"
#include "model/service.h"
#include "platform/looper.h"
#include "platform/message.h"
#include "tests/platform/temp_dir.h"

namespace upnp::test {

// The resolver [14]: known names answer with be32 field 4, `failing` names
// with an error reply, everything else with an empty reply.
class FakeResolver : public bus::Handler {
 public:
  bus::message handle(const bus::message& request) override {
    commands.push_back(request.getU32(bus::kFieldCommand));
    const std::string name = request.getString(3);
    names.push_back(name);
    if (name == failing) return bus::failedMsg("no such host");
    bus::message reply;
    auto it = hosts.find(name);
    if (it != hosts.end()) reply.setBe32(4, *IPAddr::parse(it->second));
    return reply;
  }
  std::map<std::string, std::string> hosts;  // name -> dotted address
  std::string failing;
  std::vector<uint32_t> commands;
  std::vector<std::string> names;
};

// A subscriber's HTTP server on one loopback address. It gathers each NOTIFY
// request and answers as its mode says.
class CallbackServer {
 public:
  enum class Mode { kOk, kPreconditionFailed, kSilent, kCloseWithoutReply };

  CallbackServer(bus::ThinRunner& runner, const char* address, Mode mode) : mRunner(runner), mMode(mode) {
    mAddress = address;
    mListen = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = IPAddr::parse(address)->raw();
    EXPECT_EQ(0, bind(mListen, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)));
    EXPECT_EQ(0, listen(mListen, 64));
    socklen_t length = sizeof(sa);
    getsockname(mListen, reinterpret_cast<sockaddr*>(&sa), &length);
    port = ntohs(sa.sin_port);
    mRunner.addSocket(mListen, bus::ThinRunner::kReadable, [this](int) { onAccept(); });
  }
  ~CallbackServer() {
    for (const auto& [fd, buffer] : mConnections) {
      mRunner.removeSocket(fd);
      close(fd);
    }
    mRunner.removeSocket(mListen);
    close(mListen);
  }
  CallbackServer(const CallbackServer&) = delete;
  CallbackServer& operator=(const CallbackServer&) = delete;

  // "<http://address:port/path>"
  std::string callback(const std::string& path = "/notify") const {
    return "<http://" + mAddress + ":" + std::to_string(port) + path + ">";
  }

  uint16_t port = 0;
  std::vector<std::string> rawRequests;  // each complete request as received
  std::vector<HttpMessage> requests;
  size_t accepted = 0;
  size_t closedByPeer = 0;  // connections the daemon closed on its side

 private:
  void onAccept() {
    const int fd = accept4(mListen, nullptr, nullptr, SOCK_NONBLOCK);
    if (fd < 0) return;
    ++accepted;
    mConnections[fd];
    mRunner.addSocket(fd, bus::ThinRunner::kReadable, [this](int s) { onData(s); });
  }
  void finish(int fd) {
    mRunner.removeSocket(fd);
    close(fd);
    mConnections.erase(fd);
  }
  void onData(int fd) {
    char chunk[4096];
    const ssize_t n = recv(fd, chunk, sizeof(chunk), 0);
    if (n <= 0) {
      ++closedByPeer;
      finish(fd);
      return;
    }
    std::string& buffer = mConnections[fd];
    buffer.append(chunk, static_cast<size_t>(n));
    HttpMessage message = parseHttpMessage(buffer);
    if (!message.complete) return;
    rawRequests.push_back(buffer);
    requests.push_back(std::move(message));
    buffer.clear();
    if (mMode == Mode::kSilent) return;
    if (mMode != Mode::kCloseWithoutReply) {
      const std::string reply = mMode == Mode::kOk ? "HTTP/1.1 200 OK\r\nCONTENT-LENGTH: 0\r\n\r\n"
                                                   : "HTTP/1.1 412 Precondition Failed\r\n\r\n";
      EXPECT_EQ(static_cast<ssize_t>(reply.size()), send(fd, reply.data(), reply.size(), MSG_NOSIGNAL));
    }
    finish(fd);
  }

  bus::ThinRunner& mRunner;
  Mode mMode;
  std::string mAddress;
  int mListen = -1;
  std::map<int, std::string> mConnections;  // fd -> bytes of the request in progress
};

// Collects standard output between construction and lines().
class StdoutCapture {
 public:
  StdoutCapture() { testing::internal::CaptureStdout(); }
  ~StdoutCapture() {
    if (!mTaken) testing::internal::GetCapturedStdout();
  }
  std::vector<std::string> lines() {
    mTaken = true;
    std::istringstream in(testing::internal::GetCapturedStdout());
    std::vector<std::string> out;
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
  }

 private:
  bool mTaken = false;
};

inline size_t countOf(const std::vector<std::string>& lines, const std::string& line) {
  size_t n = 0;
  for (const std::string& l : lines) n += l == line ? 1 : 0;
  return n;
}

class GenaTest : public ::testing::Test {
 protected:
  static constexpr const char* kWanPath = "/upnp/event/abcdefghij/wanipconn-7";
  static constexpr const char* kWanType = "urn:schemas-upnp-org:service:WANIPConnection:1";
  static constexpr const char* kPrefix = "lan-192.168.88.20:40000: ";

  GenaTest() : mScopedRoot(mRoot.path()), mLan(UpnpInterfaceCfg{}) {
    signal(SIGPIPE, SIG_IGN);
    mDaemon.addHandlerAt({bus::kAddrResolver}, &mResolver, false);
    mDaemon.start();
    // Disabled settings schedule a leave; the tests drive the loop themselves
    // and a due leave would turn every wait into a busy poll.
    mDaemon.setupLeave(0);
    mLan.name = "lan";
    mLan.address = *IPAddr::parse("127.0.0.1");
    mConnection.peerAddress = *IPAddr::parse("192.168.88.20");
    mConnection.peerPort = 40000;
    mConnection.interface = &mLan;
    defineWanService(*mWan);
    mDaemon.gateway.eventUrlTable[kWanPath] = mWan.get();
    for (const auto& [path, service] : mDaemon.gateway.eventUrlTable)
      if (service == &mDaemon.gateway.osInfo) mOsInfoPath = path;
  }
  ~GenaTest() override {
    mDaemon.gateway.eventUrlTable.erase(kWanPath);
    mWan.reset();
    dropSubscriptions(mDaemon.gateway.osInfo);
    mDaemon.gateway.osInfo.pendingNotifications.clear();
  }

  // The evented variables of a WANIPConnection service with values, one
  // evented variable without a value and one value that is not evented.
  static void defineWanService(Service& service) {
    auto define = [&service](const char* name, bool evented, const char* value) {
      auto variable = std::make_unique<StateVariable>(evented, VariableKind::STRING);
      if (value != nullptr) variable->setValue(value);
      service.addVariable(name, std::move(variable));
    };
    define("PossibleConnectionTypes", true, "IP_Routed");
    define("ConnectionStatus", true, "Connected");
    define("ExternalIPAddress", true, "192.0.2.7");
    define("PortMappingNumberOfEntries", true, "0");
    define("LastConnectionError", true, nullptr);
    define("RSIPAvailable", false, "0");
  }

  HttpRequest request(const std::string& method, const std::string& path,
                      const std::vector<std::pair<std::string, std::string>>& headers,
                      const std::string& host = "127.0.0.1:2828") {
    HttpRequest r;
    r.request.firstLine = method + " " + path + " HTTP/1.1";
    r.request.complete = true;
    addHeader(r.request, "HOST", host);
    for (const auto& [name, value] : headers) addHeader(r.request, name, value);
    r.method = method;
    r.path = path;
    r.host = host;
    r.localAddress = "127.0.0.1";
    r.localHostPort = "127.0.0.1:2828";
    r.connection = &mConnection;
    return r;
  }

  HttpMessage subscribe(const std::string& callback, const std::string& timeout = "",
                        const std::string& path = kWanPath) {
    std::vector<std::pair<std::string, std::string>> headers = {{"NT", "upnp:event"}, {"CALLBACK", callback}};
    if (!timeout.empty()) headers.emplace_back("TIMEOUT", timeout);
    return handleSubscribe(mDaemon.gateway, request("SUBSCRIBE", path, headers));
  }
  HttpMessage renew(const std::string& sid, const std::string& timeout = "", const std::string& path = kWanPath) {
    std::vector<std::pair<std::string, std::string>> headers = {{"SID", sid}};
    if (!timeout.empty()) headers.emplace_back("TIMEOUT", timeout);
    return handleSubscribe(mDaemon.gateway, request("SUBSCRIBE", path, headers));
  }
  HttpMessage unsubscribe(const std::string& sid, const std::string& path = kWanPath) {
    return handleUnsubscribe(mDaemon.gateway, request("UNSUBSCRIBE", path, {{"SID", sid}}));
  }

  Subscription* find(const std::string& sid, Service* service = nullptr) {
    Service& s = service != nullptr ? *service : *mWan;
    auto it = s.subscriptions.find(sid);
    return it == s.subscriptions.end() ? nullptr : it->second.get();
  }

  // Runs the loop until `done` or `maxMs`.
  template <class Pred>
  bool runUntil(Pred done, uint32_t maxMs = 3000) {
    return mDaemon.runUntil(done, maxMs);
  }
  void settle(uint32_t ms = 100) {
    mDaemon.runUntil([] { return false; }, ms);
  }

  bus::test::TempDir mRoot;
  bus::test::ScopedRoot mScopedRoot;
  UpnpDaemon mDaemon;
  FakeResolver mResolver;
  InterfaceState mLan;
  HttpConnection mConnection;
  std::string mOsInfoPath;
  // After the daemon: deliveries release their sockets into its runner.
  std::unique_ptr<Service> mWan = std::make_unique<Service>(kWanType);
};

}  // namespace upnp::test
