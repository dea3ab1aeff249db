#include "platform/system.h"

#include <net/if.h>
#include <time.h>

#include "platform/looper.h"

namespace bus {

uint32_t getUptime() {
  timespec ts{};
  if (clock_gettime(CLOCK_BOOTTIME, &ts) != 0) return 0;
  return static_cast<uint32_t>(ts.tv_sec);
}

std::string kernelGetIfname(uint32_t index) {
  char name[IF_NAMESIZE + 1] = {};
  if (index == 0 || if_indextoname(index, name) == nullptr) return std::string();
  return std::string(name);
}

lstream::lstream(uint32_t topic, uint32_t flags) : mTopic(topic) { (void)flags; }

lstream& lstream::operator<<(EndLine) {
  std::string text = std::move(mLine);
  mLine.clear();
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  // Log streams are static objects that outlive the loop; without one the
  // line has nowhere to go.
  Looper* looper = Looper::current();
  if (looper == nullptr) return *this;
  message line;
  line.setU32Array(kFieldDestination, {kAddrLog});
  line.setU32(kFieldTopic, mTopic);
  line.setString(kFieldText, text);
  looper->sendCmd(line, kCmdLogLine);
  return *this;
}

}  // namespace bus
