#include "http/http_message.h"

#include <algorithm>
#include <cstdlib>

#include "http/response.h"

namespace upnp {

namespace {

constexpr char kCR = '\r';

// Moves `rest` past the line that ends at `crPos` and past the one byte after
// the CR (normally the LF, but whatever it is: peers that end lines with CR
// followed by anything are read the same way).
void skipLine(std::string_view& rest, size_t crPos) {
  size_t next = crPos + 2;
  rest = next >= rest.size() ? std::string_view() : rest.substr(next);
}

// Parses one "NAME: value" line into the message. Returns false for a line
// without a colon.
bool parseHeaderLine(std::string_view line, HttpMessage& message) {
  size_t colon = line.find(':');
  if (colon == std::string_view::npos) return false;
  std::string_view value = line.substr(colon + 1);
  // Only blanks are skipped: a tab in front of a value stays part of it.
  size_t start = value.find_first_not_of(' ');
  value = start == std::string_view::npos ? std::string_view() : value.substr(start);
  message.headerNames.push_back(upperCase(line.substr(0, colon)));
  message.headerValues.emplace_back(value);
  return true;
}

// The body length that CONTENT-LENGTH asks for, read the way strtoul reads
// base 10 (leading white space skipped, trailing text ignored, no digits is
// 0, overflow saturates), capped at kMaxBodyBytes.
size_t lengthLimit(const std::string& contentLength) {
  // contentLength is a std::string, so strtoul stops at its terminating NUL
  // at the latest and never reads past the value.
  unsigned long length = std::strtoul(contentLength.c_str(), nullptr, 10);
  return static_cast<size_t>(std::min<unsigned long>(length, kMaxBodyBytes));
}

}  // namespace

size_t bodyLimit(const HttpMessage& message) {
  return hasHeader(message, "CONTENT-LENGTH") ? lengthLimit(header(message, "CONTENT-LENGTH")) : 0;
}

size_t HeadScanner::bodyOffset(std::string_view text) {
  if (!mFirstLineDone) {
    const size_t cr = text.find(kCR, mSearchFrom);
    if (cr == std::string_view::npos) {
      mSearchFrom = text.size();
      return kNotYet;
    }
    mFirstLineDone = true;
    mLineStart = mSearchFrom = cr + 2;
  }
  for (;;) {
    if (mLineStart >= text.size()) return kNotYet;
    if (text[mLineStart] == kCR) return mLineStart + 2;
    const size_t cr = text.find(kCR, std::max(mLineStart, mSearchFrom));
    if (cr == std::string_view::npos) {
      mSearchFrom = text.size();
      return kNotYet;
    }
    mLineStart = mSearchFrom = cr + 2;
  }
}

std::string upperCase(std::string_view text) {
  std::string result(text);
  for (char& c : result) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return result;
}

HttpMessage parseHttpMessage(std::string_view text) {
  HttpMessage message;
  size_t cr = text.find(kCR);
  if (cr == std::string_view::npos) return message;
  message.firstLine.assign(text.substr(0, cr));
  std::string_view rest = text;
  skipLine(rest, cr);

  while (rest.empty() || rest.front() != kCR) {
    cr = rest.find(kCR);
    // An unfinished header block still hands back what it has: SSDP reads
    // the headers of a datagram whether or not its blank line is there.
    if (cr == std::string_view::npos) return message;
    if (!parseHeaderLine(rest.substr(0, cr), message)) return message;
    skipLine(rest, cr);
  }
  skipLine(rest, 0);
  message.body.assign(rest);

  if (!hasHeader(message, "CONTENT-LENGTH")) {
    message.complete = true;
    return message;
  }
  size_t limit = lengthLimit(header(message, "CONTENT-LENGTH"));
  message.complete = message.body.size() >= limit;
  message.body.resize(limit, '\0');
  return message;
}

std::string header(const HttpMessage& message, std::string_view name) {
  std::string key = upperCase(name);
  for (size_t i = 0; i < message.headerNames.size() && i < message.headerValues.size(); ++i) {
    if (message.headerNames[i] == key) return message.headerValues[i];
  }
  return std::string();
}

bool hasHeader(const HttpMessage& message, std::string_view name) {
  std::string key = upperCase(name);
  return std::find(message.headerNames.begin(), message.headerNames.end(), key) !=
         message.headerNames.end();
}

void addHeader(HttpMessage& message, std::string_view name, std::string_view value) {
  message.headerNames.push_back(upperCase(name));
  message.headerValues.emplace_back(value);
}

std::string toText(const HttpMessage& message) {
  const std::string& end = lineEnd();
  std::string text;
  text.reserve(message.firstLine.size() + message.body.size() + 256);
  text.append(message.firstLine).append(end);
  size_t count = std::min(message.headerNames.size(), message.headerValues.size());
  for (size_t i = 0; i < count; ++i) {
    text.append(message.headerNames[i]).append(": ").append(message.headerValues[i]).append(end);
  }
  text.append(end);
  text.append(message.body);
  return text;
}

}  // namespace upnp
