#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace upnp {

// The daemon's one HTTP message type: requests, responses, SSDP datagrams and
// GENA NOTIFY requests. Header names are always stored upper case; the two
// header lists are parallel, unsorted and may hold duplicate names (every
// lookup takes the first match).
struct HttpMessage {
  std::string firstLine;                 // request or status line, without CR LF
  std::vector<std::string> headerNames;  // upper case, in arrival/insertion order
  std::vector<std::string> headerValues; // element i belongs to headerNames[i]
  std::string body;                      // any bytes, NUL included
  bool complete = false;                 // parsed: header block and whole body present
};

// The largest body a received message may carry; a larger CONTENT-LENGTH is
// cut down to this.
inline constexpr size_t kMaxBodyBytes = 32768;

// Parses `text`, the whole of what has been received so far. Never fails:
// a message whose request line, header block or body is not yet all there
// comes back with complete == false; its firstLine and headers then hold what
// was parsed before the parser stopped (a datagram without its final blank
// line still yields its headers) and its body is empty. Lines end at a CR; the byte after each CR is
// skipped whatever it is. A header line without a colon keeps the message
// incomplete for ever. With CONTENT-LENGTH the body is exactly
// min(CONTENT-LENGTH, kMaxBodyBytes) bytes long (NUL-padded while incomplete);
// without it the message is complete at the blank line and the body is every
// byte after it. Runs in time linear in text.size(); `text` may hold any bytes.
HttpMessage parseHttpMessage(std::string_view text);

// The body length a message's CONTENT-LENGTH asks for, read as
// parseHttpMessage reads it (capped at kMaxBodyBytes); 0 without the header.
size_t bodyLimit(const HttpMessage& message);

// Finds where the head of a message ends in the text received so far, with
// the line rules of parseHttpMessage, resuming where the previous call on the
// same growing text stopped, so scanning costs constant time per byte
// however the text arrives. Start a new scanner per message.
class HeadScanner {
 public:
  static constexpr size_t kNotYet = static_cast<size_t>(-1);

  // The offset at which the body starts (it may lie one past the end while
  // the byte after the head's final CR is still missing), or kNotYet.
  // REQUIRES: `text` extends the text of the previous call.
  size_t bodyOffset(std::string_view text);

 private:
  bool mFirstLineDone = false;
  size_t mLineStart = 0;   // start of the header line being looked at
  size_t mSearchFrom = 0;  // no CR before this offset in the current line
};

// ASCII upper-casing, byte by byte, independent of the process locale.
std::string upperCase(std::string_view text);

// Value of the first header named `name` (any case), or "" when absent.
std::string header(const HttpMessage& message, std::string_view name);

// Whether a header named `name` (any case) is present.
bool hasHeader(const HttpMessage& message, std::string_view name);

// Appends a header at the end of the lists; the name is stored upper case.
void addHeader(HttpMessage& message, std::string_view name, std::string_view value);

// The wire form: firstLine CR LF, then "NAME: value" CR LF per header in
// order, then CR LF, then the body. Adds no header of its own.
std::string toText(const HttpMessage& message);

}  // namespace upnp
