#pragma once

#include <compare>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// An IPv4 address held in network byte order; zero stands for "no address".
class IPAddr {
 public:
  constexpr IPAddr() = default;
  // REQUIRES: `networkOrder` as found in a sockaddr_in (s_addr).
  constexpr explicit IPAddr(uint32_t networkOrder) : mRaw(networkOrder) {}
  static IPAddr fromHost(uint32_t hostOrder);

  // Accepts only a dotted quad of four decimal numbers 0..255 ("10.0.0.1");
  // anything else (blanks, signs, missing or extra parts, empty, more than three
  // digits in a part) gives nullopt. Leading zeros are decimal: "010" is 10.
  static std::optional<IPAddr> parse(std::string_view text);

  uint32_t raw() const { return mRaw; }  // network order
  uint32_t host() const;                 // host order
  bool isZero() const { return mRaw == 0; }
  std::string toString() const;          // dotted decimal, "0.0.0.0" for zero

  // Strict order by numeric value (host order).
  std::strong_ordering operator<=>(const IPAddr& other) const { return host() <=> other.host(); }
  bool operator==(const IPAddr& other) const { return mRaw == other.mRaw; }

 private:
  uint32_t mRaw = 0;
};

// The router's OS version text as it goes into the SERVER header, ending in a
// blank ("7.4 "). Off the router it is read from /zelo/etc/version under the
// platform root; without that file it is the platform's built-in version.
std::string getOSVersion();
