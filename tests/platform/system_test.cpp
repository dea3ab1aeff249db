#include "platform/system.h"

#include <gtest/gtest.h>

#include "tests/platform/bus_fixture.h"

namespace bus {
namespace {

using SystemTest = testing::BusTest;

class LogSink : public Handler {
 public:
  message handle(const message& request) override {
    if (request.getU32(kFieldCommand) == kCmdLogLine) lines.push_back(request);
    return message();
  }
  std::vector<message> lines;
};

TEST_F(SystemTest, LogLinesGoOneWayToTheLogService) {
  lstream log(67, 0);
  log << "dropped " << 1 << std::endl;  // no Looper yet: nowhere to go
  Looper loop;
  LogSink sink;
  loop.addHandlerAt({kAddrLog}, &sink, false);
  log << "new external ip: " << "10.0.0.1" << std::endl;
  log << "second" << std::endl;
  EXPECT_TRUE(sink.lines.empty());  // delivered from the loop
  EXPECT_TRUE(loop.runUntil([&] { return sink.lines.size() == 2; }, 2000));
  EXPECT_EQ(sink.lines[0].getU32(lstream::kFieldTopic), 67u);
  EXPECT_EQ(sink.lines[0].getString(lstream::kFieldText), "new external ip: 10.0.0.1");
  EXPECT_EQ(sink.lines[1].getString(lstream::kFieldText), "second");
}

}  // namespace
}  // namespace bus
