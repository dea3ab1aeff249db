#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "http/http_host.h"
#include "http/http_message.h"
#include "platform/ip_addr.h"
#include "platform/thin_runner.h"

namespace upnp {

struct HttpRequest;

// The TCP port of the HTTP server on every internal interface.
inline constexpr uint16_t kHttpPort = 2828;

// One accepted HTTP connection; owned by the server's connection table.
struct HttpConnection {
  int socket = -1;
  IPAddr peerAddress;
  uint32_t peerPort = 0;                      // host order
  const ServedInterface* interface = nullptr;   // the internal interface that accepted it
  std::string buffer;                         // every byte received so far
  bus::Timer timer;                           // request timer; destroying the record cancels it
};

// The daemon's HTTP server: one request and one response per connection.
// Accepts on the listening sockets it is given, gathers and parses each
// request, dispatches it by method (GET, POST, SUBSCRIBE, UNSUBSCRIBE), writes
// the response and closes. What it serves comes from its HttpHost. Loop
// thread only.
class HttpServer {
 public:
  // `host` must outlive the server.
  explicit HttpServer(HttpHost& host) : mHost(host) {}
  ~HttpServer();
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  // Accepts connections on `listenSocket` (owned by the caller, which
  // unregisters it when closing it) from now on.
  void listen(int listenSocket);
  // Ends every open connection accepted by `interface`, before the record
  // that it refers to goes away.
  void closeConnectionsOf(const ServedInterface& interface);
  // Unregisters, forgets and closes a connection of the table; a socket that
  // is not in the table is left alone.
  void closeConnection(int socket);

  size_t connectionCount() const { return mConnections.size(); }

 private:
  void onHttpAccept(int listenSocket);
  void onHttpReadable(int socket);
  void onHttpTimeout(int socket);
  HttpMessage dispatch(const HttpRequest& request);
  HttpMessage dispatchPost(const HttpRequest& request);
  void respond(int socket, const HttpMessage& response);

  HttpHost& mHost;
  std::map<int, std::unique_ptr<HttpConnection>> mConnections;  // by socket
};

}  // namespace upnp
