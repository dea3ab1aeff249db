#include "http/gena/sid_generator.h"

#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace upnp {

namespace {

constexpr uint64_t kGoldenGamma = 0x9e3779b97f4a7c15ULL;

uint64_t mix(uint64_t z) {
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
  return z ^ (z >> 31);
}

}  // namespace

SidGenerator::SidGenerator(std::string devicePath) : mDevicePath(std::move(devicePath)) {}

SidGenerator::~SidGenerator() {
  if (mFd >= 0) close(mFd);
}

SidGenerator& SidGenerator::instance() {
  static SidGenerator generator;
  return generator;
}

std::string SidGenerator::next() {
  uint8_t bytes[16] = {};
  size_t got = 0;
  if (mFd < 0) {
    mFd = open(mDevicePath.c_str(), O_RDONLY | O_CLOEXEC);
    if (mFd < 0) perror("urandom");
  }
  if (mFd >= 0) {
    ssize_t n;
    do {
      n = read(mFd, bytes, sizeof(bytes));
    } while (n < 0 && errno == EINTR);
    if (n > 0) got = static_cast<size_t>(n);
  }
  // A short read keeps what it got; only the missing bytes are made up.
  if (got < sizeof(bytes)) fallback(bytes, got);
  return format(bytes);
}

void SidGenerator::fallback(uint8_t (&bytes)[16], size_t from) {
  if (mFallbackState == 0) {
    // Seeded once from the clock and the process id so that a restarted daemon
    // does not hand out the SIDs of its previous life; the state then only
    // advances, so no value repeats within the process.
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    mFallbackState = mix(static_cast<uint64_t>(now.tv_sec) * 1000000000ULL +
                         static_cast<uint64_t>(now.tv_nsec)) ^
                     (static_cast<uint64_t>(getpid()) << 32);
    if (mFallbackState == 0) mFallbackState = kGoldenGamma;
  }
  for (int half = 0; half < 2; ++half) {
    mFallbackState += kGoldenGamma;
    const uint64_t value = mix(mFallbackState);
    for (size_t i = 0; i < 8; ++i) {
      const size_t at = static_cast<size_t>(half) * 8 + i;
      if (at >= from) bytes[at] = static_cast<uint8_t>(value >> (8 * i));
    }
  }
}

std::string SidGenerator::format(const uint8_t (&source)[16]) {
  uint8_t b[16];
  for (size_t i = 0; i < 16; ++i) b[i] = source[i];
  b[6] = static_cast<uint8_t>((b[6] & 0x0f) | 0x40);
  b[8] = static_cast<uint8_t>((b[8] & 0x3f) | 0x80);
  const unsigned first = (static_cast<unsigned>(b[0]) << 24) | (static_cast<unsigned>(b[1]) << 16) |
                         (static_cast<unsigned>(b[2]) << 8) | b[3];
  char text[37];
  snprintf(text, sizeof(text), "%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x", first,
           (static_cast<unsigned>(b[4]) << 8) | b[5], (static_cast<unsigned>(b[6]) << 8) | b[7], b[8], b[9],
           b[10], b[11], b[12], b[13], b[14], b[15]);
  return std::string("uuid:") + text;
}

}  // namespace upnp
