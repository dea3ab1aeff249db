// SUBSCRIBE and UNSUBSCRIBE handling: lifetimes, callbacks, limits, renewal,
// expiry and the replies, called as the HTTP dispatcher calls them.

#include <climits>
#include <set>

#include "http/gena/subscription.h"
#include "http/response.h"
#include "tests/http/gena/gena_fixture.h"

namespace upnp::test {
namespace {

// Each case subscribes from its own loopback address (no server behind it:
// the initial event is refused at once and never leaves the machine). The
// rest after "Second-" is read like atoi, through int.
TEST_F(GenaTest, GrantedLifetimeFollowsTheTimeoutHeader) {
  const struct {
    std::string timeout;  // "" sends no TIMEOUT header
    const char* granted;
  } cases[] = {
      {"Second-60", "Second-1800"}, {"Second-100000", "Second-86400"}, {"Second-infinite", "Second-86400"},
      {"", "Second-1800"}, {"Second-0", "Second-1800"}, {"Second-abc", "Second-1800"}, {"Second-", "Second-1800"},
      {"Second", "Second-1800"}, {"Second-1", "Second-1800"}, {"Second-1801", "Second-1801"},
      {"Second-3600", "Second-3600"}, {"Second-86400", "Second-86400"}, {"Second-86401", "Second-86400"},
      {"second-3600", "Second-1800"}, {"Second-3600abc", "Second-3600"}, {"Second--1", "Second-86400"},
      {"Second-4294967295", "Second-86400"}, {"Second--294967296", "Second-86400"},
      {"Second-99999999999999999999", "Second-86400"}, {"Second-Infinite", "Second-1800"},
      {"Second- 2000", "Second-2000"}, {std::string("Second-12\0" "3456", 14), "Second-1800"},
  };
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.timeout);
    const std::string address = "127.0.1." + std::to_string(++n);
    const HttpMessage reply = subscribe("<http://" + address + ":1/>", c.timeout);
    ASSERT_EQ("HTTP/1.1 200 OK", reply.firstLine);
    EXPECT_EQ((std::vector<std::string>{"DATE", "SERVER", "SID", "TIMEOUT"}), reply.headerNames);
    EXPECT_TRUE(header(reply, "DATE").ends_with(" GMT"));
    EXPECT_EQ(serverString(), header(reply, "SERVER"));
    EXPECT_EQ(c.granted, header(reply, "TIMEOUT"));
    Subscription* subscription = find(header(reply, "SID"));
    ASSERT_NE(nullptr, subscription);
    EXPECT_TRUE(subscription->expiry.armed());
    EXPECT_TRUE(reply.body.empty());
  }
}

TEST(GenaLifetime, RequestedLifetimeWrapsThroughInt) {
  // Granted lifetimes clamp these; the raw values show the int arithmetic.
  EXPECT_EQ(UINT_MAX, requestedLifetime("Second-4294967295"));
  EXPECT_EQ(4000000000u, requestedLifetime("Second--294967296"));
}

TEST_F(GenaTest, CallbackUrlGivesAddressPortAndPath) {
  const struct {
    const char* callback;
    const char* address;
    uint16_t port;
    const char* path;
  } cases[] = {
      {"<http://127.0.1.20:5000/notify>", "127.0.1.20", 5000, "/notify"},
      {"<http://127.0.1.21/>", "127.0.1.21", 80, "/"},
      {"<http://127.0.1.22:5001/first><http://127.0.1.99:6000/second>", "127.0.1.22", 5001, "/first"},
      {"<http://127.0.1.23:70000/a/b?c>", "127.0.1.23", 70000 & 0xffff, "/a/b?c"},
      {"<http://127.0.1.24:/x>", "127.0.1.24", 0, "/x"},
  };
  for (const auto& c : cases) {
    StdoutCapture out;
    const HttpMessage reply = subscribe(c.callback);
    const std::vector<std::string> lines = out.lines();
    ASSERT_EQ("HTTP/1.1 200 OK", reply.firstLine) << c.callback;
    const Subscription* subscription = find(header(reply, "SID"));
    ASSERT_NE(nullptr, subscription);
    EXPECT_EQ(c.address, subscription->callbackAddress.toString());
    EXPECT_EQ(c.port, subscription->callbackPort);
    EXPECT_EQ(c.path, subscription->callbackPath);
    EXPECT_EQ(0u, subscription->seq);
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(std::string(kPrefix) + "callback addr: " + c.address + ", port: " + std::to_string(c.port) +
                  ", path: " + c.path,
              lines[0]);
    EXPECT_EQ(std::string(kPrefix) + "subscribe: " + kWanType, lines[1]);
  }
  EXPECT_TRUE(mResolver.names.empty());  // numeric hosts never ask the resolver
}

TEST_F(GenaTest, MalformedCallbackIsRefusedWithoutASubscription) {
  const char* const cases[] = {
      "", "http://127.0.1.1/", "<http://127.0.1.1/", "http://127.0.1.1/>", "<https://127.0.1.1/>",
      "<HTTP://127.0.1.1/>", "<ftp://127.0.1.1/>", "<http://127.0.1.1>", "<http://127.0.1.1:80>", "<>", "<http://>",
      " <http://127.0.1.1/>",
  };
  for (const char* callback : cases) {
    StdoutCapture out;
    const HttpMessage reply = subscribe(callback);
    EXPECT_EQ("HTTP/1.1 412 Precondition Failed", reply.firstLine) << callback;
    EXPECT_TRUE(reply.headerNames.empty());
    EXPECT_TRUE(out.lines().empty()) << callback;
  }
  EXPECT_TRUE(mWan->subscriptions.empty());
  EXPECT_TRUE(mWan->pendingNotifications.empty());
}

TEST(GenaCallback, SurvivesEveryTruncationAndOddBytes) {
  const std::string good = "<http://host.lan:8080/path/x>";
  for (size_t n = 0; n <= good.size(); ++n) {
    const auto parsed = parseCallback(good.substr(0, n));
    EXPECT_EQ(n == good.size(), parsed.has_value()) << n;
  }
  const auto full = parseCallback(good);
  ASSERT_TRUE(full);
  EXPECT_EQ("host.lan", full->host);
  EXPECT_EQ(8080, full->port);
  EXPECT_EQ("/path/x", full->path);
  const std::string odd[] = {std::string("<http://a\0b/\0>", 15), "<>>", "<<>", "<http://:/>", "<http:///>",
                             std::string(100000, '<') + ">"};
  for (const std::string& text : odd) (void)parseCallback(text);
  const auto empty = parseCallback("<http:///>");
  ASSERT_TRUE(empty);
  EXPECT_EQ("", empty->host);
  EXPECT_EQ("/", empty->path);
}

TEST_F(GenaTest, HostNameIsResolvedByTheRouter) {
  mResolver.hosts["cp.lan"] = "127.0.1.30";
  StdoutCapture out;
  const HttpMessage reply = subscribe("<http://cp.lan:5000/ev>");
  const std::vector<std::string> lines = out.lines();
  ASSERT_EQ("HTTP/1.1 200 OK", reply.firstLine);
  ASSERT_EQ(1u, mResolver.names.size());
  EXPECT_EQ("cp.lan", mResolver.names[0]);
  EXPECT_EQ(3u, mResolver.commands[0]);
  EXPECT_EQ("127.0.1.30", find(header(reply, "SID"))->callbackAddress.toString());
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(std::string(kPrefix) + "callback addr: 127.0.1.30, port: 5000, path: /ev", lines[0]);
}

TEST_F(GenaTest, UnresolvableHostIsRefused) {
  mResolver.failing = "broken.lan";
  {
    StdoutCapture out;
    EXPECT_EQ("HTTP/1.1 412 Precondition Failed", subscribe("<http://broken.lan/>").firstLine);
    EXPECT_EQ((std::vector<std::string>{"resolving failed: no such host"}), out.lines());
  }
  {
    // A reply without an address refuses silently.
    StdoutCapture out;
    EXPECT_EQ("HTTP/1.1 412 Precondition Failed", subscribe("<http://nowhere.lan/>").firstLine);
    EXPECT_TRUE(out.lines().empty());
  }
  mResolver.hosts["zero.lan"] = "0.0.0.0";
  EXPECT_EQ("HTTP/1.1 412 Precondition Failed", subscribe("<http://zero.lan/>").firstLine);
  EXPECT_EQ(3u, mResolver.names.size());
  EXPECT_TRUE(mWan->subscriptions.empty());
}

TEST_F(GenaTest, OneSubscriptionPerCallbackAddressAndService) {
  ASSERT_EQ("HTTP/1.1 200 OK", subscribe("<http://127.0.1.40:5000/a>").firstLine);
  StdoutCapture out;
  EXPECT_EQ("HTTP/1.1 412 Precondition Failed", subscribe("<http://127.0.1.40:6000/b>").firstLine);
  EXPECT_EQ((std::vector<std::string>{std::string(kPrefix) + "callback addr: 127.0.1.40, port: 6000, path: /b"}),
            out.lines());
  EXPECT_EQ(1u, mWan->subscriptions.size());
  ASSERT_FALSE(mOsInfoPath.empty());
  EXPECT_EQ("HTTP/1.1 200 OK", subscribe("<http://127.0.1.40:6000/b>", "", mOsInfoPath).firstLine);
  EXPECT_EQ(1u, mDaemon.gateway.osInfo.subscriptions.size());
}

TEST_F(GenaTest, HundredAndFirstSubscriptionGets500) {
  for (int i = 1; i <= 100; ++i)
    ASSERT_EQ("HTTP/1.1 200 OK", subscribe("<http://127.0.2." + std::to_string(i) + ":1/>").firstLine) << i;
  StdoutCapture out;
  EXPECT_EQ("HTTP/1.1 500 Internal Server Error", subscribe("<http://127.0.3.1:1/>").firstLine);
  EXPECT_EQ((std::vector<std::string>{std::string(kPrefix) + "callback addr: 127.0.3.1, port: 1, path: /"}),
            out.lines());
  EXPECT_EQ(100u, mWan->subscriptions.size());
  // Renewals are not new subscriptions.
  const std::string sid = mWan->subscriptions.begin()->first;
  EXPECT_EQ("HTTP/1.1 200 OK", renew(sid).firstLine);
}

TEST_F(GenaTest, RenewalKeepsSidCallbackAndSeq) {
  const HttpMessage first = subscribe("<http://127.0.1.50:1/x>", "Second-2000");
  const std::string sid = header(first, "SID");
  Subscription* subscription = find(sid);
  ASSERT_NE(nullptr, subscription);
  subscription->seq = 7;
  const size_t deliveries = mWan->pendingNotifications.size();
  StdoutCapture out;
  const HttpMessage reply = renew(sid, "Second-5000");
  EXPECT_EQ((std::vector<std::string>{std::string(kPrefix) + "resubscribe: " + kWanType}), out.lines());
  EXPECT_EQ("HTTP/1.1 200 OK", reply.firstLine);
  EXPECT_EQ((std::vector<std::string>{"DATE", "SERVER", "SID", "TIMEOUT"}), reply.headerNames);
  EXPECT_EQ(sid, header(reply, "SID"));
  EXPECT_EQ("Second-5000", header(reply, "TIMEOUT"));
  EXPECT_EQ(subscription, find(sid));
  EXPECT_EQ(7u, subscription->seq);
  EXPECT_EQ("/x", subscription->callbackPath);
  EXPECT_TRUE(subscription->expiry.armed());
  EXPECT_EQ(deliveries, mWan->pendingNotifications.size());  // no event
}

TEST_F(GenaTest, RenewalWithUnknownOrExpiredSidGets412) {
  EXPECT_EQ("HTTP/1.1 412 Precondition Failed", renew("uuid:00000000-0000-4000-8000-000000000000").firstLine);
  EXPECT_EQ("HTTP/1.1 412 Precondition Failed", renew("").firstLine);
  const std::string sid = header(subscribe("<http://127.0.1.51:1/>"), "SID");
  Subscription* subscription = find(sid);
  ASSERT_NE(nullptr, subscription);
  {
    StdoutCapture out;
    subscriptionTimeout(*subscription);
    EXPECT_EQ((std::vector<std::string>{"subscription timeout: " + sid}), out.lines());
  }
  EXPECT_EQ(nullptr, find(sid));
  EXPECT_EQ("HTTP/1.1 412 Precondition Failed", renew(sid).firstLine);
  // The SID of one service means nothing to another.
  const std::string osInfoSid = header(subscribe("<http://127.0.1.52:1/>", "", mOsInfoPath), "SID");
  EXPECT_EQ("HTTP/1.1 412 Precondition Failed", renew(osInfoSid).firstLine);
}

TEST_F(GenaTest, SidWithNtStartsANewSubscription) {
  const std::string sid = header(subscribe("<http://127.0.1.53:1/>"), "SID");
  const HttpMessage reply = handleSubscribe(
      mDaemon.gateway, request("SUBSCRIBE", kWanPath,
                               {{"NT", "upnp:event"}, {"SID", sid}, {"CALLBACK", "<http://127.0.1.54:1/>"}}));
  ASSERT_EQ("HTTP/1.1 200 OK", reply.firstLine);
  EXPECT_NE(sid, header(reply, "SID"));
  EXPECT_EQ(2u, mWan->subscriptions.size());
}

TEST_F(GenaTest, WrongNtGets412) {
  for (const char* nt : {"upnp:propchange", "UPNP:EVENT", "", "upnp:event "}) {
    const HttpMessage reply = handleSubscribe(
        mDaemon.gateway, request("SUBSCRIBE", kWanPath, {{"NT", nt}, {"CALLBACK", "<http://127.0.1.55:1/>"}}));
    EXPECT_EQ("HTTP/1.1 412 Precondition Failed", reply.firstLine) << nt;
  }
  EXPECT_TRUE(mWan->subscriptions.empty());
}

TEST_F(GenaTest, UnknownPathGets404AndWrongHost400) {
  EXPECT_EQ("HTTP/1.1 404 Not Found", subscribe("<http://127.0.1.56:1/>", "", "/upnp/event/nothing").firstLine);
  EXPECT_EQ("HTTP/1.1 404 Not Found", unsubscribe("uuid:x", std::string(kWanPath) + "?").firstLine);
  const std::pair<const char*, const char*> methods[] = {{"SUBSCRIBE", "SUBSCRIBE: host mismatch '"},
                                                         {"UNSUBSCRIBE", "UNSUBSCRIBE: host mismatch '"}};
  for (const auto& [method, text] : methods) {
    for (const char* host : {"127.0.0.2:2828", "localhost", "", "127.0.0.1:80"}) {
      StdoutCapture out;
      const HttpRequest r =
          request(method, kWanPath, {{"NT", "upnp:event"}, {"CALLBACK", "<http://127.0.1.57:1/>"}}, host);
      const HttpMessage reply = std::string(method) == "SUBSCRIBE" ? handleSubscribe(mDaemon.gateway, r)
                                                                    : handleUnsubscribe(mDaemon.gateway, r);
      EXPECT_EQ("HTTP/1.1 400 Bad Request", reply.firstLine);
      EXPECT_EQ((std::vector<std::string>{std::string(kPrefix) + text + host + "'"}), out.lines());
    }
  }
  // The address alone, without the port, passes.
  const HttpRequest bare =
      request("SUBSCRIBE", kWanPath, {{"NT", "upnp:event"}, {"CALLBACK", "<http://127.0.1.58:1/>"}}, "127.0.0.1");
  EXPECT_EQ("HTTP/1.1 200 OK", handleSubscribe(mDaemon.gateway, bare).firstLine);
}

TEST_F(GenaTest, UnsubscribeRemovesTheSubscription) {
  const std::string sid = header(subscribe("<http://127.0.1.60:1/>"), "SID");
  EXPECT_EQ("HTTP/1.1 412 Precondition Failed", unsubscribe("uuid:nothing").firstLine);
  StdoutCapture out;
  const HttpMessage reply = unsubscribe(sid);
  EXPECT_EQ((std::vector<std::string>{std::string(kPrefix) + "unsubscribe"}), out.lines());
  EXPECT_EQ("HTTP/1.1 200 OK", reply.firstLine);
  EXPECT_TRUE(reply.headerNames.empty());
  EXPECT_TRUE(mWan->subscriptions.empty());
  EXPECT_EQ("HTTP/1.1 412 Precondition Failed", unsubscribe(sid).firstLine);
  // The address is free again.
  EXPECT_EQ("HTTP/1.1 200 OK", subscribe("<http://127.0.1.60:1/>").firstLine);
}

TEST_F(GenaTest, ExpiryTimerRemovesTheSubscriptionFromTheLoop) {
  const std::string sid = header(subscribe("<http://127.0.1.61:1/>"), "SID");
  Subscription* subscription = find(sid);
  ASSERT_NE(nullptr, subscription);
  // Re-armed short, as if the granted lifetime had run down.
  subscription->expiry.start(1);
  StdoutCapture out;
  EXPECT_TRUE(runUntil([&] { return mWan->subscriptions.empty(); }, 2000));
  const std::vector<std::string> lines = out.lines();
  EXPECT_EQ(1u, countOf(lines, "subscription timeout: " + sid));
}

TEST_F(GenaTest, DropSubscriptionsIsSilent) {
  for (int i = 1; i <= 3; ++i) subscribe("<http://127.0.1." + std::to_string(70 + i) + ":1/>");
  ASSERT_EQ(3u, mWan->subscriptions.size());
  {
    StdoutCapture out;
    dropSubscriptions(*mWan);
    EXPECT_TRUE(out.lines().empty());
  }
  EXPECT_TRUE(mWan->subscriptions.empty());
  // Initial events still in flight find their subscription gone and send
  // nothing.
  StdoutCapture out;
  EXPECT_TRUE(runUntil([&] { return mWan->pendingNotifications.empty(); }, 2000));
  for (const std::string& line : out.lines()) EXPECT_NE(0u, line.rfind("notify: ", 0)) << line;
}

TEST_F(GenaTest, DisableDropsOsInfoSubscriptions) {
  ASSERT_EQ("HTTP/1.1 200 OK", subscribe("<http://127.0.1.80:1/>", "", mOsInfoPath).firstLine);
  mDaemon.disable();
  EXPECT_TRUE(mDaemon.gateway.osInfo.subscriptions.empty());
}

}  // namespace
}  // namespace upnp::test
