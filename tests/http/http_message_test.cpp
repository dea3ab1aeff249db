// The message parser on hostile input: every case sits right in front of an
// inaccessible page and is also fed in every prefix, as split reads deliver it.

#include "http/http_message.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <clocale>
#include <cstring>
#include <ctime>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "http/response.h"

namespace upnp {
namespace {

using namespace std::string_literals;
using Headers = std::vector<std::pair<std::string, std::string>>;

// Holds bytes right in front of an inaccessible page, so a parser that reads
// one byte past the end of its input faults at once.
class GuardedBuffer {
 public:
  explicit GuardedBuffer(size_t capacity) {
    size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    mUsable = (capacity + page - 1) / page * page + page;  // at least one page
    void* map = mmap(nullptr, mUsable + page, PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (map == MAP_FAILED) return;
    mBase = static_cast<char*>(map);
    mMapped = mUsable + page;
    if (mprotect(mBase + mUsable, page, PROT_NONE) != 0) mUsable = 0;
  }
  ~GuardedBuffer() {
    if (mBase != nullptr) munmap(mBase, mMapped);
  }
  GuardedBuffer(const GuardedBuffer&) = delete;
  GuardedBuffer& operator=(const GuardedBuffer&) = delete;

  bool ok() const { return mBase != nullptr && mUsable != 0; }
  // Copies `bytes` so that they end at the guard page; the view is valid
  // until the next place().
  std::string_view place(std::string_view bytes) {
    char* start = mBase + mUsable - bytes.size();
    if (!bytes.empty()) std::memcpy(start, bytes.data(), bytes.size());
    return std::string_view(start, bytes.size());
  }

 private:
  char* mBase = nullptr;  // start of the mapping
  size_t mUsable = 0;     // readable bytes before the guard page
  size_t mMapped = 0;     // size of the whole mapping
};

HttpMessage parseGuarded(std::string_view text) {
  GuardedBuffer buffer(text.size());
  EXPECT_TRUE(buffer.ok());
  return parseHttpMessage(buffer.place(text));
}

Headers headersOf(const HttpMessage& message) {
  Headers headers;
  for (size_t i = 0; i < message.headerNames.size(); ++i) {
    headers.emplace_back(message.headerNames[i], message.headerValues[i]);
  }
  return headers;
}

constexpr size_t kNever = std::numeric_limits<size_t>::max();

struct ParseCase {
  const char* situation;
  std::string input;
  bool complete;
  std::string firstLine;
  Headers headers;
  std::string body;
  // The message becomes complete once all but this many trailing bytes of
  // `input` are present; kNever when no prefix (nor the whole) is complete.
  size_t completeWithout;
};

const std::vector<ParseCase>& parseCases() {
  static const std::vector<ParseCase> cases = {
      {"empty input", "", false, "", {}, "", kNever},
      {"lone CR", "\r", false, "", {}, "", kNever},
      {"request line only", "GET / HTTP/1.1\r\n", false, "GET / HTTP/1.1", {}, "", kNever},
      {"no headers", "GET / HTTP/1.1\r\n\r\n", true, "GET / HTTP/1.1", {}, "", 1},
      {"lower and mixed case names",
       "GET / HTTP/1.1\r\nhost: 10.0.0.1\r\nAccept-Language: De-de\r\n\r\n", true,
       "GET / HTTP/1.1", {{"HOST", "10.0.0.1"}, {"ACCEPT-LANGUAGE", "De-de"}}, "", 1},
      {"tab before value is kept", "POST /c HTTP/1.1\r\nHOST:\t10.0.0.1\r\n\r\n", true,
       "POST /c HTTP/1.1", {{"HOST", "\t10.0.0.1"}}, "", 1},
      {"blanks then tab", "GET / HTTP/1.1\r\nX:  \tv\r\n\r\n", true, "GET / HTTP/1.1",
       {{"X", "\tv"}}, "", 1},
      {"empty values", "NOTIFY * HTTP/1.1\r\nEXT:\r\nB:   \r\n\r\n", true, "NOTIFY * HTTP/1.1",
       {{"EXT", ""}, {"B", ""}}, "", 1},
      {"duplicate names both kept", "GET / HTTP/1.1\r\nHOST: a\r\nHost: b\r\n\r\n", true,
       "GET / HTTP/1.1", {{"HOST", "a"}, {"HOST", "b"}}, "", 1},
      {"empty name", "GET / HTTP/1.1\r\n: v\r\n\r\n", true, "GET / HTTP/1.1", {{"", "v"}}, "", 1},
      {"high bytes in name are not folded", "GET / HTTP/1.1\r\n\xe9x\xff: 1\r\n\r\n", true,
       "GET / HTTP/1.1", {{"\xe9X\xff", "1"}}, "", 1},
      {"NUL in request line", "G\0T /\xff HTTP/1.1\r\n\r\n"s, true, "G\0T /\xff HTTP/1.1"s, {}, "",
       1},
      {"header line without colon", "GET / HTTP/1.1\r\nA: 1\r\nBROKEN\r\n\r\n", false,
       "GET / HTTP/1.1", {{"A", "1"}}, "", kNever},
      {"LF-only line ends", "GET / HTTP/1.1\nHOST: a\n\n", false, "", {}, "", kNever},
      {"LF-only header lines", "GET / HTTP/1.1\r\nHOST: a\n\n", false, "GET / HTTP/1.1", {}, "",
       kNever},
      {"byte after CR skipped whatever it is", "GET / HTTP/1.1\rXHOST: a\rY\rZ", true,
       "GET / HTTP/1.1", {{"HOST", "a"}}, "", 1},
      {"no length: everything after blank line is body", "GET / HTTP/1.1\r\n\r\nab\0c\r\nd"s,
       true, "GET / HTTP/1.1", {}, "ab\0c\r\nd"s, 8},
      {"length with exact body", "POST / HTTP/1.1\r\nCONTENT-LENGTH: 10\r\n\r\n0123456789", true,
       "POST / HTTP/1.1", {{"CONTENT-LENGTH", "10"}}, "0123456789", 0},
      {"length with extra bytes dropped",
       "POST / HTTP/1.1\r\nContent-Length: 3\r\n\r\nabcEXTRA", true, "POST / HTTP/1.1",
       {{"CONTENT-LENGTH", "3"}}, "abc", 5},
      {"length without digits", "POST / HTTP/1.1\r\nCONTENT-LENGTH: abc\r\n\r\nxyz", true,
       "POST / HTTP/1.1", {{"CONTENT-LENGTH", "abc"}}, "", 4},
      {"first of two lengths counts",
       "POST / HTTP/1.1\r\nCONTENT-LENGTH: 2\r\nCONTENT-LENGTH: 5\r\n\r\nabcde", true,
       "POST / HTTP/1.1", {{"CONTENT-LENGTH", "2"}, {"CONTENT-LENGTH", "5"}}, "ab", 3},
      {"NUL bytes in counted body", "POST / HTTP/1.1\r\nCONTENT-LENGTH: 4\r\n\r\n\0\r\n\0"s, true,
       "POST / HTTP/1.1", {{"CONTENT-LENGTH", "4"}}, "\0\r\n\0"s, 0},
      {"NUL byte inside length value", "POST / HTTP/1.1\r\nCONTENT-LENGTH: 2\0" "9\r\n\r\nabc"s,
       true, "POST / HTTP/1.1", {{"CONTENT-LENGTH", "2\0" "9"s}}, "ab", 1},
      {"request line ended by CR at end", "M-SEARCH * HTTP/1.1\r", false, "M-SEARCH * HTTP/1.1",
       {}, "", kNever},
  };
  return cases;
}

TEST(HttpMessageTest, ParsesTableOfMessages) {
  for (const ParseCase& c : parseCases()) {
    SCOPED_TRACE(c.situation);
    HttpMessage message = parseGuarded(c.input);
    EXPECT_EQ(message.complete, c.complete);
    EXPECT_EQ(message.firstLine, c.firstLine);
    EXPECT_EQ(headersOf(message), c.headers);
    if (!c.complete) continue;
    EXPECT_EQ(message.body, c.body);
    // What the parser keeps survives being written and parsed again.
    HttpMessage again = parseGuarded(toText(message));
    EXPECT_TRUE(again.complete);
    EXPECT_EQ(again.firstLine, message.firstLine);
    EXPECT_EQ(headersOf(again), headersOf(message));
    EXPECT_EQ(again.body, message.body);
  }
}

// Every prefix of every input, as a connection sees it across split reads:
// no prefix is complete before the byte that completes the message, every
// later one is, and a complete prefix agrees with the whole message. The head
// scanner, fed the same growing text, finds the body where the parser does.
TEST(HttpMessageTest, EveryPrefixCompletesExactlyWhenItShould) {
  for (const ParseCase& c : parseCases()) {
    SCOPED_TRACE(c.situation);
    GuardedBuffer buffer(c.input.size());
    ASSERT_TRUE(buffer.ok());
    HttpMessage whole = parseHttpMessage(c.input);
    size_t completeAt = c.completeWithout == kNever ? kNever : c.input.size() - c.completeWithout;
    HeadScanner scanner;
    for (size_t n = 0; n <= c.input.size(); ++n) {
      SCOPED_TRACE("prefix length " + std::to_string(n));
      const std::string_view text = buffer.place(std::string_view(c.input).substr(0, n));
      HttpMessage part = parseHttpMessage(text);
      const size_t offset = scanner.bodyOffset(text);
      ASSERT_EQ(part.complete, completeAt != kNever && n >= completeAt);
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

std::string postWithLength(const std::string& value) {
  return "POST /ctl HTTP/1.1\r\nHOST: 10.0.0.1\r\nCONTENT-LENGTH: " + value + "\r\n\r\n";
}

// Each value is read like strtoul and capped at kMaxBodyBytes; the message is
// complete exactly when that many body bytes are there, and a short body is
// NUL-padded to the announced length while incomplete.
TEST(HttpMessageTest, ContentLengthIsReadLikeStrtoulAndCapped) {
  const struct {
    const char* value;
    size_t limit;
  } cases[] = {
      {"7", 7}, {"   7", 7}, {"\v\f7", 7}, {"7 trailing", 7}, {"+7", 7}, {"0x10", 0}, {"", 0}, {"abc", 0},
      {"32768", 32768}, {"32769", 32768}, {"4294967296", 32768}, {"18446744073709551616", 32768},
      {"-1", 32768},  // strtoul negates in unsigned arithmetic
  };
  std::string longBody(kMaxBodyBytes + 100, 'b');
  for (size_t i = 0; i < longBody.size(); ++i) longBody[i] = static_cast<char>('a' + i % 26);
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string("CONTENT-LENGTH: ") + c.value);
    const std::string head = postWithLength(c.value);
    HttpMessage full = parseGuarded(head + longBody);
    EXPECT_TRUE(full.complete);
    EXPECT_EQ(full.body, longBody.substr(0, c.limit));
    EXPECT_TRUE(parseGuarded(head + longBody.substr(0, c.limit)).complete);
    if (c.limit > 0) {
      HttpMessage shortByOne = parseGuarded(head + longBody.substr(0, c.limit - 1));
      EXPECT_FALSE(shortByOne.complete);
      EXPECT_EQ(shortByOne.body, longBody.substr(0, c.limit - 1) + '\0');
    }
  }
}

TEST(HttpMessageTest, HeaderLookupFoldsTheNameAndTakesTheFirst) {
  HttpMessage message = parseGuarded("GET / HTTP/1.1\r\nHost: First\r\nHOST: second\r\nx-Empty:\r\n\r\n");
  ASSERT_TRUE(message.complete);
  for (const char* name : {"host", "HOST", "hOsT"}) EXPECT_EQ(header(message, name), "First");
  EXPECT_TRUE(hasHeader(message, "x-empty"));
  EXPECT_EQ(header(message, "X-EMPTY"), "");
  for (const char* name : {"CONTENT-LENGTH", "HOS", "HOST "}) {
    EXPECT_FALSE(hasHeader(message, name)) << name;
    EXPECT_EQ(header(message, name), "") << name;
  }
}

// DATE is UTC with English names whatever the process locale.
TEST(HttpMessageTest, HttpDateIgnoresTheLocale) {
  const std::pair<std::time_t, const char*> dates[] = {{0, "Thu, 01 Jan 1970 00:00:00 GMT"},
                                                       {951782400, "Tue, 29 Feb 2000 00:00:00 GMT"},
                                                       {2147483648, "Tue, 19 Jan 2038 03:14:08 GMT"}};
  for (const char* locale : {"C", "de_DE.UTF-8", "fr_FR.UTF-8", "C.UTF-8"}) {
    if (std::setlocale(LC_ALL, locale) == nullptr) continue;
    for (const auto& [when, text] : dates) EXPECT_EQ(httpDate(when), text) << locale;
  }
  std::setlocale(LC_ALL, "C");
}

}  // namespace
}  // namespace upnp
