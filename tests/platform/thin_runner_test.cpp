#include "platform/thin_runner.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

namespace bus {
namespace {

// Runs the runner until `done` or a bounded number of passes.
template <class Pred>
bool spin(ThinRunner& runner, Pred done) {
  for (int i = 0; i < 200 && !done(); ++i) EXPECT_TRUE(runner.runOnce(20));
  return done();
}

struct Pair {
  int fd[2] = {-1, -1};
  Pair() { EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fd), 0); }
  ~Pair() {
    for (int f : fd)
      if (f >= 0) close(f);
  }
  void poke() { EXPECT_EQ(write(fd[1], "x", 1), 1); }
};

TEST(ThinRunnerTest, TimersFireByDeadlineThenArmOrder) {
  ThinRunner runner;
  struct Case {
    std::vector<uint32_t> ticks;   // armed in this order
    std::vector<int> expected;     // indices in firing order
  };
  const Case cases[] = {
      {{0, 0, 0, 0}, {0, 1, 2, 3}},
      {{3, 1, 1, 0, 3, 2}, {3, 1, 2, 5, 0, 4}},
  };
  for (const Case& c : cases) {
    std::vector<int> fired;
    for (size_t i = 0; i < c.ticks.size(); ++i) {
      runner.addTimer(c.ticks[i], [&fired, i] { fired.push_back(static_cast<int>(i)); });
    }
    EXPECT_TRUE(spin(runner, [&] { return fired.size() == c.ticks.size(); }));
    EXPECT_EQ(fired, c.expected);
  }
}

TEST(ThinRunnerTest, CancelledTimersNeverFire) {
  ThinRunner runner;
  std::vector<std::string> fired;
  const uint64_t early = runner.addTimer(0, [&] { fired.push_back("early"); });
  uint64_t sibling = 0;
  runner.addTimer(1, [&] {
    fired.push_back("canceller");
    runner.removeTimer(sibling);  // due in the same pass, after this one
  });
  sibling = runner.addTimer(1, [&] { fired.push_back("sibling"); });
  runner.addTimer(3, [&] { fired.push_back("last"); });
  runner.removeTimer(early);
  runner.removeTimer(0xdeadbeef);  // unknown handles are ignored
  {
    Timer dropped(0, [&] { fired.push_back("destroyed"); });
  }
  Timer cancelled(0, [&] { fired.push_back("cancelled"); });
  cancelled.cancel();
  EXPECT_TRUE(spin(runner, [&] { return !fired.empty() && fired.back() == "last"; }));
  EXPECT_EQ(fired, (std::vector<std::string>{"canceller", "last"}));
}

TEST(ThinRunnerTest, TimerDestroyedInsideItsOwnCallback) {
  ThinRunner runner;
  auto timer = std::make_unique<Timer>();
  std::string seen;
  timer->start(0, [&, captured = std::string("kept alive")] {
    timer.reset();      // destroys the Timer and the stored callback
    seen = captured;    // the running copy is still intact
  });
  EXPECT_TRUE(spin(runner, [&] { return !seen.empty(); }));
  EXPECT_EQ(seen, "kept alive");
  EXPECT_EQ(timer, nullptr);
}

TEST(ThinRunnerTest, TimerRearmedInsideItsOwnCallbackWaitsForNextPass) {
  ThinRunner runner;
  Timer timer;
  int count = 0;
  timer.start(0, [&] {
    if (++count < 3) timer.start(0);
  });
  ASSERT_TRUE(runner.runOnce(0));
  EXPECT_EQ(count, 1);  // a 0-tick re-arm must not spin inside one pass
  EXPECT_TRUE(timer.armed());
  EXPECT_TRUE(spin(runner, [&] { return count == 3; }));
  EXPECT_FALSE(timer.armed());
}

TEST(ThinRunnerTest, StaleEventOfReusedFdIsDropped) {
  ThinRunner runner;
  Pair a, b;
  a.poke();
  b.poke();
  int replacementCalls = 0;
  int firstCalls = 0;
  auto replace = [&](int victim) {
    // Whichever callback runs first closes the other socket and reuses its
    // number for an idle one: the already-fetched event of the old socket must
    // reach neither the old nor the new callback.
    runner.removeSocket(victim);
    const int old = victim;
    close(victim);
    int again = dup(a.fd[1]);  // lowest free number: the one just closed
    ASSERT_EQ(again, old);
    runner.addSocket(again, ThinRunner::kReadable, [&](int) { ++replacementCalls; });
  };
  runner.addSocket(a.fd[0], ThinRunner::kReadable, [&](int) {
    if (firstCalls++ == 0) replace(b.fd[0]);
  });
  runner.addSocket(b.fd[0], ThinRunner::kReadable, [&](int) {
    if (firstCalls++ == 0) replace(a.fd[0]);
  });
  ASSERT_TRUE(runner.runOnce(100));
  EXPECT_EQ(firstCalls, 1);
  EXPECT_EQ(replacementCalls, 0);
}

TEST(ThinRunnerTest, SocketRemovingItselfIsNotCalledAgain) {
  ThinRunner runner;
  Pair p;
  p.poke();
  int calls = 0;
  runner.addSocket(p.fd[0], ThinRunner::kReadable, [&](int fd) {
    ++calls;
    runner.removeSocket(fd);
  });
  ASSERT_TRUE(runner.runOnce(100));
  ASSERT_TRUE(runner.runOnce(0));  // still readable, but no longer registered
  EXPECT_EQ(calls, 1);
}

}  // namespace
}  // namespace bus
