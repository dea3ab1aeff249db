#include "http/response.h"

#include <gtest/gtest.h>

#include <clocale>
#include <ctime>
#include <string>

#include "platform/ip_addr.h"

namespace upnp {
namespace {

TEST(ResponseTest, StatusResponseCarriesCodeAndReasonOnly) {
  const struct {
    unsigned code;
    const char* firstLine;
  } cases[] = {
      {200, "HTTP/1.1 200 OK"}, {400, "HTTP/1.1 400 Bad Request"}, {404, "HTTP/1.1 404 Not Found"},
      {412, "HTTP/1.1 412 Precondition Failed"}, {500, "HTTP/1.1 500 Internal Server Error"},
      {501, "HTTP/1.1 501 Not Implemented"}, {302, "HTTP/1.1 302 "}, {0, "HTTP/1.1 0 "}, {401, "HTTP/1.1 401 "},
      {4294967295u, "HTTP/1.1 4294967295 "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.code);
    HttpMessage message = statusResponse(c.code);
    EXPECT_TRUE(message.complete);
    EXPECT_EQ(toText(message), std::string(c.firstLine) + "\r\n\r\n");
  }
}

struct DateCase {
  std::time_t when;
  const char* text;
};

const DateCase kDates[] = {
    {0, "Thu, 01 Jan 1970 00:00:00 GMT"},
    {951782400, "Tue, 29 Feb 2000 00:00:00 GMT"},
    {1700000000, "Tue, 14 Nov 2023 22:13:20 GMT"},
    {1703980800, "Sun, 31 Dec 2023 00:00:00 GMT"},
    {2147483648, "Tue, 19 Jan 2038 03:14:08 GMT"},
};

// Switches the whole process to a locale other than "C" for one test, if the
// machine has one, and back afterwards.
class ForeignLocale {
 public:
  ForeignLocale() {
    const char* previous = std::setlocale(LC_ALL, nullptr);
    mPrevious = previous != nullptr ? previous : "C";
    for (const char* name : {"de_DE.UTF-8", "fr_FR.UTF-8", "es_ES.UTF-8", "C.UTF-8"}) {
      if (std::setlocale(LC_ALL, name) != nullptr) {
        mActive = name;
        break;
      }
    }
  }
  ~ForeignLocale() { std::setlocale(LC_ALL, mPrevious.c_str()); }
  const std::string& active() const { return mActive; }

 private:
  std::string mPrevious;  // locale to restore
  std::string mActive;    // locale switched to, "" when none was available
};

TEST(ResponseTest, HttpDateIsUtcWithEnglishNames) {
  for (const DateCase& c : kDates) EXPECT_EQ(httpDate(c.when), c.text);
  ForeignLocale locale;
  SCOPED_TRACE("locale " + locale.active());
  for (const DateCase& c : kDates) EXPECT_EQ(httpDate(c.when), c.text);
}

TEST(ResponseTest, DateHeaderHoldsTheCurrentTime) {
  ForeignLocale locale;
  SCOPED_TRACE("locale " + locale.active());
  HttpMessage message = statusResponse(200);
  std::time_t before = std::time(nullptr);
  addDateHeader(message);
  std::time_t after = std::time(nullptr);

  ASSERT_EQ(message.headerNames, std::vector<std::string>{"DATE"});
  // The value's form is pinned by the table above.
  const std::string& value = message.headerValues[0];
  EXPECT_TRUE(value == httpDate(before) || value == httpDate(after)) << value;
}

TEST(ResponseTest, ServerStringTakesTheVersionVerbatim) {
  EXPECT_EQ(serverString(), "Corvanet/" + getOSVersion() + "UPnP/1.0 Quenlark UPnP/1.0");
}

}  // namespace
}  // namespace upnp
