#pragma once

#include <concepts>
#include <string>
#include <string_view>

namespace bus {

// One line of the process's debug output (standard output). Parts are
// appended with <<; the line is written, with its "\n", when the object goes
// away. Lines are buffered, not flushed one by one: the Looper flushes
// standard output before it waits for events, so a line is out before the
// process sleeps. Loop thread only.
//
//   bus::debugLog() << "stop int: " << name;
class DebugLine {
 public:
  DebugLine() = default;
  ~DebugLine();
  DebugLine(const DebugLine&) = delete;
  DebugLine& operator=(const DebugLine&) = delete;

  DebugLine& operator<<(std::string_view text) {
    mLine.append(text);
    return *this;
  }
  DebugLine& operator<<(char c) {
    mLine.push_back(c);
    return *this;
  }
  // Numbers in decimal; a bool as 0 or 1, as the output streams write them.
  template <std::integral T>
  DebugLine& operator<<(T number) {
    mLine.append(std::to_string(number));
    return *this;
  }

 private:
  std::string mLine;
};

inline DebugLine debugLog() { return {}; }

}  // namespace bus
