// Eventing: SUBSCRIBE, renewal and UNSUBSCRIBE as the dispatcher calls them,
// and event delivery to callback servers on loopback addresses served by the
// test's own loop. Lifetimes and time-outs run on the test clock.
// SIGPIPE is not ignored here: deliveries must never raise it.

#include "http/gena/gena.h"

#include "http/response.h"
#include "platform/message.h"
#include "tests/http/fake_clock.h"
#include "tests/http/http_fixture.h"

namespace upnp::test {
namespace {

using namespace std::chrono_literals;
using Strings = std::vector<std::string>;
using Headers = std::vector<std::pair<std::string, std::string>>;

const std::string kPath = "/upnp/event/wan", kOtherPath = "/upnp/event/other";
const std::string k200 = "HTTP/1.1 200 OK", k412 = "HTTP/1.1 412 Precondition Failed";
const std::string kSetStart = "<e:propertyset xmlns:e=\"urn:schemas-upnp-org:event-1-0\">";

// A subscriber's HTTP server on one loopback address, answering 200.
struct CallbackServer {
  CallbackServer(bus::ThinRunner& runner, const char* address) : address(address), listener(listenOn(address, port)) {
    runner.addSocket(listener.fd(), bus::ThinRunner::kReadable, [this, &runner](int) {
      const int fd = accept4(listener.fd(), nullptr, nullptr, SOCK_NONBLOCK);
      if (fd < 0) return;
      buffers[fd].first = net::Socket(fd);
      runner.addSocket(fd, bus::ThinRunner::kReadable, [this](int s) { onData(s); });
    });
  }
  std::string callback(const std::string& path = "/notify") const {
    return "<http://" + address + ":" + std::to_string(port) + path + ">";
  }
  void onData(int fd) {
    char chunk[4096];
    const ssize_t n = recv(fd, chunk, sizeof chunk, 0);
    std::string& buffer = buffers[fd].second;
    if (n > 0 && !parseHttpMessage(buffer.append(chunk, static_cast<size_t>(n))).complete) return;
    if (n > 0) {
      raw.push_back(buffer);
      requests.push_back(parseHttpMessage(buffer));
      send(fd, "HTTP/1.1 200 OK\r\n\r\n", 19, MSG_NOSIGNAL);
    }
    buffers.erase(fd);  // unregisters and closes
  }

  std::string address;
  uint16_t port = 0;
  net::Socket listener;
  std::map<int, std::pair<net::Socket, std::string>> buffers;  // by socket: the request so far
  Strings raw;  // each complete request as received
  std::vector<HttpMessage> requests;
};

// Also the router's resolver: cp.lan is on the LAN, broken.lan fails, other
// names get a reply without an address.
class GenaTest : public ::testing::Test, public bus::Handler {
 protected:
  GenaTest() {
    loop.addHandlerAt({bus::kAddrResolver}, this, false);
    host.events = {{kPath, wan.get()}, {kOtherPath, other.get()}};
    wan->eventSink = other->eventSink = &notifier;
    for (const char* name : {"PortMappingNumberOfEntries", "ConnectionStatus", "X_Name", "LastConnectionError", "RSIPAvailable"})
      wan->addVariable(name, std::make_unique<StateVariable>(name[0] != 'R', VariableKind::STRING));  // R...: not evented
    wan->setVariable("PortMappingNumberOfEntries", "0");
    wan->setVariable("ConnectionStatus", "Connected");
    wan->setVariable("X_Name", "a<b&c");  // LastConnectionError has no value: left out
    other->addVariable("NoValue", std::make_unique<StateVariable>(true, VariableKind::UI4));
    lan.address = *IPAddr::parse("127.0.0.1");
    connection.interface = &lan;
  }
  bus::message handle(const bus::message& request) override {
    names.push_back(request.getString(3));
    if (names.back() == "broken.lan") return bus::failedMsg("no such host");
    bus::message reply;
    if (names.back() == "cp.lan") reply.setBe32(4, *IPAddr::parse("127.0.0.30"));
    return reply;
  }

  HttpMessage send(const std::string& method, const Headers& headers, const std::string& path = kPath,
                   const std::string& hostHeader = "127.0.0.1:2828") {
    std::string text = method + " " + path + " HTTP/1.1\r\nHOST: " + hostHeader + "\r\n";
    for (const auto& [name, value] : headers) text += name + ": " + value + "\r\n";
    const HttpRequest request = requestOf(text + "\r\n", connection);
    testing::internal::CaptureStdout();
    HttpMessage reply = method == "SUBSCRIBE" ? handleSubscribe(host, request) : handleUnsubscribe(host, request);
    testing::internal::GetCapturedStdout();
    return reply;
  }
  HttpMessage subscribe(const std::string& callback, const std::string& timeout = "", const std::string& path = kPath) {
    return send("SUBSCRIBE", {{"NT", "upnp:event"}, {"CALLBACK", callback}, {"TIMEOUT", timeout}}, path);
  }
  HttpMessage renew(const std::string& sid, const std::string& path = kPath) { return send("SUBSCRIBE", {{"SID", sid}}, path); }
  Subscription* find(const std::string& sid) { return wan->subscriptions.contains(sid) ? wan->subscriptions.at(sid).get() : nullptr; }
  template <class Pred>
  bool runUntil(Pred done, uint32_t maxMs = 3000) {
    testing::internal::CaptureStdout();
    const bool result = loop.runUntil(done, maxMs);
    testing::internal::GetCapturedStdout();
    return result;
  }
  void settle(uint32_t ms = 30) { runUntil([] { return false; }, ms); }

  bus::Looper loop;
  Strings names;  // asked of the resolver
  FakeHost host;
  ServedInterface lan;
  HttpConnection connection;
  EventNotifier notifier;
  std::unique_ptr<Service> wan = std::make_unique<Service>("urn:schemas-upnp-org:service:WANIPConnection:1");
  std::unique_ptr<Service> other = std::make_unique<Service>("urn:x:Other:1");
};

// Each case subscribes from its own loopback address with nothing behind it:
// the initial event is refused at once and never leaves the machine.
TEST_F(GenaTest, LifetimeFollowsTheTimeoutHeaderAndRunsOutOnTime) {
  const std::pair<std::string, uint32_t> cases[] = {
      {"Second-60", 1800}, {"Second-infinite", 86400}, {"", 1800}, {"Second-abc", 1800}, {"second-3600", 1800}, {"Second-1801", 1801},
      {"Second-3600abc", 3600}, {"Second- 2000", 2000}, {"Second-86401", 86400}, {"Second--1", 86400}, {"Second-99999999999999999999", 86400}, {std::string("Second-12\0" "3456", 14), 1800},
  };
  std::map<std::string, uint32_t> granted;  // by SID
  int n = 0;
  for (const auto& [timeout, seconds] : cases) {
    const HttpMessage reply = subscribe("<http://127.0.0." + std::to_string(10 + ++n) + ":1/>", timeout);
    EXPECT_EQ(reply.headerNames, (Strings{"DATE", "SERVER", "SID", "TIMEOUT"}));
    EXPECT_EQ(reply.firstLine + header(reply, "SERVER") + header(reply, "TIMEOUT"),
              k200 + serverString() + "Second-" + std::to_string(seconds)) << timeout;
    granted[header(reply, "SID")] = seconds;
  }
  ASSERT_EQ(wan->subscriptions.size(), granted.size());
  uint32_t now = 0;
  for (uint32_t at : {1799u, 1801u, 1802u, 3601u, 86399u, 86401u}) {
    advanceClock(std::chrono::seconds(at - now));
    now = at;
    settle();
    for (const auto& [sid, seconds] : granted) EXPECT_EQ(find(sid) != nullptr, seconds > at) << seconds << " at " << at;
  }
  EXPECT_EQ(requestedLifetime("Second--294967296"), 4000000000u);  // read through int
}

TEST(GenaCallbackTest, TakesTheFirstUrlOfTheList) {
  const std::pair<std::string, std::string> cases[] = {  // value, "host|port|path" or "-"
      {"<http://a:5001/first><http://b:6000/second>", "a|5001|/first"}, {"<http://a:70000/a/b?c>", "a|4464|/a/b?c"},
      {"<http://a:/x>", "a|0|/x"}, {"<http:///>", "|80|/"}, {std::string("<http://a\0b/\0>", 14), std::string("a\0b|80|/\0", 9)},
      {"http://a/", "-"}, {"<HTTP://a/>", "-"}, {"<http://a:80>", "-"}, {" <http://a/>", "-"}, {"<>>", "-"}, {"<<>", "-"},
  };
  for (const auto& [value, expected] : cases) {
    const auto url = parseCallback(value);
    EXPECT_EQ(url ? url->host + "|" + std::to_string(url->port) + "|" + url->path : "-", expected) << value;
  }
}

TEST_F(GenaTest, RefusedSubscriptionsAndResolvedNames) {
  const Subscription* named = find(header(subscribe("<http://cp.lan:5000/ev>"), "SID"));
  ASSERT_NE(named, nullptr);
  EXPECT_EQ(named->callbackAddress.toString() + ":" + std::to_string(named->callbackPort) + named->callbackPath,
            "127.0.0.30:5000/ev");
  for (const char* callback : {"<http://broken.lan/>", "<http://nowhere.lan/>", "<https://127.0.0.42/>"})
    EXPECT_EQ(subscribe(callback).firstLine, k412) << callback;
  EXPECT_EQ(names, (Strings{"cp.lan", "broken.lan", "nowhere.lan"}));
  ASSERT_EQ(subscribe("<http://127.0.0.40:5000/a>").firstLine, k200);
  EXPECT_EQ(subscribe("<http://127.0.0.40:6000/b>").firstLine, k412);  // one per control point and service
  EXPECT_EQ(subscribe("<http://127.0.0.40:6000/b>", "", kOtherPath).firstLine, k200);
  for (const char* nt : {"upnp:propchange", "UPNP:EVENT", "", "upnp:event "})
    EXPECT_EQ(send("SUBSCRIBE", {{"NT", nt}, {"CALLBACK", "<http://127.0.0.41:1/>"}}).firstLine, k412) << nt;
  EXPECT_EQ(subscribe("<http://127.0.0.43:1/>", "", "/upnp/event/none").firstLine, "HTTP/1.1 404 Not Found");
  for (const char* hostHeader : {"127.0.0.2:2828", "localhost", "", "127.0.0.1:80"})
    for (const char* method : {"SUBSCRIBE", "UNSUBSCRIBE"})
      EXPECT_EQ(send(method, {{"NT", "upnp:event"}, {"CALLBACK", "<http://127.0.0.44:1/>"}, {"SID", "uuid:x"}}, kPath, hostHeader).firstLine,
                "HTTP/1.1 400 Bad Request") << method << hostHeader;
  EXPECT_EQ(send("SUBSCRIBE", {{"NT", "upnp:event"}, {"CALLBACK", "<http://127.0.0.45:1/>"}}, kPath, "127.0.0.1").firstLine, k200);
  for (int i = 4; i <= 100; ++i) ASSERT_EQ(subscribe("<http://127.0.0." + std::to_string(100 + i) + ":1/>").firstLine, k200);
  EXPECT_EQ(subscribe("<http://127.0.0.250:1/>").firstLine, "HTTP/1.1 500 Internal Server Error");
  EXPECT_EQ(wan->subscriptions.size(), 100u);
  const std::string sid = wan->subscriptions.begin()->first;  // renewed, not a new one; a SID belongs to its service
  EXPECT_EQ(renew(sid).firstLine + renew(sid, kOtherPath).firstLine + renew("").firstLine, k200 + k412 + k412);
  EXPECT_EQ(send("UNSUBSCRIBE", {{"SID", sid}}).firstLine, k200);
  EXPECT_EQ(send("UNSUBSCRIBE", {{"SID", sid}}).firstLine, k412);
  EXPECT_EQ(wan->subscriptions.size(), 99u);
}

TEST_F(GenaTest, InitialEventAndChangesReachEverySubscriber) {
  CallbackServer first(loop.runner(), "127.0.0.2"), second(loop.runner(), "127.0.0.3");
  const std::string sid = header(subscribe(first.callback("/cb/wan")), "SID");
  subscribe(second.callback());
  ASSERT_TRUE(runUntil([&] { return second.requests.size() == 1 && wan->pendingNotifications.empty(); }));
  const std::string body = kSetStart + "\r\n"
      "  <e:property>\r\n    <ConnectionStatus>Connected</ConnectionStatus>\r\n  </e:property>\r\n"
      "  <e:property>\r\n    <PortMappingNumberOfEntries>0</PortMappingNumberOfEntries>\r\n  </e:property>\r\n"
      "  <e:property>\r\n    <X_Name>a&lt;b&amp;c</X_Name>\r\n  </e:property>\r\n</e:propertyset>\r\n";
  ASSERT_EQ(first.raw.size(), 1u);
  EXPECT_EQ(first.raw[0], "NOTIFY /cb/wan HTTP/1.1\r\nHOST: 127.0.0.2:" + std::to_string(first.port) +
                              "\r\nCONTENT-TYPE: text/xml\r\nCONTENT-LENGTH: " + std::to_string(body.size()) +
                              "\r\nNT: upnp:event\r\nNTS: upnp:propchange\r\nSID: " + sid + "\r\nSEQ: 0\r\n\r\n" + body);
  wan->setVariable("PortMappingNumberOfEntries", "1");
  wan->setVariable("PortMappingNumberOfEntries", "1");  // unchanged
  wan->setVariable("RSIPAvailable", "1");                // not evented
  EXPECT_TRUE(runUntil([&] { return first.requests.size() == 2 && second.requests.size() == 2 && wan->pendingNotifications.empty(); }));
  settle();
  for (const CallbackServer* server : {&first, &second}) {
    ASSERT_EQ(server->requests.size(), 2u);
    EXPECT_EQ(header(server->requests[1], "SEQ") + header(server->requests[1], "SID"), "1" + header(server->requests[0], "SID"));
    EXPECT_EQ(server->requests[1].body, kSetStart + "\r\n  <e:property>\r\n    <PortMappingNumberOfEntries>1"
                                        "</PortMappingNumberOfEntries>\r\n  </e:property>\r\n</e:propertyset>\r\n");
  }
  // An initial event without any value still goes out, empty.
  ASSERT_EQ(subscribe(first.callback(), "", kOtherPath).firstLine, k200);
  EXPECT_TRUE(runUntil([&] { return first.requests.size() == 3 && other->pendingNotifications.empty(); }));
  EXPECT_EQ(first.requests.at(2).body, kSetStart + "</e:propertyset>\r\n");
  // One connection per event, one at a time per subscription; the value sent
  // is the one held when the connection is ready; SEQ 0 is the initial event's alone.
  find(sid)->seq = UINT32_MAX;
  wan->setVariable("PortMappingNumberOfEntries", "2");
  wan->setVariable("PortMappingNumberOfEntries", "3");
  EXPECT_TRUE(runUntil([&] { return first.requests.size() == 5 && wan->pendingNotifications.empty(); }));
  ASSERT_EQ(first.requests.size(), 5u);
  for (size_t i = 3; i < 5; ++i) EXPECT_NE(first.requests[i].body.find(">3</PortMappingNumberOfEntries>"), std::string::npos);
  EXPECT_EQ(header(first.requests[3], "SEQ") + header(first.requests[4], "SEQ"), "42949672951");
  EXPECT_EQ(find(sid)->seq, 2u);
}

}  // namespace
}  // namespace upnp::test
