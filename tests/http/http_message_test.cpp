// The message parser on hostile input: every case sits right in front of an
// inaccessible page and is also fed in every prefix, as split reads deliver it.

#include "http/http_message.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "http/response.h"

namespace upnp {
namespace {

using namespace std::string_literals;
using Headers = std::vector<std::pair<std::string, std::string>>;

// Places bytes right in front of an inaccessible page, so a parser that reads
// one byte past the end of its input faults at once. Views last until the next place().
class GuardedBuffer {
 public:
  explicit GuardedBuffer(size_t capacity)
      : mUsable((capacity / kPage + 1) * kPage),
        mBase(static_cast<char*>(mmap(nullptr, mUsable + kPage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0))) {
    EXPECT_EQ(0, mprotect(mBase + mUsable, kPage, PROT_NONE));
  }
  ~GuardedBuffer() { munmap(mBase, mUsable + kPage); }
  std::string_view place(std::string_view bytes) {
    return {static_cast<char*>(std::memcpy(mBase + mUsable - bytes.size(), bytes.data(), bytes.size())), bytes.size()};
  }

 private:
  const size_t kPage = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  size_t mUsable;
  char* mBase;
};

Headers headersOf(const HttpMessage& message) {
  Headers headers;
  for (size_t i = 0; i < message.headerNames.size(); ++i) headers.emplace_back(message.headerNames[i], message.headerValues[i]);
  return headers;
}

constexpr size_t kNever = std::numeric_limits<size_t>::max();

const struct ParseCase {
  std::string input;
  std::string firstLine;
  Headers headers;
  std::string body;
  // Complete once all but this many trailing bytes of `input` are present;
  // kNever when no prefix (nor the whole) is complete.
  size_t completeWithout;
} kCases[] = {
    {"", "", {}, "", kNever}, {"\r", "", {}, "", kNever},
    {"GET / HTTP/1.1\r\n", "GET / HTTP/1.1", {}, "", kNever},
    {"GET / HTTP/1.1\r\n\r\n", "GET / HTTP/1.1", {}, "", 1},
    {"GET / HTTP/1.1\r\nhost: 10.0.0.1\r\nAccept-Language: De-de\r\n\r\n", "GET / HTTP/1.1",
     {{"HOST", "10.0.0.1"}, {"ACCEPT-LANGUAGE", "De-de"}}, "", 1},
    {"GET / HTTP/1.1\r\nX:  \tv\r\n\r\n", "GET / HTTP/1.1", {{"X", "\tv"}}, "", 1},
    {"NOTIFY * HTTP/1.1\r\nEXT:\r\nB:   \r\n\r\n", "NOTIFY * HTTP/1.1", {{"EXT", ""}, {"B", ""}}, "", 1},
    {"GET / HTTP/1.1\r\nHOST: a\r\nHost: b\r\n\r\n", "GET / HTTP/1.1", {{"HOST", "a"}, {"HOST", "b"}}, "", 1},
    {"GET / HTTP/1.1\r\n: v\r\n\r\n", "GET / HTTP/1.1", {{"", "v"}}, "", 1},
    {"GET / HTTP/1.1\r\n\xe9x\xff: 1\r\n\r\n", "GET / HTTP/1.1", {{"\xe9X\xff", "1"}}, "", 1},
    {"G\0T /\xff HTTP/1.1\r\n\r\n"s, "G\0T /\xff HTTP/1.1"s, {}, "", 1},
    {"GET / HTTP/1.1\r\nA: 1\r\nBROKEN\r\n\r\n", "GET / HTTP/1.1", {{"A", "1"}}, "", kNever},  // no colon
    {"GET / HTTP/1.1\nHOST: a\n\n", "", {}, "", kNever},
    {"GET / HTTP/1.1\r\nHOST: a\n\n", "GET / HTTP/1.1", {}, "", kNever},
    {"GET / HTTP/1.1\rXHOST: a\rY\rZ", "GET / HTTP/1.1", {{"HOST", "a"}}, "", 1},  // the byte after CR is skipped
    {"GET / HTTP/1.1\r\n\r\nab\0c\r\nd"s, "GET / HTTP/1.1", {}, "ab\0c\r\nd"s, 8},  // no length: all is body
    {"POST / HTTP/1.1\r\nCONTENT-LENGTH: 10\r\n\r\n0123456789", "POST / HTTP/1.1", {{"CONTENT-LENGTH", "10"}}, "0123456789", 0},
    {"POST / HTTP/1.1\r\nContent-Length: 3\r\n\r\nabcEXTRA", "POST / HTTP/1.1", {{"CONTENT-LENGTH", "3"}}, "abc", 5},
    {"POST / HTTP/1.1\r\nCONTENT-LENGTH: abc\r\n\r\nxyz", "POST / HTTP/1.1", {{"CONTENT-LENGTH", "abc"}}, "", 4},
    {"POST / HTTP/1.1\r\nCONTENT-LENGTH: 2\r\nCONTENT-LENGTH: 5\r\n\r\nabcde", "POST / HTTP/1.1",
     {{"CONTENT-LENGTH", "2"}, {"CONTENT-LENGTH", "5"}}, "ab", 3},
    {"POST / HTTP/1.1\r\nCONTENT-LENGTH: 4\r\n\r\n\0\r\n\0"s, "POST / HTTP/1.1", {{"CONTENT-LENGTH", "4"}}, "\0\r\n\0"s, 0},
    {"POST / HTTP/1.1\r\nCONTENT-LENGTH: 2\0" "9\r\n\r\nabc"s, "POST / HTTP/1.1", {{"CONTENT-LENGTH", "2\0" "9"s}}, "ab", 1},
    {"M-SEARCH * HTTP/1.1\r", "M-SEARCH * HTTP/1.1", {}, "", kNever},
    // CONTENT-LENGTH is read like strtoul ("-1" wraps) .
    {"POST / HTTP/1.1\r\nCONTENT-LENGTH: \v+2 x\r\n\r\nabc", "POST / HTTP/1.1", {{"CONTENT-LENGTH", "\v+2 x"}}, "ab", 1},
    {"POST / HTTP/1.1\r\nCONTENT-LENGTH: -1\r\n\r\nab", "POST / HTTP/1.1", {{"CONTENT-LENGTH", "-1"}}, "", kNever},
};

// Every prefix of every input, as a connection sees it across split reads:
// no prefix is complete before the byte that completes the message, every
// later one is, and a complete prefix agrees with the whole message. The head
// scanner, fed the same growing text, finds the body where the parser does.
TEST(HttpMessageTest, EveryPrefixOfTheTableCompletesExactlyWhenItShould) {
  for (const ParseCase& c : kCases) {
    SCOPED_TRACE(c.input);
    GuardedBuffer buffer(c.input.size());
    const HttpMessage whole = parseHttpMessage(buffer.place(c.input));
    EXPECT_EQ(whole.complete, c.completeWithout != kNever);
    EXPECT_EQ(whole.firstLine + "|" + whole.body, c.firstLine + "|" + (whole.complete ? c.body : whole.body));
    EXPECT_EQ(headersOf(whole), c.headers);
    const size_t completeAt = c.completeWithout == kNever ? kNever : c.input.size() - c.completeWithout;
    HeadScanner scanner;
    for (size_t n = 0; n <= c.input.size(); ++n) {
      const std::string_view text = buffer.place(std::string_view(c.input).substr(0, n));
      const HttpMessage part = parseHttpMessage(text);
      const size_t offset = scanner.bodyOffset(text);
      ASSERT_EQ(part.complete, n >= completeAt) << n;
      if (!part.complete) continue;
      ASSERT_NE(offset, HeadScanner::kNotYet);
      const std::string rest(text.substr(std::min(offset, n)));
      EXPECT_EQ(part.body, hasHeader(part, "CONTENT-LENGTH") ? rest.substr(0, bodyLimit(part)) : rest);
      EXPECT_EQ(part.firstLine, whole.firstLine);
      EXPECT_EQ(headersOf(part), headersOf(whole));
      EXPECT_EQ(whole.body.substr(0, part.body.size()), part.body);
    }
  }
}

TEST(HttpMessageTest, DatesAreInTheFormatOfRfc1123) {
  EXPECT_EQ(httpDate(784111777) + "|" + httpDate(951827696), "Sun, 06 Nov 1994 08:49:37 GMT|Tue, 29 Feb 2000 12:34:56 GMT");
}

}  // namespace
}  // namespace upnp
