#pragma once

#include <cstdint>
#include <string>

namespace upnp {

// Makes subscription identifiers: "uuid:" followed by a version-4 UUID in
// lower-case 8-4-4-4-12 form, from the bytes of a random device. Loop thread
// only.
//
// The device is opened on first use and kept open for the life of the
// generator; a failed open is reported with perror("urandom") and tried again
// at the next SID. Whatever the device does (missing, short reads, EOF), every
// SID keeps the form: missing bytes come from a process-local sequence seeded
// from the clock and the process id, which never yields the same 16 bytes
// twice.
class SidGenerator {
 public:
  explicit SidGenerator(std::string devicePath = "/dev/urandom");
  ~SidGenerator();
  SidGenerator(const SidGenerator&) = delete;
  SidGenerator& operator=(const SidGenerator&) = delete;

  // The process-wide generator over "/dev/urandom".
  static SidGenerator& instance();

  std::string next();

  // "uuid:" + `bytes` with the version and variant bits forced, formatted.
  static std::string format(const uint8_t (&bytes)[16]);

 private:
  // Fills `bytes[from..16)` with the fallback sequence.
  void fallback(uint8_t (&bytes)[16], size_t from);

  std::string mDevicePath;
  int mFd = -1;               // the open device, -1 until an open succeeds
  uint64_t mFallbackState = 0;  // splitmix64 state; 0 until first seeded
};

}  // namespace upnp
