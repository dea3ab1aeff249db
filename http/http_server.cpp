#include "http/http_server.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <vector>

#include "http/gena/gena.h"
#include "http/get_handler.h"
#include "http/http_request.h"
#include "http/response.h"
#include "http/soap_control.h"
#include "platform/debug_log.h"

namespace upnp {

namespace {

using namespace std::chrono_literals;

constexpr size_t kReadBytes = 4096;
// From accept to a complete request; not restarted by data, so a trickling
// client cannot hold a connection open for longer.
constexpr std::chrono::milliseconds kRequestTimeout = 10s;
constexpr const char kHttpMarker[] = " HTTP/";
constexpr time_t kSendTimeoutSeconds = 2;

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
  snprintf(port, sizeof(port), "%u", static_cast<unsigned>(kHttpPort));
  request.localHostPort = request.localAddress + ":" + port;
  request.connection = &connection;
  return request;
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

HttpServer::~HttpServer() {
  while (!mConnections.empty()) closeConnection(mConnections.begin()->first);
}

void HttpServer::listen(int listenSocket) {
  if (bus::ThinRunner* runner = bus::ThinRunner::current())
    runner->addSocket(listenSocket, bus::ThinRunner::kReadable, [this](int s) { onHttpAccept(s); });
}

void HttpServer::closeConnectionsOf(const ServedInterface& interface) {
  std::vector<int> doomed;
  for (const auto& [fd, connection] : mConnections)
    if (connection->interface == &interface) doomed.push_back(fd);
  for (int fd : doomed) closeConnection(fd);
}

void HttpServer::onHttpAccept(int listenSocket) {
  sockaddr_in peer{};
  socklen_t length = sizeof(peer);
  const int socket = accept(listenSocket, reinterpret_cast<sockaddr*>(&peer), &length);
  if (socket < 0) {
    bus::debugLog() << "accept failed";
    return;
  }
  const ServedInterface* interface = mHost.interfaceOf(listenSocket);
  if (interface == nullptr) {
    bus::debugLog() << "http accept on unknown socket";
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
  connection->interface = interface;
  HttpConnection& record = *connection;
  // A descriptor number is only reused after close, and every close of an
  // accepted socket erases its entry first, so the slot is free here.
  mConnections[socket] = std::move(connection);
  if (bus::ThinRunner* runner = bus::ThinRunner::current())
    runner->addSocket(socket, bus::ThinRunner::kReadable, [this](int fd) { onHttpReadable(fd); });
  record.timer.start(kRequestTimeout, [this, socket] { onHttpTimeout(socket); });
}

void HttpServer::onHttpReadable(int socket) {
  auto it = mConnections.find(socket);
  if (it == mConnections.end()) {
    bus::debugLog() << "http request on unknown socket";
    return;
  }
  HttpConnection& connection = *it->second;
  char chunk[kReadBytes];
  const ssize_t count = read(socket, chunk, sizeof(chunk));
  if (count <= 0) {
    closeConnection(socket);
    return;
  }
  connection.buffer.append(chunk, static_cast<size_t>(count));
  // The parser keeps no state: the whole buffer is read again after every
  // chunk, so a request split anywhere parses the same as one in one piece.
  HttpMessage message = parseHttpMessage(connection.buffer);
  if (!message.complete) return;

  const HttpRequest request = makeRequest(std::move(message), connection);
  const HttpMessage response = dispatch(request);
  // Handlers run to completion on this thread, but a handler that talks to
  // the bus could in principle end up tearing the connection down; never
  // write to a descriptor that is no longer ours.
  if (mConnections.count(socket) == 0) return;
  respond(socket, response);
}

void HttpServer::onHttpTimeout(int socket) {
  unregisterSocket(socket);
  close(socket);
  // Erasing destroys the record and with it the timer whose callback this
  // is; the platform timer allows that.
  mConnections.erase(socket);
  bus::debugLog() << "http request timeout";
}

void HttpServer::closeConnection(int socket) {
  auto it = mConnections.find(socket);
  // Never close a descriptor that is not one of our connections.
  if (it == mConnections.end()) return;
  unregisterSocket(socket);
  // Erase before close: once closed, the number can be handed out again.
  mConnections.erase(it);
  close(socket);
}

HttpMessage HttpServer::dispatchPost(const HttpRequest& request) {
  Service* service = mHost.controlService(request.path);
  if (service == nullptr) return statusResponse(404);
  if (!hostMatches(request)) {
    bus::debugLog() << connectionLogPrefix(*request.connection) << "POST: host mismatch '" << request.host
                    << "'";
    return statusResponse(400);
  }
  return handlePost(request, *service);
}

// Methods compare exactly: "get" and "HEAD" are not served.
HttpMessage HttpServer::dispatch(const HttpRequest& request) {
  if (request.method == "GET") return handleGet(mHost, request);
  if (request.method == "SUBSCRIBE") return handleSubscribe(mHost, request);
  if (request.method == "UNSUBSCRIBE") return handleUnsubscribe(mHost, request);
  if (request.method == "POST") return dispatchPost(request);
  bus::debugLog() << connectionLogPrefix(*request.connection) << "unknown http action: '" << request.method
                  << "'";
  return statusResponse(501);
}

// Writes the response with a single write and ends the connection. The
// accepted socket is blocking, so a short write means the peer is gone or
// the response did not fit; either way there is no second try.
void HttpServer::respond(int socket, const HttpMessage& response) {
  const std::string text = toText(response);
  const ssize_t written = write(socket, text.data(), text.size());
  if (written < 0 || static_cast<size_t>(written) < text.size()) bus::debugLog() << "write error";
  closeConnection(socket);
}

}  // namespace upnp
