// Feeds arbitrary bytes to the bus message decoder. Whatever it accepts must
// survive a round trip unchanged: the encoding is canonical, so re-encoding an
// accepted input gives back exactly the same bytes and the same message.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "platform/message.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  std::optional<bus::message> m = bus::message::decode(input);
  if (!m) return 0;
  const std::string encoded = m->encode();
  if (encoded != input) {
    std::fprintf(stderr, "re-encoding differs from the accepted input\n");
    std::abort();
  }
  std::optional<bus::message> again = bus::message::decode(encoded);
  if (!again || !(*again == *m)) {
    std::fprintf(stderr, "decode(encode(m)) != m\n");
    std::abort();
  }
  // Walking nested fields and printing must cope with anything decode accepted.
  for (const bus::Field& f : m->fields()) {
    if (f.type == bus::FieldType::Message) (void)m->getMessage(f.id);
  }
  (void)m->toString();
  return 0;
}
