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

// The largest request head the server reads; every UPnP client needs far less.
inline constexpr size_t kMaxHeadBytes = 16384;

// One accepted HTTP connection; owned by the server's connection table.
struct HttpConnection {
  int socket = -1;                             // non-blocking
  IPAddr peerAddress;
  uint32_t peerPort = 0;                       // host order
  const ServedInterface* interface = nullptr;  // the internal interface that accepted it
  std::string buffer;                          // every byte of the request received so far
  HeadScanner head;                            // how far the request's head has been scanned
  size_t bodyOffset = HeadScanner::kNotYet;    // where the body starts, once the head is whole
  size_t needed = 0;                           // bytes to wait for before parsing (again)
  std::string output;                          // the response; empty until it is built
  size_t written = 0;                          // bytes of `output` the socket has taken
  bus::Timer timer;                            // request timer; destroying the record cancels it
};

// The daemon's HTTP server: one request and one response per connection.
// Accepts on the listening sockets it is given, gathers and parses each
// request, dispatches it by method (GET, POST, SUBSCRIBE, UNSUBSCRIBE), writes
// the response and closes. What it serves comes from its HttpHost. Loop
// thread only.
//
// No peer can hold the loop: sockets are non-blocking, a response the socket
// does not take at once is written as the peer reads, and the request timer
// (10 s from accept) bounds request and response together. A request head is
// scanned once, never re-read, and may not exceed kMaxHeadBytes. When accept
// runs out of descriptors, the listening socket rests for a short pause.
class HttpServer {
 public:
  // `host` must outlive the server.
  explicit HttpServer(HttpHost& host) : mHost(host) {}
  ~HttpServer();
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  // Accepts connections on `listenSocket` (owned by the caller) from now on.
  void listen(int listenSocket);
  // Stops accepting on `listenSocket`; call it before closing the socket.
  void unlisten(int listenSocket);
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
  void onHttpWritable(int socket);
  void onHttpTimeout(int socket);
  // Parses the request once it can be whole; false while more must come.
  bool requestComplete(HttpConnection& connection, HttpMessage& message);
  HttpMessage dispatch(const HttpRequest& request);
  HttpMessage dispatchPost(const HttpRequest& request);
  void respond(HttpConnection& connection, HttpMessage response);
  // Writes what the socket takes; closes the connection when all is out or
  // the write fails.
  void writeOutput(HttpConnection& connection);
  void pauseAccepting(int listenSocket);

  HttpHost& mHost;
  std::map<int, std::unique_ptr<HttpConnection>> mConnections;  // by socket
  std::map<int, std::unique_ptr<bus::Timer>> mPaused;            // listening sockets at rest
};

}  // namespace upnp
