#include "http/http_message.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <limits>
#include <string>
#include <utility>
#include <vector>

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
      {"several blanks before value", "POST /c HTTP/1.1\r\nHOST:   10.0.0.1:2828\r\n\r\n", true,
       "POST /c HTTP/1.1", {{"HOST", "10.0.0.1:2828"}}, "", 1},
      {"tab before value is kept", "POST /c HTTP/1.1\r\nHOST:\t10.0.0.1\r\n\r\n", true,
       "POST /c HTTP/1.1", {{"HOST", "\t10.0.0.1"}}, "", 1},
      {"blanks then tab", "GET / HTTP/1.1\r\nX:  \tv\r\n\r\n", true, "GET / HTTP/1.1",
       {{"X", "\tv"}}, "", 1},
      {"trailing blanks kept", "GET / HTTP/1.1\r\nX: v  \r\n\r\n", true, "GET / HTTP/1.1",
       {{"X", "v  "}}, "", 1},
      {"empty values", "NOTIFY * HTTP/1.1\r\nEXT:\r\nB:   \r\n\r\n", true, "NOTIFY * HTTP/1.1",
       {{"EXT", ""}, {"B", ""}}, "", 1},
      {"colon inside value", "GET / HTTP/1.1\r\nHOST: a:1:b\r\n\r\n", true, "GET / HTTP/1.1",
       {{"HOST", "a:1:b"}}, "", 1},
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
      {"length zero", "POST / HTTP/1.1\r\nCONTENT-LENGTH: 0\r\n\r\nxyz", true, "POST / HTTP/1.1",
       {{"CONTENT-LENGTH", "0"}}, "", 4},
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
// later one is, and a complete prefix agrees with the whole message.
TEST(HttpMessageTest, EveryPrefixCompletesExactlyWhenItShould) {
  for (const ParseCase& c : parseCases()) {
    SCOPED_TRACE(c.situation);
    GuardedBuffer buffer(c.input.size());
    ASSERT_TRUE(buffer.ok());
    HttpMessage whole = parseHttpMessage(c.input);
    size_t completeAt = c.completeWithout == kNever ? kNever : c.input.size() - c.completeWithout;
    for (size_t n = 0; n <= c.input.size(); ++n) {
      SCOPED_TRACE("prefix length " + std::to_string(n));
      HttpMessage part = parseHttpMessage(buffer.place(std::string_view(c.input).substr(0, n)));
      ASSERT_EQ(part.complete, completeAt != kNever && n >= completeAt);
      if (!part.complete) continue;
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
      {"7", 7}, {"   7", 7}, {"\t7", 7}, {"\v\f7", 7}, {"7 trailing", 7}, {"7abc", 7}, {"+7", 7}, {"007", 7},
      {"10", 10}, {"0x10", 0}, {"", 0}, {"abc", 0}, {"-", 0}, {"32768", 32768}, {"32769", 32768},
      {"40000", 32768}, {"4294967296", 32768}, {"18446744073709551615", 32768}, {"18446744073709551616", 32768},
      {"99999999999999999999999999999999999999", 32768},
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

TEST(HttpMessageTest, AddHeaderAppendsUpperCaseNameAndWritesInOrder) {
  HttpMessage message;
  message.firstLine = "NOTIFY /cb HTTP/1.1";
  addHeader(message, "Host", "10.0.0.2:5000");
  addHeader(message, "ext", "");
  addHeader(message, "nt", "upnp:event");
  addHeader(message, "NT", "second");
  message.body = "a\0b"s;
  EXPECT_EQ(header(message, "nt"), "upnp:event");
  EXPECT_EQ(toText(message),
            "NOTIFY /cb HTTP/1.1\r\nHOST: 10.0.0.2:5000\r\nEXT: \r\nNT: upnp:event\r\nNT: second\r\n\r\na\0b"s);
}

TEST(HttpMessageTest, ManyHeaderLinesAreAllKept) {
  std::string text = "GET / HTTP/1.1\r\n";
  const size_t count = 20000;
  for (size_t i = 0; i < count; ++i) text += "h" + std::to_string(i) + ": v\r\n";
  EXPECT_FALSE(parseGuarded(text).complete);
  HttpMessage message = parseGuarded(text + "\r\n");
  ASSERT_TRUE(message.complete);
  ASSERT_EQ(message.headerNames.size(), count);
  EXPECT_EQ(message.headerNames.back(), "H" + std::to_string(count - 1));
}

TEST(HttpMessageTest, UpperCaseTouchesOnlyAsciiLetters) {
  EXPECT_EQ(upperCase("content-Length_1@[`{\xe9\xff"), "CONTENT-LENGTH_1@[`{\xe9\xff");
  EXPECT_EQ(upperCase("az\0AZ"s), "AZ\0AZ"s);
}

}  // namespace
}  // namespace upnp
