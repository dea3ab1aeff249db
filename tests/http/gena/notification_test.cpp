// Event delivery to real subscribers: callback servers on loopback addresses,
// served by the daemon's own loop.

#include <chrono>
#include <climits>
#include <set>

#include "http/gena/pending_notification.h"
#include "http/gena/subscription.h"
#include "tests/http/gena/gena_fixture.h"

namespace upnp::test {
namespace {

using Mode = CallbackServer::Mode;
using Properties = std::vector<std::pair<std::string, std::string>>;

std::string propertySet(const Properties& properties) {
  std::string body = "<e:propertyset xmlns:e=\"urn:schemas-upnp-org:event-1-0\">";
  if (properties.empty()) return body + "</e:propertyset>\r\n";
  body += "\r\n";
  for (const auto& [name, value] : properties)
    body += "  <e:property>\r\n    <" + name + ">" + value + "</" + name + ">\r\n  </e:property>\r\n";
  return body + "</e:propertyset>\r\n";
}

std::string notifyText(const CallbackServer& server, const char* address, const std::string& path,
                       const std::string& sid, uint32_t seq, const std::string& body) {
  return "NOTIFY " + path + " HTTP/1.1\r\n" + "HOST: " + address + ":" + std::to_string(server.port) + "\r\n" +
         "CONTENT-TYPE: text/xml\r\n" + "CONTENT-LENGTH: " + std::to_string(body.size()) + "\r\n" +
         "NT: upnp:event\r\n" + "NTS: upnp:propchange\r\n" + "SID: " + sid + "\r\n" +
         "SEQ: " + std::to_string(seq) + "\r\n\r\n" + body;
}

const Properties kInitialWan = {{"ConnectionStatus", "Connected"},
                                {"ExternalIPAddress", "192.0.2.7"},
                                {"PortMappingNumberOfEntries", "0"},
                                {"PossibleConnectionTypes", "IP_Routed"}};

class NotificationTest : public GenaTest {
 protected:
  // Subscribes `server` and waits for its initial event to be answered.
  std::string subscribeAndSettle(CallbackServer& server, const char* address, const std::string& path = "/notify") {
    const size_t before = server.requests.size();
    const HttpMessage reply = subscribe(server.callback(path));
    EXPECT_EQ("HTTP/1.1 200 OK", reply.firstLine);
    EXPECT_TRUE(runUntil([&] { return server.requests.size() > before && noDeliveryTo(address); }));
    return header(reply, "SID");
  }
  bool noDeliveryTo(const char* address) const {
    for (const auto& [fd, delivery] : mWan->pendingNotifications) {
      auto it = mWan->subscriptions.find(delivery->sid);
      if (it != mWan->subscriptions.end() && it->second->callbackAddress.toString() == address) return false;
    }
    return true;
  }
};

TEST_F(NotificationTest, InitialEventCarriesEveryEventedValueInNameOrder) {
  CallbackServer server(mDaemon.runner(), "127.0.0.2", Mode::kOk);
  StdoutCapture out;
  const std::string sid = subscribeAndSettle(server, "127.0.0.2", "/cb/wan");
  const std::vector<std::string> lines = out.lines();
  ASSERT_EQ(1u, server.rawRequests.size());
  EXPECT_EQ(notifyText(server, "127.0.0.2", "/cb/wan", sid, 0, propertySet(kInitialWan)), server.rawRequests[0]);
  const std::vector<std::string> expected = {
      std::string(kPrefix) + "callback addr: 127.0.0.2, port: " + std::to_string(server.port) + ", path: /cb/wan",
      std::string(kPrefix) + "subscribe: " + kWanType,
      "notify: ConnectionStatus = 'Connected'",
      "notify: ExternalIPAddress = '192.0.2.7'",
      "notify: PortMappingNumberOfEntries = '0'",
      "notify: PossibleConnectionTypes = 'IP_Routed'",
  };
  EXPECT_EQ(expected, lines);
  EXPECT_EQ(1u, find(sid)->seq);
  EXPECT_TRUE(mWan->pendingNotifications.empty());
  EXPECT_EQ(1u, server.accepted);
}

TEST_F(NotificationTest, InitialEventWithoutValuesIsSentEmpty) {
  Service bare("urn:schemas-upnp-org:service:Bare:1");
  bare.addVariable("NoValue", std::make_unique<StateVariable>(true, VariableKind::UI4));
  mDaemon.gateway.eventUrlTable["/upnp/event/bare"] = &bare;
  CallbackServer server(mDaemon.runner(), "127.0.0.2", Mode::kOk);
  const std::string sid = header(subscribe(server.callback(), "", "/upnp/event/bare"), "SID");
  EXPECT_TRUE(runUntil([&] { return !server.requests.empty() && bare.pendingNotifications.empty(); }));
  ASSERT_EQ(1u, server.rawRequests.size());
  EXPECT_EQ(notifyText(server, "127.0.0.2", "/notify", sid, 0, propertySet({})), server.rawRequests[0]);
  mDaemon.gateway.eventUrlTable.erase("/upnp/event/bare");
}

TEST_F(NotificationTest, ChangeSendsTheOneVariableWithSeqOneToEverySubscriber) {
  CallbackServer first(mDaemon.runner(), "127.0.0.2", Mode::kOk);
  CallbackServer second(mDaemon.runner(), "127.0.0.3", Mode::kOk);
  const std::string sid1 = subscribeAndSettle(first, "127.0.0.2");
  const std::string sid2 = subscribeAndSettle(second, "127.0.0.3");
  StdoutCapture out;
  mWan->setVariable("PortMappingNumberOfEntries", "1");
  mWan->setVariable("PortMappingNumberOfEntries", "1");  // unchanged: no event
  mWan->setVariable("RSIPAvailable", "1");                // not evented
  mWan->setVariable("NoSuchVariable", "1");
  EXPECT_EQ(2u, mWan->pendingNotifications.size());
  EXPECT_TRUE(runUntil([&] {
    return first.requests.size() == 2 && second.requests.size() == 2 && mWan->pendingNotifications.empty();
  }));
  settle(50);
  const std::string body = propertySet({{"PortMappingNumberOfEntries", "1"}});
  ASSERT_EQ(2u, first.rawRequests.size());
  ASSERT_EQ(2u, second.rawRequests.size());
  EXPECT_EQ(notifyText(first, "127.0.0.2", "/notify", sid1, 1, body), first.rawRequests[1]);
  EXPECT_EQ(notifyText(second, "127.0.0.3", "/notify", sid2, 1, body), second.rawRequests[1]);
  EXPECT_EQ((std::vector<std::string>{"notify: PortMappingNumberOfEntries = '1'",
                                      "notify: PortMappingNumberOfEntries = '1'"}),
            out.lines());
}

TEST_F(NotificationTest, TwoQuickChangesOpenTwoConnectionsWithTheLaterValue) {
  CallbackServer server(mDaemon.runner(), "127.0.0.2", Mode::kOk);
  subscribeAndSettle(server, "127.0.0.2");
  mWan->setVariable("PortMappingNumberOfEntries", "1");
  mWan->setVariable("PortMappingNumberOfEntries", "2");
  EXPECT_EQ(2u, mWan->pendingNotifications.size());
  EXPECT_TRUE(runUntil([&] { return server.requests.size() == 3 && mWan->pendingNotifications.empty(); }));
  ASSERT_EQ(3u, server.requests.size());
  EXPECT_EQ(3u, server.accepted);
  std::set<std::string> seqs;
  for (size_t i = 1; i < 3; ++i) {
    EXPECT_EQ(propertySet({{"PortMappingNumberOfEntries", "2"}}), server.requests[i].body);
    seqs.insert(header(server.requests[i], "SEQ"));
  }
  EXPECT_EQ((std::set<std::string>{"1", "2"}), seqs);
}

TEST_F(NotificationTest, SeqWrapsFromMaxToOne) {
  CallbackServer server(mDaemon.runner(), "127.0.0.2", Mode::kOk);
  const std::string sid = subscribeAndSettle(server, "127.0.0.2");
  find(sid)->seq = UINT32_MAX;
  mWan->setVariable("ConnectionStatus", "Disconnected");
  EXPECT_TRUE(runUntil([&] { return server.requests.size() == 2 && mWan->pendingNotifications.empty(); }));
  EXPECT_EQ(1u, find(sid)->seq);
  mWan->setVariable("ConnectionStatus", "Connected");
  EXPECT_TRUE(runUntil([&] { return server.requests.size() == 3 && mWan->pendingNotifications.empty(); }));
  ASSERT_EQ(3u, server.requests.size());
  EXPECT_EQ("4294967295", header(server.requests[1], "SEQ"));
  EXPECT_EQ("1", header(server.requests[2], "SEQ"));
}

TEST_F(NotificationTest, NonOkReplyIsLoggedAndEndsTheDelivery) {
  CallbackServer server(mDaemon.runner(), "127.0.0.2", Mode::kPreconditionFailed);
  StdoutCapture out;
  subscribeAndSettle(server, "127.0.0.2");
  settle(50);
  const std::vector<std::string> lines = out.lines();
  EXPECT_EQ(1u, countOf(lines, "bad notify reply: HTTP/1.1 412 Precondition Failed"));
  EXPECT_EQ(0u, countOf(lines, "notify timeout"));
  EXPECT_TRUE(mWan->pendingNotifications.empty());
  EXPECT_EQ(1u, mWan->subscriptions.size());  // no failure touches the subscription
}

TEST_F(NotificationTest, SubscriptionGoneBeforeWriteSendsNothing) {
  CallbackServer server(mDaemon.runner(), "127.0.0.2", Mode::kOk);
  const std::string sid = header(subscribe(server.callback()), "SID");
  ASSERT_EQ(1u, mWan->pendingNotifications.size());
  unsubscribe(sid);
  StdoutCapture out;
  EXPECT_TRUE(runUntil([&] { return mWan->pendingNotifications.empty(); }));
  EXPECT_TRUE(runUntil([&] { return server.closedByPeer == 1; }));
  EXPECT_EQ((std::vector<std::string>{"notify timeout"}), out.lines());
  EXPECT_TRUE(server.requests.empty());
}

TEST_F(NotificationTest, RefusedConnectionEndsAtOnce) {
  // A port nobody listens on: bind one and close it again.
  uint16_t port;
  {
    CallbackServer closed(mDaemon.runner(), "127.0.0.4", Mode::kOk);
    port = closed.port;
  }
  StdoutCapture out;
  const std::string sid = header(subscribe("<http://127.0.0.4:" + std::to_string(port) + "/>"), "SID");
  EXPECT_TRUE(runUntil([&] { return mWan->pendingNotifications.empty(); }, 1000));
  const std::vector<std::string> lines = out.lines();
  const bool failedAtConnect = countOf(lines, "tcp connect: Connection refused") == 1;
  const bool failedAtWrite = countOf(lines, "write failed") == 1 && countOf(lines, "notify timeout") == 1;
  EXPECT_TRUE(failedAtConnect || failedAtWrite);
  // SEQ counts the event only once the request was built.
  EXPECT_EQ(failedAtConnect ? 0u : 1u, find(sid)->seq);
}

TEST_F(NotificationTest, ClosedWithoutReplyWaitsForTheTimeoutWithoutSpinning) {
  CallbackServer server(mDaemon.runner(), "127.0.0.2", Mode::kCloseWithoutReply);
  StdoutCapture out;
  subscribe(server.callback());
  EXPECT_TRUE(runUntil([&] { return server.requests.size() == 1; }));
  settle(300);
  const std::vector<std::string> lines = out.lines();
  EXPECT_EQ(1u, countOf(lines, "notify reply read failed"));
  EXPECT_EQ(0u, countOf(lines, "notify timeout"));
  ASSERT_EQ(1u, mWan->pendingNotifications.size());
  const int fd = mWan->pendingNotifications.begin()->first;
  EXPECT_FALSE(mDaemon.runner().hasSocket(fd));
  EXPECT_TRUE(mWan->pendingNotifications.begin()->second->timeout.armed());
}

TEST_F(NotificationTest, DestroyingTheServiceReleasesDeliveriesSilently) {
  CallbackServer server(mDaemon.runner(), "127.0.0.2", Mode::kSilent);
  subscribe(server.callback());
  EXPECT_TRUE(runUntil([&] { return server.requests.size() == 1; }));
  ASSERT_EQ(1u, mWan->pendingNotifications.size());
  const int fd = mWan->pendingNotifications.begin()->first;
  StdoutCapture out;
  mDaemon.gateway.eventUrlTable.erase(kWanPath);
  mWan.reset();
  EXPECT_FALSE(mDaemon.runner().hasSocket(fd));
  EXPECT_TRUE(runUntil([&] { return server.closedByPeer == 1; }));
  EXPECT_TRUE(out.lines().empty());
}

// The one real-time test of the 30-second limit: a subscriber that accepts
// and never answers holds its deliveries that long and nothing else.
TEST_F(NotificationTest, SilentSubscriberTimesOutWhileOthersAreServed) {
  CallbackServer silent(mDaemon.runner(), "127.0.0.2", Mode::kSilent);
  CallbackServer lively(mDaemon.runner(), "127.0.0.3", Mode::kOk);
  const auto start = std::chrono::steady_clock::now();
  const std::string silentSid = header(subscribe(silent.callback()), "SID");
  subscribeAndSettle(lively, "127.0.0.3");
  mWan->setVariable("PortMappingNumberOfEntries", "5");
  EXPECT_TRUE(runUntil([&] {
    return lively.requests.size() == 2 && silent.requests.size() == 2 && mWan->pendingNotifications.size() == 2;
  }));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_EQ(propertySet({{"PortMappingNumberOfEntries", "5"}}), lively.requests.at(1).body);
  EXPECT_EQ(2u, mWan->pendingNotifications.size());  // both to the silent one

  std::vector<std::string> lines;
  bool ended;
  {
    StdoutCapture out;
    ended = runUntil([&] { return mWan->pendingNotifications.empty(); }, 35000);
    lines = out.lines();
  }
  EXPECT_TRUE(ended);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::seconds(29));
  EXPECT_EQ((std::vector<std::string>{"notify timeout", "notify timeout"}), lines);
  EXPECT_NE(nullptr, find(silentSid));
  EXPECT_EQ(2u, find(silentSid)->seq);
}

}  // namespace
}  // namespace upnp::test
