#pragma once

#include <cstdint>
#include <ostream>
#include <sstream>
#include <string>

namespace bus {

// Seconds since the machine booted (monotonic, includes suspend).
uint32_t getUptime();
// Kernel name of an interface index ("eth0"), or "" when there is none.
std::string kernelGetIfname(uint32_t index);

// A log stream of the router: lines written to it go, one-way, to the router's
// log service [kAddrLog] with their topic, via the thread's Looper (dropped when
// there is none). A line ends at std::endl.
//   static bus::lstream routerLog(67, 0);
//   routerLog << "new external ip: " << addr << std::endl;
class lstream {
 public:
  static constexpr uint32_t kFieldTopic = 1;  // u32
  static constexpr uint32_t kFieldText = 2;   // string

  lstream(uint32_t topic, uint32_t flags);
  lstream(const lstream&) = delete;
  lstream& operator=(const lstream&) = delete;

  template <class T>
  lstream& operator<<(const T& value) {
    mLine << value;
    return *this;
  }
  // std::endl (or any manipulator) ends the line and sends it.
  lstream& operator<<(std::ostream& (*)(std::ostream&));

 private:
  uint32_t mTopic;
  std::ostringstream mLine;
};

}  // namespace bus
