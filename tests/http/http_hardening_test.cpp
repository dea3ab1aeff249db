// Hostile clients against the HTTP server, over real loopback sockets: none of
// them may hold the loop, grow the server's memory or make it spin.

#include <sys/resource.h>

#include <chrono>
#include <ctime>
#include <memory>
#include <vector>

#include "tests/http/hardening_fixture.h"

namespace upnp::hardening_test {
namespace {

using namespace std::chrono_literals;

double cpuSeconds() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

std::string headOf(const std::string& response) { return response.substr(0, response.find("\r\n\r\n")); }

TEST_F(HardeningServerTest, ClientsThatNeverReadDoNotDelayAnotherClient) {
  std::vector<std::unique_ptr<HardeningClient>> stalled;
  for (int i = 0; i < 10; ++i) stalled.push_back(std::make_unique<HardeningClient>(mPort, kGetBig, 1024));
  HardeningClient normal(mPort, kGetBig);
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(runUntil([&] { return normal.drain(); }, 8000));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 500ms);
  EXPECT_EQ(normal.received.rfind("HTTP/1.1 200 OK\r\n", 0), 0u);
  EXPECT_EQ(normal.received.substr(normal.received.size() - kBigFile.size()), kBigFile);
  // The others' answers wait for them; one that starts reading gets all of it.
  EXPECT_EQ(mServer.connectionCount(), 10u);
  ASSERT_TRUE(runUntil([&] { return stalled[3]->drain(); }, 3000));
  EXPECT_EQ(stalled[3]->received.substr(stalled[3]->received.size() - kBigFile.size()), kBigFile);
  EXPECT_EQ(mServer.connectionCount(), 9u);
}

TEST_F(HardeningServerTest, AnEndlessRequestHeadIsCutAtTheLimitWithABare400) {
  testing::internal::CaptureStdout();
  HardeningClient client(mPort, "GET /gateway.xml HTTP/1.1\r\nX-FILL: ");
  const std::string chunk(4096, 'a');
  size_t sent = 0;
  const double cpuBefore = cpuSeconds();
  for (int turn = 0; turn < 2000 && sent < (1u << 20) && !client.drain(); ++turn) {
    const ssize_t n = send(client.socket.fd(), chunk.data(), chunk.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) sent += static_cast<size_t>(n);
    mLoop.runOnce(n > 0 ? 0 : 5);
  }
  const double cpu = cpuSeconds() - cpuBefore;
  const std::string log = testing::internal::GetCapturedStdout();
  EXPECT_TRUE(client.closed);
  EXPECT_GE(sent, kMaxHeadBytes - 64);
  EXPECT_LE(sent, kMaxHeadBytes + 8 * chunk.size());
  EXPECT_EQ(client.received, "HTTP/1.1 400 Bad Request\r\nCONNECTION: close\r\n\r\n");
  EXPECT_EQ(occurrences(log, "bad request: head over 16384 bytes"), 1u) << log;
  EXPECT_EQ(mServer.connectionCount(), 0u);
  EXPECT_LT(cpu, 1.0);
}

// Just under the limit, a head that arrives one byte at a time parses as in
// one piece, whatever byte each read ends on; it is scanned once, not again
// after every read.
TEST_F(HardeningServerTest, AHeadJustUnderTheLimitTrickledByteByByteIsServed) {
  std::string request = "GET /gateway.xml HTTP/1.1\r\nHOST: 127.0.0.1:2828\r\n";
  while (request.size() < kMaxHeadBytes - 100) request += "X-PAD: " + std::string(40, 'p') + "\r\n";
  request += "\r\n";
  HardeningClient client(mPort, "");
  const double cpuBefore = cpuSeconds();
  for (char c : request) {
    ASSERT_EQ(1, send(client.socket.fd(), &c, 1, MSG_NOSIGNAL));
    mLoop.runOnce(0);
  }
  ASSERT_TRUE(runUntil([&] { return client.drain(); }, 3000));
  EXPECT_LT(cpuSeconds() - cpuBefore, 2.0);
  EXPECT_EQ(client.received.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << client.received.substr(0, 100);
}

// Clients that pool connections must learn that the server closes.
TEST_F(HardeningServerTest, EveryResponseEndsItsHeadWithConnectionClose) {
  const char* const requests[] = {
      "GET /gateway.xml HTTP/1.1\r\nHOST: 127.0.0.1:2828\r\nCONNECTION: keep-alive\r\n\r\n",
      "GET /missing HTTP/1.1\r\nHOST: 127.0.0.1:2828\r\n\r\n",
      "DELETE /big.xml HTTP/1.1\r\nHOST: 127.0.0.1:2828\r\n\r\n",
      "POST /control HTTP/1.1\r\nHOST: 127.0.0.1:2828\r\nCONTENT-LENGTH: 2\r\n\r\nab",
      "SUBSCRIBE /evt HTTP/1.1\r\nHOST: 127.0.0.1:2828\r\nNT: upnp:event\r\n\r\n",
      "GARBAGE\r\n\r\n",
  };
  for (const char* request : requests) {
    const std::string head = headOf(exchange(request));
    EXPECT_TRUE(head.size() > 20 && head.substr(head.size() - 19) == "\r\nCONNECTION: close") << head;
    EXPECT_EQ(occurrences(head, "CONNECTION:"), 1u) << head;
  }
}

TEST_F(HardeningServerTest, AcceptOutOfDescriptorsRestsAndResumes) {
  const std::string get = "GET /missing HTTP/1.1\r\nHOST: 127.0.0.1:2828\r\n\r\n";
  std::vector<std::unique_ptr<HardeningClient>> clients;
  for (int i = 0; i < 8; ++i) clients.push_back(std::make_unique<HardeningClient>(mPort, get));
  testing::internal::CaptureStdout();
  rlimit saved{};
  ASSERT_EQ(0, getrlimit(RLIMIT_NOFILE, &saved));
  const int lowestFree = dup(0);
  close(lowestFree);
  rlimit exhausted = saved;
  exhausted.rlim_cur = static_cast<rlim_t>(lowestFree);  // no further descriptor can be had
  ASSERT_EQ(0, setrlimit(RLIMIT_NOFILE, &exhausted));
  const double cpuBefore = cpuSeconds();
  runUntil([] { return false; }, 1000);
  const double cpu = cpuSeconds() - cpuBefore;
  const size_t stillConnected = mServer.connectionCount();
  ASSERT_EQ(0, setrlimit(RLIMIT_NOFILE, &saved));
  const std::string log = testing::internal::GetCapturedStdout();
  EXPECT_EQ(stillConnected, 0u);
  EXPECT_GE(occurrences(log, "accept failed"), 2u) << log.substr(0, 500);
  EXPECT_LE(occurrences(log, "accept failed"), 8u) << log.substr(0, 500);
  EXPECT_LT(cpu, 0.5);
  for (auto& client : clients) {
    ASSERT_TRUE(runUntil([&] { return client->drain(); }, 2000));
    EXPECT_EQ(client->received.rfind("HTTP/1.1 404 Not Found\r\n", 0), 0u);
  }
}

}  // namespace
}  // namespace upnp::hardening_test
