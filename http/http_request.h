#pragma once

#include <string>

#include "http/http_message.h"

namespace upnp {

struct HttpConnection;

// One complete request as the dispatcher hands it to a method handler. Built
// once per connection, valid only during the handler call: `connection` is
// owned by the HttpServer's connection table and goes away once the response is
// written.
struct HttpRequest {
  HttpMessage request;            // the parsed message
  std::string method;             // firstLine before its first blank
  std::string path;               // up to " HTTP/" (query string included)
  std::string host;               // HOST value, "" when absent
  std::string localAddress;       // dotted address of the accepting interface
  std::string localHostPort;      // localAddress + ":2828"
  const HttpConnection* connection = nullptr;  // peer address, port and interface
};

// Splits a request line: the method is the text before the first blank; the
// path runs from the byte after that blank to the first " HTTP/" (or the end
// of the line when there is none). Without a blank both are the whole line
// and "" respectively.
void splitRequestLine(const std::string& firstLine, std::string& method, std::string& path);

// The host check of POST, SUBSCRIBE and UNSUBSCRIBE: HOST names this
// interface exactly, with or without the port. A missing HOST fails.
bool hostMatches(const HttpRequest& request);

// "<interface>-<peer address>:<peer port>: ", the start of every log line
// about one connection.
std::string connectionLogPrefix(const HttpConnection& connection);

}  // namespace upnp
