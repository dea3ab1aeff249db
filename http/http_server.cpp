#include "http/http_server.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <memory>

#include "daemon/gateway.h"
#include "http/gena/gena.h"
#include "http/get_handler.h"
#include "http/http_request.h"
#include "http/response.h"
#include "http/soap_control.h"

namespace upnp {

namespace {

constexpr size_t kReadBytes = 4096;
// 10 seconds from accept to a complete request; not restarted by data, so a
// trickling client cannot hold a connection open for longer.
constexpr uint32_t kRequestTicks = 1000;
constexpr const char kHttpMarker[] = " HTTP/";
constexpr time_t kSendTimeoutSeconds = 2;

void logLine(const std::string& line) { std::cout << line << std::endl; }

void unregisterSocket(int socket) {
  if (bus::ThinRunner* runner = bus::ThinRunner::current()) runner->removeSocket(socket);
}

HttpRequest makeRequest(HttpMessage message, const HttpConnection& connection) {
  HttpRequest request;
  splitRequestLine(message.firstLine, request.method, request.path);
  request.host = header(message, "HOST");
  request.request = std::move(message);
  request.localAddress = connection.interface->address.toString();
  char port[16];
  snprintf(port, sizeof(port), "%u", static_cast<unsigned>(Gateway::kHttpPort));
  request.localHostPort = request.localAddress + ":" + port;
  request.connection = &connection;
  return request;
}

HttpMessage dispatchPost(Gateway& gateway, const HttpRequest& request) {
  auto it = gateway.controlUrlTable.find(request.path);
  if (it == gateway.controlUrlTable.end()) return statusResponse(404);
  if (!hostMatches(request)) {
    logLine(connectionLogPrefix(*request.connection) + "POST: host mismatch '" + request.host + "'");
    return statusResponse(400);
  }
  return handlePost(request, *it->second);
}

// Methods compare exactly: "get" and "HEAD" are not served.
HttpMessage dispatch(Gateway& gateway, const HttpRequest& request) {
  if (request.method == "GET") return handleGet(gateway, request);
  if (request.method == "SUBSCRIBE") return handleSubscribe(gateway, request);
  if (request.method == "UNSUBSCRIBE") return handleUnsubscribe(gateway, request);
  if (request.method == "POST") return dispatchPost(gateway, request);
  logLine(connectionLogPrefix(*request.connection) + "unknown http action: '" + request.method + "'");
  return statusResponse(501);
}

// Writes the response with a single write and ends the connection. The
// accepted socket is blocking, so a short write means the peer is gone or
// the response did not fit; either way there is no second try.
void respond(Gateway& gateway, int socket, const HttpMessage& response) {
  const std::string text = toText(response);
  const ssize_t written = write(socket, text.data(), text.size());
  if (written < 0 || static_cast<size_t>(written) < text.size()) logLine("write error");
  closeConnection(gateway, socket);
}

}  // namespace

void splitRequestLine(const std::string& firstLine, std::string& method, std::string& path) {
  const size_t blank = firstLine.find(' ');
  if (blank == std::string::npos) {
    method = firstLine;
    path.clear();
    return;
  }
  method = firstLine.substr(0, blank);
  const size_t marker = firstLine.find(kHttpMarker, blank + 1);
  path = marker == std::string::npos ? firstLine.substr(blank + 1)
                                     : firstLine.substr(blank + 1, marker - blank - 1);
}

bool hostMatches(const HttpRequest& request) {
  return request.host == request.localAddress || request.host == request.localHostPort;
}

std::string connectionLogPrefix(const HttpConnection& connection) {
  const std::string name = connection.interface != nullptr ? connection.interface->name : "";
  const std::string peer = connection.peerAddress.toString();
  char port[16];
  snprintf(port, sizeof(port), "%u", static_cast<unsigned>(connection.peerPort));
  return name + "-" + peer + ":" + port + ": ";
}

void onHttpAccept(Gateway& gateway, int listenSocket) {
  sockaddr_in peer{};
  socklen_t length = sizeof(peer);
  const int socket = accept(listenSocket, reinterpret_cast<sockaddr*>(&peer), &length);
  if (socket < 0) {
    logLine("accept failed");
    return;
  }
  InterfaceState* state = gateway.findByHttpSocket(listenSocket);
  if (state == nullptr) {
    logLine("http accept on unknown socket");
    close(socket);
    return;
  }
  // The socket stays blocking for the one write of the response, but a client
  // that never reads must not be able to stall the whole loop with it.
  const timeval sendTimeout{kSendTimeoutSeconds, 0};
  setsockopt(socket, SOL_SOCKET, SO_SNDTIMEO, &sendTimeout, sizeof(sendTimeout));
  auto connection = std::make_unique<HttpConnection>();
  connection->socket = socket;
  connection->peerAddress = IPAddr(peer.sin_addr.s_addr);
  connection->peerPort = ntohs(peer.sin_port);
  connection->interface = state;
  HttpConnection& record = *connection;
  // A descriptor number is only reused after close, and every close of an
  // accepted socket erases its entry first, so the slot is free here.
  gateway.connections[socket] = std::move(connection);
  if (bus::ThinRunner* runner = bus::ThinRunner::current())
    runner->addSocket(socket, bus::ThinRunner::kReadable,
                      [&gateway](int fd) { onHttpReadable(gateway, fd); });
  record.timer.start(kRequestTicks, [&gateway, socket] { onHttpTimeout(gateway, socket); });
}

void onHttpReadable(Gateway& gateway, int socket) {
  auto it = gateway.connections.find(socket);
  if (it == gateway.connections.end()) {
    logLine("http request on unknown socket");
    return;
  }
  HttpConnection& connection = *it->second;
  char chunk[kReadBytes];
  const ssize_t count = read(socket, chunk, sizeof(chunk));
  if (count <= 0) {
    closeConnection(gateway, socket);
    return;
  }
  connection.buffer.append(chunk, static_cast<size_t>(count));
  // The parser keeps no state: the whole buffer is read again after every
  // chunk, so a request split anywhere parses the same as one in one piece.
  HttpMessage message = parseHttpMessage(connection.buffer);
  if (!message.complete) return;

  const HttpRequest request = makeRequest(std::move(message), connection);
  const HttpMessage response = dispatch(gateway, request);
  // Handlers run to completion on this thread, but a handler that talks to
  // the bus could in principle end up tearing the connection down; never
  // write to a descriptor that is no longer ours.
  if (gateway.connections.count(socket) == 0) return;
  respond(gateway, socket, response);
}

void onHttpTimeout(Gateway& gateway, int socket) {
  unregisterSocket(socket);
  close(socket);
  // Erasing destroys the record and with it the timer whose callback this
  // is; the platform timer allows that.
  gateway.connections.erase(socket);
  logLine("http request timeout");
}

void closeConnection(Gateway& gateway, int socket) {
  auto it = gateway.connections.find(socket);
  // Never close a descriptor that is not one of our connections.
  if (it == gateway.connections.end()) return;
  unregisterSocket(socket);
  // Erase before close: once closed, the number can be handed out again.
  gateway.connections.erase(it);
  close(socket);
}

}  // namespace upnp
