#include "platform/ip_addr.h"

#include <arpa/inet.h>

#include "platform/file_util.h"
#include "platform/paths.h"

IPAddr IPAddr::fromHost(uint32_t hostOrder) { return IPAddr(htonl(hostOrder)); }

uint32_t IPAddr::host() const { return ntohl(mRaw); }

// Deliberately stricter than inet_aton: no octal or hex, no short forms ("10.1"),
// no signs or blanks, nothing after the fourth number. Leading zeros are read as
// decimal ("010" is 10), since nothing in the system gives them another meaning.
std::optional<IPAddr> IPAddr::parse(std::string_view text) {
  uint32_t host = 0;
  size_t pos = 0;
  for (int part = 0; part < 4; ++part) {
    if (part > 0) {
      if (pos >= text.size() || text[pos] != '.') return std::nullopt;
      ++pos;
    }
    uint32_t value = 0;
    size_t digits = 0;
    while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') {
      if (++digits > 3) return std::nullopt;
      value = value * 10 + static_cast<uint32_t>(text[pos] - '0');
      ++pos;
    }
    if (digits == 0 || value > 255) return std::nullopt;
    host = (host << 8) | value;
  }
  if (pos != text.size()) return std::nullopt;
  return fromHost(host);
}

std::string IPAddr::toString() const {
  const uint32_t h = host();
  return std::to_string(h >> 24) + "." + std::to_string((h >> 16) & 0xff) + "." +
         std::to_string((h >> 8) & 0xff) + "." + std::to_string(h & 0xff);
}

std::string getOSVersion() {
  std::optional<std::string> text = bus::readFile(bus::hostPath("/zelo/etc/version"));
  if (!text) return "7.1 ";
  std::string version = std::move(*text);
  while (!version.empty() && (version.back() == '\n' || version.back() == '\r' ||
                              version.back() == ' ' || version.back() == '\t')) {
    version.pop_back();
  }
  return version + " ";
}
