// Feeds arbitrary bytes to the HTTP parser and writes the result back out.
// Properties checked beyond "no crash, no over-read": the header lists stay
// parallel, names are stored upper case, a CONTENT-LENGTH body never exceeds
// the cap, and a complete message survives a trip through toText and back.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "http/http_message.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  upnp::HttpMessage message = upnp::parseHttpMessage(text);

  if (message.headerNames.size() != message.headerValues.size()) std::abort();
  for (const std::string& name : message.headerNames) {
    if (name != upnp::upperCase(name)) std::abort();
  }
  if (upnp::hasHeader(message, "content-length") && message.body.size() > upnp::kMaxBodyBytes) {
    std::abort();
  }
  if (message.firstLine.size() > size || message.body.size() > size + upnp::kMaxBodyBytes) {
    std::abort();
  }

  std::string wire = upnp::toText(message);
  if (message.complete) {
    upnp::HttpMessage again = upnp::parseHttpMessage(wire);
    if (!again.complete || again.firstLine != message.firstLine ||
        again.headerNames != message.headerNames || again.headerValues != message.headerValues ||
        again.body != message.body) {
      std::abort();
    }
  }
  return 0;
}
