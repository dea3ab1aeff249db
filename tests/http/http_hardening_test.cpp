// Hostile clients against the HTTP server, over real loopback sockets: none of
// them may hold the loop, grow the server's memory or make it spin.

#include <sys/resource.h>

#include <chrono>
#include <ctime>
#include <memory>
#include <vector>

#include "tests/http/http_fixture.h"

namespace upnp::test {
namespace {

using namespace std::chrono_literals;

double cpuSeconds() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

TEST_F(HardeningServerTest, ClientsThatNeverReadDoNotDelayAnotherClient) {
  std::vector<std::unique_ptr<Client>> stalled;
  for (int i = 0; i < 10; ++i) stalled.push_back(std::make_unique<Client>("127.0.0.1", mPort, kGetBig, 1024));
  Client normal("127.0.0.1", mPort, kGetBig);
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(mLoop.runUntil([&] { return normal.drain(); }, 8000));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 500ms);
  EXPECT_TRUE(normal.received.starts_with("HTTP/1.1 200 OK\r\n") && normal.received.ends_with(kBigFile));
  // The others' answers wait for them; one that starts reading gets all of it.
  EXPECT_EQ(mServer.connectionCount(), 10u);
  ASSERT_TRUE(mLoop.runUntil([&] { return stalled[3]->drain(); }, 3000));
  EXPECT_TRUE(stalled[3]->received.ends_with(kBigFile));
  EXPECT_EQ(mServer.connectionCount(), 9u);
}

// A peer that hangs up before its request is whole is closed at once, not at
// the request timer (and its readable end never makes the loop spin).
TEST_F(HardeningServerTest, PeersThatHangUpEarlyAreClosedAtOnce) {
  for (const char* partial : {"", "GET /gateway.xml HTTP/1.1\r\n"}) Client("127.0.0.1", mPort, partial);
  mLoop.runUntil([] { return false; }, 200);
  EXPECT_EQ(mServer.connectionCount(), 0u);
}

// Cut at the limit with a bare 400, scanned once rather than after every read:
// an endless head, and one just under the limit trickled byte by byte.
TEST_F(HardeningServerTest, AnEndlessHeadIsCutAtTheLimitAndOneJustUnderIsServed) {
  testing::internal::CaptureStdout();
  Client client("127.0.0.1", mPort, "GET /gateway.xml HTTP/1.1\r\nX-FILL: ");
  const std::string chunk(4096, 'a');
  size_t sent = 0;
  double cpu = cpuSeconds();
  for (int turn = 0; turn < 2000 && sent < (1u << 20) && !client.drain(); ++turn) {
    const ssize_t n = send(client.socket.fd(), chunk.data(), chunk.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) sent += static_cast<size_t>(n);
    mLoop.runOnce(n > 0 ? 0 : 5);
  }
  EXPECT_LT(cpuSeconds() - cpu, 1.0);
  EXPECT_EQ(occurrences(testing::internal::GetCapturedStdout(), "bad request: head over 16384 bytes"), 1u);
  EXPECT_TRUE(client.closed);
  EXPECT_TRUE(sent >= kMaxHeadBytes - 64 && sent <= kMaxHeadBytes + 8 * chunk.size()) << sent;
  EXPECT_EQ(client.received, "HTTP/1.1 400 Bad Request\r\nCONNECTION: close\r\n\r\n");
  EXPECT_EQ(mServer.connectionCount(), 0u);

  std::string request = "GET /gateway.xml HTTP/1.1\r\nHOST: 127.0.0.1:2828\r\n";
  while (request.size() < kMaxHeadBytes - 100) request += "X-PAD: " + std::string(40, 'p') + "\r\n";
  Client trickle("127.0.0.1", mPort);
  cpu = cpuSeconds();
  for (char c : request + "\r\n") {
    ASSERT_EQ(1, send(trickle.socket.fd(), &c, 1, MSG_NOSIGNAL));
    mLoop.runOnce(0);
  }
  ASSERT_TRUE(mLoop.runUntil([&] { return trickle.drain(); }, 3000));
  EXPECT_LT(cpuSeconds() - cpu, 2.0);
  EXPECT_TRUE(trickle.received.starts_with("HTTP/1.1 200 OK\r\n")) << trickle.received.substr(0, 100);
}

TEST_F(HardeningServerTest, AcceptOutOfDescriptorsRestsAndResumes) {
  std::vector<std::unique_ptr<Client>> clients;
  for (int i = 0; i < 8; ++i) clients.push_back(std::make_unique<Client>("127.0.0.1", mPort, "GET /x HTTP/1.1\r\n\r\n"));
  testing::internal::CaptureStdout();
  rlimit saved{};
  ASSERT_EQ(0, getrlimit(RLIMIT_NOFILE, &saved));
  const int lowestFree = dup(0);
  close(lowestFree);
  rlimit exhausted = saved;
  exhausted.rlim_cur = static_cast<rlim_t>(lowestFree);  // no further descriptor can be had
  ASSERT_EQ(0, setrlimit(RLIMIT_NOFILE, &exhausted));
  const double cpuBefore = cpuSeconds();
  mLoop.runUntil([] { return false; }, 1000);
  const double cpu = cpuSeconds() - cpuBefore;
  const size_t stillConnected = mServer.connectionCount();
  ASSERT_EQ(0, setrlimit(RLIMIT_NOFILE, &saved));
  const size_t failures = occurrences(testing::internal::GetCapturedStdout(), "accept failed");
  EXPECT_EQ(stillConnected, 0u);
  EXPECT_TRUE(failures >= 2 && failures <= 8) << failures;
  EXPECT_LT(cpu, 0.5);
  for (auto& client : clients) {
    ASSERT_TRUE(mLoop.runUntil([&] { return client->drain(); }, 2000));
    EXPECT_TRUE(client->received.starts_with("HTTP/1.1 404 Not Found\r\n"));
  }
}

}  // namespace
}  // namespace upnp::test
