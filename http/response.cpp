#include "http/response.h"

#include <cstdio>

#include "model/soap/soap.h"
#include "platform/ip_addr.h"

namespace upnp {

namespace {

struct Reason {
  unsigned code;
  const char* phrase;
};

constexpr Reason kReasons[] = {
    {200, "OK"},
    {400, "Bad Request"},
    {404, "Not Found"},
    {412, "Precondition Failed"},
    {500, "Internal Server Error"},
    {501, "Not Implemented"},
};

// Our own name tables: strftime's %a and %b follow LC_TIME, and an HTTP date
// must read the same whatever locale the process was started in.
constexpr const char* kDayNames[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr const char* kMonthNames[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                       "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

}  // namespace

const std::string& lineEnd() {
  static const std::string kLineEnd = "\r\n";
  return kLineEnd;
}

const std::string& serverString() {
  static const std::string kServer = "Corvanet/" + getOSVersion() + "UPnP/1.0 Quenlark UPnP/1.0";
  return kServer;
}

const char* reasonPhrase(unsigned code) {
  for (const Reason& reason : kReasons) {
    if (reason.code == code) return reason.phrase;
  }
  return "";
}

HttpMessage statusResponse(unsigned code) {
  char line[64];
  std::snprintf(line, sizeof line, "HTTP/1.1 %u %s", code, reasonPhrase(code));
  HttpMessage message;
  message.firstLine = line;
  message.complete = true;
  return message;
}

std::string httpDate(std::time_t when) {
  std::tm parts{};
  if (gmtime_r(&when, &parts) == nullptr) return std::string();
  // The fields come from gmtime_r and are in range; the guards only keep a
  // broken C library from indexing outside the tables.
  const char* day = parts.tm_wday >= 0 && parts.tm_wday < 7 ? kDayNames[parts.tm_wday] : "";
  const char* month = parts.tm_mon >= 0 && parts.tm_mon < 12 ? kMonthNames[parts.tm_mon] : "";
  char text[32];
  std::snprintf(text, sizeof text, "%s, %02d %s %d %02d:%02d:%02d GMT", day, parts.tm_mday, month,
                parts.tm_year + 1900, parts.tm_hour, parts.tm_min, parts.tm_sec);
  return text;
}

void addDateHeader(HttpMessage& message) {
  // One text per second rather than one per response.
  static std::time_t madeAt = -1;
  static std::string text;
  const std::time_t now = std::time(nullptr);
  if (now != madeAt) text = httpDate(madeAt = now);
  addHeader(message, "DATE", text);
}

HttpMessage soapResponse(unsigned status, const xml::XmlElement& body) {
  std::string text = soapEnvelope(body);
  HttpMessage response = statusResponse(status);
  addHeader(response, "CONTENT-LENGTH", std::to_string(text.size()));
  addHeader(response, "CONTENT-TYPE", "text/xml; charset=\"utf-8\"");
  addDateHeader(response);
  addHeader(response, "EXT", "");
  addHeader(response, "SERVER", serverString());
  response.body = std::move(text);
  return response;
}

HttpMessage soapFault(uint32_t upnpErrorCode) { return soapResponse(500, soapFaultBody(upnpErrorCode)); }

}  // namespace upnp
