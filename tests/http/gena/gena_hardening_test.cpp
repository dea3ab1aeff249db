// Hostile subscribers against eventing, over real loopback sockets: callback
// servers that never read or never answer, callbacks that are huge or lie off
// the LAN. The LAN is 127.0.0.1/24; 127.0.1.0 and beyond stand for the WAN,
// so nothing ever leaves the machine even if a refusal failed.

#include <malloc.h>

#include <chrono>
#include <vector>

#include "http/gena/gena.h"
#include "tests/http/http_fixture.h"

namespace upnp::test {
namespace {

using namespace std::chrono_literals;

const std::string k200 = "HTTP/1.1 200 OK";
const std::string k412 = "HTTP/1.1 412 Precondition Failed";

std::string callbackTo(const std::string& address, uint16_t port, const std::string& path = "/cb") {
  return "<http://" + address + ":" + std::to_string(port) + path + ">";
}
std::string subscribeRequest(const std::string& callback) {
  return "SUBSCRIBE /evt HTTP/1.1\r\nHOST: 127.0.0.1:2828\r\nNT: upnp:event\r\nCALLBACK: " + callback + "\r\n\r\n";
}

class HardeningGenaTest : public HardeningServerTest, public bus::Handler {
 protected:
  HardeningGenaTest() {
    mService.addVariable("Value", std::make_unique<StateVariable>(true, VariableKind::STRING));
    mService.eventSink = &mNotifier;
    mHost.events["/evt"] = &mService;
    mPeer.peerAddress = *IPAddr::parse("127.0.0.1");
    mPeer.interface = &mLan;
    mLoop.addHandlerAt({bus::kAddrResolver}, this, false);
  }
  // The router's resolver puts wan.example off the LAN.
  bus::message handle(const bus::message& request) override {
    bus::message reply;
    if (request.getString(3) == "wan.example") reply.setBe32(4, *IPAddr::parse("127.0.9.9"));
    return reply;
  }
  // As the server dispatches it, for callbacks that no request head could carry.
  // Straight to eventing, for callbacks longer than any request head the server reads.
  HttpMessage subscribe(const std::string& callback) { return handleSubscribe(mHost, requestOf(subscribeRequest(callback), mPeer)); }

  EventNotifier mNotifier;
  HttpConnection mPeer;
  Service mService{"urn:schemas-upnp-org:service:WANIPConnection:1"};
};

TEST_F(HardeningGenaTest, SubscribersThatNeverReadDelayNeitherAGetNorAnotherSubscriber) {
  // Each event is 2.5 MB: more than a shut window and a send buffer on
  // loopback (at most 4 MB, of which 1.7 MB are for data) hold.
  const size_t eventBytes = 5 << 19;
  mService.setVariable("Value", std::string(eventBytes, 'v'));
  std::vector<net::Socket> stuck;  // never accepted, never read
  testing::internal::CaptureStdout();  // each NOTIFY's value is logged: megabytes
  const auto start = std::chrono::steady_clock::now();
  for (const char* address : {"127.0.0.2", "127.0.0.3", "127.0.0.4"}) {
    uint16_t port = 0;
    stuck.push_back(listenOn(address, port, 1024));
    EXPECT_TRUE(exchange(subscribeRequest(callbackTo(address, port))).starts_with(k200));
  }
  const std::string answer = exchange(kGetBig);
  const auto elapsed = std::chrono::steady_clock::now() - start;
  testing::internal::GetCapturedStdout();
  // A blocking write would hold the loop for good on the first stuck
  // subscriber; the bound is loose for sanitizer builds on a busy machine.
  EXPECT_LT(elapsed, 3s);
  size_t midRequest = 0;
  for (const auto& [fd, delivery] : mService.pendingNotifications) midRequest += delivery->written < delivery->output.size();
  EXPECT_EQ(midRequest, 3u);
  EXPECT_TRUE(answer.ends_with(kBigFile));
  EXPECT_EQ(mService.pendingNotifications.size(), 3u);
}

TEST_F(HardeningGenaTest, LongCallbacksAreRefusedAndKeepNothing) {
  const std::string longPath = "/" + std::string(2 << 20, 'p');
  const size_t heapBefore = mallinfo2().uordblks;
  for (int i = 0; i < 100; ++i) EXPECT_EQ(subscribe(callbackTo("127.0.0." + std::to_string(10 + i), 9, longPath)).firstLine, k412);
  EXPECT_LT(mallinfo2().uordblks, heapBefore + (1 << 20));
  EXPECT_TRUE(mService.subscriptions.empty() && mService.pendingNotifications.empty());
  // The limit is on the header's length, angle brackets included.
  const std::string start = "<http://127.0.0.5:9/";
  for (const size_t length : {kMaxCallbackBytes + 1, kMaxCallbackBytes}) {
    const std::string response = exchange(subscribeRequest(start + std::string(length - start.size() - 1, 'p') + ">"));
    EXPECT_TRUE(response.starts_with(length > kMaxCallbackBytes ? k412 : k200)) << length;
  }
  EXPECT_EQ(mService.subscriptions.size(), 1u);
}

TEST_F(HardeningGenaTest, SilentSubscribersHoldOneDeliveryEachHoweverManyEvents) {
  constexpr size_t kSubscribers = 30, kEvents = 60;
  std::vector<net::Socket> silent;  // never accept: connections wait in the backlog
  for (size_t i = 0; i < kSubscribers; ++i) {
    uint16_t port = 0;
    const std::string address = "127.0.0." + std::to_string(100 + i);
    silent.push_back(listenOn(address.c_str(), port));
    ASSERT_EQ(subscribe(callbackTo(address, port)).firstLine, k200);
  }
  mLoop.runUntil([] { return false; }, 100);
  testing::internal::CaptureStdout();
  const auto descriptors = std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {});
  for (size_t event = 0; event < kEvents; ++event) {
    mService.setVariable("Value", std::to_string(event));
    mLoop.runOnce(0);
  }
  mLoop.runUntil([] { return false; }, 200);
  EXPECT_LE(std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}), descriptors);
  EXPECT_EQ(occurrences(testing::internal::GetCapturedStdout(), "event queue full, dropped: Value"),
            kSubscribers * (kEvents - kMaxQueuedEvents));
  EXPECT_EQ(mService.pendingNotifications.size(), kSubscribers);
  for (const auto& [sid, subscription] : mService.subscriptions) EXPECT_EQ(subscription->queued.size(), kMaxQueuedEvents);
  for (const net::Socket& listener : silent) {
    size_t connections = 0;
    for (int fd; (fd = accept4(listener.fd(), nullptr, nullptr, 0)) >= 0; ++connections) close(fd);
    EXPECT_EQ(connections, 1u);
  }
}

TEST_F(HardeningGenaTest, CallbacksOffTheSubnetAreRefusedBeforeAnyConnection) {
  uint16_t port = 0;
  net::Socket wan = listenOn("127.0.1.1", port);
  testing::internal::CaptureStdout();
  for (const std::string& callback : {callbackTo("127.0.1.1", port), callbackTo("127.1.2.3", 9), callbackTo("wan.example", port)})
    EXPECT_EQ(subscribe(callback).firstLine, k412) << callback;
  mLoop.runUntil([] { return false; }, 100);
  const std::string log = testing::internal::GetCapturedStdout();
  EXPECT_TRUE(accept4(wan.fd(), nullptr, nullptr, 0) == -1 && mService.subscriptions.empty() && mService.pendingNotifications.empty());
  EXPECT_EQ(occurrences(log, "callback not on the LAN: "), 3u) << log;
  EXPECT_EQ(occurrences(log, "callback not on the LAN: 127.0.9.9"), 1u);
  EXPECT_EQ(subscribe(callbackTo("127.0.0.254", 9)).firstLine, k200);
}

}  // namespace
}  // namespace upnp::test
