#pragma once

#include <cstdint>
#include <concepts>
#include <string>
#include <string_view>

namespace bus {

// Seconds since the machine booted (monotonic, includes suspend).
uint32_t getUptime();
// Kernel name of an interface index ("eth0"), or "" when there is none.
std::string kernelGetIfname(uint32_t index);

// Ends a line of an lstream (the platform's equivalent of std::endl).
struct EndLine {};
inline constexpr EndLine endl{};

// A log stream of the router: lines written to it go, one-way, to the router's
// log service [kAddrLog] with their topic, via the thread's Looper (dropped when
// there is none). A line ends at bus::endl.
//   static bus::lstream routerLog(67, 0);
//   routerLog << "new external ip: " << addr.toString() << bus::endl;
class lstream {
 public:
  static constexpr uint32_t kFieldTopic = 1;  // u32
  static constexpr uint32_t kFieldText = 2;   // string

  lstream(uint32_t topic, uint32_t flags);
  lstream(const lstream&) = delete;
  lstream& operator=(const lstream&) = delete;

  lstream& operator<<(std::string_view text) {
    mLine.append(text);
    return *this;
  }
  // Numbers in decimal (a bool as 0 or 1).
  template <std::integral T>
  lstream& operator<<(T number) {
    mLine.append(std::to_string(number));
    return *this;
  }
  // Sends the line.
  lstream& operator<<(EndLine);

 private:
  uint32_t mTopic;
  std::string mLine;  // the line being written
};

}  // namespace bus
