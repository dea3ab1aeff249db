#pragma once

#include <cstdint>
#include <deque>
#include <ostream>
#include <string>

#include "platform/looper.h"

namespace routerd {

// The router log, served at [61]: keeps the last kMaxLines lines sent with
// bus::kCmdLogLine (u32 1 topic, string 2 text) and lists them with
// kCmdLogList (router_protocol.h). Loop thread only.
class LogService : public bus::Handler {
 public:
  static constexpr size_t kMaxLines = 1000;
  static constexpr size_t kMaxTextBytes = 4096;

  struct Line {
    uint32_t seq;     // 1, 2, ... in arrival order
    uint32_t topic;
    uint32_t uptime;  // seconds since boot when it arrived
    std::string text;
  };

  bus::message handle(const bus::message& request) override;

  // Every line is also written to `trace` (null: nowhere) as
  // "log topic N: TEXT"; it must outlive the service.
  void setTrace(std::ostream* trace) { mTrace = trace; }
  const std::deque<Line>& lines() const { return mLines; }

 private:
  bus::message cmdLogLine(const bus::message& request);

  std::deque<Line> mLines;         // oldest first
  uint32_t mNextSeq = 1;
  std::ostream* mTrace = nullptr;  // not owned
};

}  // namespace routerd
