#include "platform/thin_runner.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

namespace bus {
namespace {

template <class Pred>
bool spin(ThinRunner& runner, Pred done) {
  for (int i = 0; i < 200 && !done(); ++i) EXPECT_TRUE(runner.runOnce(20));
  return done();
}

TEST(ThinRunnerTest, TimersFireByDeadlineThenArmOrderAndCancelledOnesNever) {
  ThinRunner runner;
  std::vector<int> order;
  const uint32_t ticks[] = {3, 1, 1, 0, 3, 2};
  for (int i = 0; i < 6; ++i) runner.addTimer(ticks[i], [&order, i] { order.push_back(i); });
  EXPECT_TRUE(spin(runner, [&] { return order.size() == 6; }));
  EXPECT_EQ(order, (std::vector<int>{3, 1, 2, 5, 0, 4}));

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
  { Timer dropped(0, [&] { fired.push_back("destroyed"); }); }
  Timer cancelled(0, [&] { fired.push_back("cancelled"); });
  cancelled.cancel();
  EXPECT_TRUE(spin(runner, [&] { return !fired.empty() && fired.back() == "last"; }));
  EXPECT_EQ(fired, (std::vector<std::string>{"canceller", "last"}));
}

TEST(ThinRunnerTest, StaleEventOfAReusedFdIsDropped) {
  ThinRunner runner;
  int a[2], b[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, a), 0);
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, b), 0);
  ASSERT_EQ(write(a[1], "x", 1), 1);
  ASSERT_EQ(write(b[1], "x", 1), 1);
  int firstCalls = 0, replacementCalls = 0;
  // Whichever callback runs first closes the other socket and reuses its number
  // for an idle one: the already-fetched event must reach neither callback.
  auto replace = [&](int victim) {
    runner.removeSocket(victim);
    close(victim);
    ASSERT_EQ(dup(a[1]), victim);
    runner.addSocket(victim, ThinRunner::kReadable, [&](int) { ++replacementCalls; });
  };
  runner.addSocket(a[0], ThinRunner::kReadable, [&](int) {
    if (firstCalls++ == 0) replace(b[0]);
  });
  runner.addSocket(b[0], ThinRunner::kReadable, [&](int) {
    if (firstCalls++ == 0) replace(a[0]);
  });
  ASSERT_TRUE(runner.runOnce(100));
  EXPECT_EQ(firstCalls, 1);
  EXPECT_EQ(replacementCalls, 0);
  // A socket that removes itself is not called again though still readable.
  for (int fd : {a[0], a[1], b[0], b[1]}) close(fd);
}

}  // namespace
}  // namespace bus
