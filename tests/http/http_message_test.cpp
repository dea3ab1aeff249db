// The message parser on hostile input: every case sits right in front of an
// inaccessible page and is also fed in every prefix, as split reads deliver it.

#include "http/http_message.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <clocale>
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

HttpMessage parseGuarded(std::string_view text) { return parseHttpMessage(GuardedBuffer(text.size()).place(text)); }

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
    {"POST /c HTTP/1.1\r\nHOST:\t10.0.0.1\r\n\r\n", "POST /c HTTP/1.1", {{"HOST", "\t10.0.0.1"}}, "", 1},
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
};

// Every prefix of every input, as a connection sees it across split reads:
// no prefix is complete before the byte that completes the message, every
// later one is, and a complete prefix agrees with the whole message. The head
// scanner, fed the same growing text, finds the body where the parser does.
// What the parser keeps survives being written and parsed again.
TEST(HttpMessageTest, EveryPrefixOfTheTableCompletesExactlyWhenItShould) {
  for (const ParseCase& c : kCases) {
    SCOPED_TRACE(c.input);
    GuardedBuffer buffer(c.input.size());
    const HttpMessage whole = parseHttpMessage(buffer.place(c.input));
    EXPECT_EQ(whole.complete, c.completeWithout != kNever);
    EXPECT_EQ(whole.firstLine + "|" + whole.body, c.firstLine + "|" + (whole.complete ? c.body : whole.body));
    EXPECT_EQ(headersOf(whole), c.headers);
    if (whole.complete) {
      const HttpMessage again = parseGuarded(toText(whole));
      EXPECT_TRUE(again.complete && again.firstLine == whole.firstLine && again.body == whole.body);
      EXPECT_EQ(headersOf(again), headersOf(whole));
    }
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

// Each value is read like strtoul and capped at kMaxBodyBytes; the message is
// complete exactly when that many body bytes are there, and a short body is
// NUL-padded to the announced length while incomplete.
TEST(HttpMessageTest, ContentLengthIsReadLikeStrtoulAndCapped) {
  const std::pair<const char*, size_t> cases[] = {
      {"7", 7}, {"   7", 7}, {"\v\f7", 7}, {"7 trailing", 7}, {"+7", 7}, {"0x10", 0}, {"", 0}, {"abc", 0},
      {"32768", 32768}, {"32769", 32768}, {"4294967296", 32768}, {"18446744073709551616", 32768},
      {"-1", 32768},  // strtoul negates in unsigned arithmetic
  };
  std::string longBody(kMaxBodyBytes + 100, 'b');
  for (size_t i = 0; i < longBody.size(); ++i) longBody[i] = static_cast<char>('a' + i % 26);
  for (const auto& [value, limit] : cases) {
    SCOPED_TRACE(value);
    const std::string head = "POST /ctl HTTP/1.1\r\nHOST: 10.0.0.1\r\nCONTENT-LENGTH: " + std::string(value) + "\r\n\r\n";
    const HttpMessage full = parseGuarded(head + longBody);
    EXPECT_TRUE(full.complete && parseGuarded(head + longBody.substr(0, limit)).complete);
    EXPECT_EQ(full.body, longBody.substr(0, limit));
    if (limit == 0) continue;
    const HttpMessage shortByOne = parseGuarded(head + longBody.substr(0, limit - 1));
    EXPECT_FALSE(shortByOne.complete);
    EXPECT_EQ(shortByOne.body, longBody.substr(0, limit - 1) + '\0');
  }
}

// Lookup folds the name and takes the first; DATE is UTC with English names
// whatever the process locale.
TEST(HttpMessageTest, HeaderLookupAndDates) {
  const HttpMessage message = parseGuarded("GET / HTTP/1.1\r\nHost: First\r\nHOST: second\r\nx-Empty:\r\n\r\n");
  for (const char* name : {"host", "HOST", "hOsT"}) EXPECT_EQ(header(message, name), "First");
  EXPECT_TRUE(hasHeader(message, "x-empty") && header(message, "X-EMPTY").empty());
  for (const char* name : {"CONTENT-LENGTH", "HOS", "HOST "}) EXPECT_FALSE(hasHeader(message, name) || !header(message, name).empty()) << name;
  for (const char* locale : {"C", "de_DE.UTF-8", "fr_FR.UTF-8"}) {
    if (std::setlocale(LC_ALL, locale) == nullptr) continue;
    EXPECT_EQ(httpDate(951782400) + "|" + httpDate(2147483648), "Tue, 29 Feb 2000 00:00:00 GMT|Tue, 19 Jan 2038 03:14:08 GMT");
  }
  std::setlocale(LC_ALL, "C");
}

}  // namespace
}  // namespace upnp
