#include "http/http_server.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <vector>

#include "http/gena/gena.h"
#include "http/get_handler.h"
#include "http/http_request.h"
#include "http/response.h"
#include "http/soap_control.h"
#include "platform/debug_log.h"
#include "platform/net.h"

namespace upnp {

namespace {

using namespace std::chrono_literals;

constexpr size_t kReadBytes = 4096;
// From accept to the response written; not restarted by data, so a trickling
// or a non-reading client cannot hold a connection open for longer.
constexpr std::chrono::milliseconds kRequestTimeout = 10s;
// How long a listening socket rests when accept runs out of descriptors.
constexpr std::chrono::milliseconds kAcceptPause = 250ms;
// Connections taken per wake-up of a listening socket, so one busy interface
// cannot starve the others.
constexpr int kAcceptBatch = 16;
constexpr const char kHttpMarker[] = " HTTP/";

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

void HttpServer::unlisten(int listenSocket) {
  mPaused.erase(listenSocket);
  unregisterSocket(listenSocket);
}

void HttpServer::closeConnectionsOf(const ServedInterface& interface) {
  std::vector<int> doomed;
  for (const auto& [fd, connection] : mConnections)
    if (connection->interface == &interface) doomed.push_back(fd);
  for (int fd : doomed) closeConnection(fd);
}

// Out of descriptors, the listening socket stays readable and every accept
// fails at once: without a rest the loop would spin and flood the log.
void HttpServer::pauseAccepting(int listenSocket) {
  unregisterSocket(listenSocket);
  auto& timer = mPaused[listenSocket];
  timer = std::make_unique<bus::Timer>();
  // unlisten() drops the pause with its timer, so a socket whose pause ends
  // is still one of ours.
  timer->start(kAcceptPause, [this, listenSocket] {
    mPaused.erase(listenSocket);  // destroys this timer; nothing of it is used below
    listen(listenSocket);
  });
}

void HttpServer::onHttpAccept(int listenSocket) {
  // Everything that is waiting: a burst of clients costs one wake-up.
  for (int accepted = 0; accepted < kAcceptBatch; ++accepted) {
    sockaddr_in peer{};
    socklen_t length = sizeof(peer);
    const int socket =
        accept4(listenSocket, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (socket < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return;
      bus::debugLog() << "accept failed";
      if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) pauseAccepting(listenSocket);
      return;
    }
    const ServedInterface* interface = mHost.interfaceOf(listenSocket);
    if (interface == nullptr) {
      bus::debugLog() << "http accept on unknown socket";
      close(socket);
      return;
    }
    auto connection = std::make_unique<HttpConnection>();
    connection->socket = socket;
    connection->peerAddress = IPAddr(peer.sin_addr.s_addr);
    connection->peerPort = ntohs(peer.sin_port);
    connection->interface = interface;
    HttpConnection& record = *connection;
    // A descriptor number is only reused after close, and every close of an
    // accepted socket erases its entry first, so the slot is free here.
    mConnections[socket] = std::move(connection);
    record.timer.start(kRequestTimeout, [this, socket] { onHttpTimeout(socket); });
    // The request is usually there already: serve it without a trip through
    // the loop, and watch the socket only when more has to come.
    onHttpReadable(socket);
    auto it = mConnections.find(socket);
    if (it != mConnections.end() && it->second.get() == &record && record.output.empty()) {
      if (bus::ThinRunner* runner = bus::ThinRunner::current())
        runner->addSocket(socket, bus::ThinRunner::kReadable, [this](int fd) { onHttpReadable(fd); });
    }
  }
}

bool HttpServer::requestComplete(HttpConnection& connection, HttpMessage& message) {
  if (connection.bodyOffset == HeadScanner::kNotYet) {
    connection.bodyOffset = connection.head.bodyOffset(connection.buffer);
    if (connection.bodyOffset == HeadScanner::kNotYet) return false;
    connection.needed = 0;
  }
  if (connection.buffer.size() < connection.needed) return false;
  message = parseHttpMessage(connection.buffer);
  if (message.complete) return true;
  // The body is still short: parse again once it can be whole. Otherwise the
  // head holds a line the parser never accepts, and only the timer ends it.
  const size_t whole = connection.bodyOffset + bodyLimit(message);
  connection.needed = whole > connection.buffer.size() ? whole : SIZE_MAX;
  return false;
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
  if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
  if (count <= 0) {
    closeConnection(socket);
    return;
  }
  connection.buffer.append(chunk, static_cast<size_t>(count));
  HttpMessage message;
  if (!requestComplete(connection, message)) {
    const bool headTooLong = connection.bodyOffset == HeadScanner::kNotYet
                                 ? connection.buffer.size() > kMaxHeadBytes
                                 : connection.bodyOffset > kMaxHeadBytes + 2;
    if (headTooLong || connection.buffer.size() > kMaxHeadBytes + kMaxBodyBytes + kReadBytes) {
      bus::debugLog() << connectionLogPrefix(connection) << "bad request: head over " << kMaxHeadBytes
                      << " bytes";
      respond(connection, statusResponse(400));
    }
    return;
  }

  const HttpRequest request = makeRequest(std::move(message), connection);
  HttpMessage response = dispatch(request);
  // Handlers run to completion on this thread, but a handler that talks to
  // the bus could in principle end up tearing the connection down; never
  // write to a descriptor that is no longer ours.
  auto still = mConnections.find(socket);
  if (still == mConnections.end() || still->second.get() != &connection) return;
  respond(connection, std::move(response));
}

void HttpServer::onHttpWritable(int socket) {
  auto it = mConnections.find(socket);
  if (it != mConnections.end()) writeOutput(*it->second);
}

void HttpServer::onHttpTimeout(int socket) {
  auto it = mConnections.find(socket);
  // A peer that stopped reading its response is cut off like a short write.
  const bool writing = it != mConnections.end() && !it->second->output.empty();
  unregisterSocket(socket);
  close(socket);
  // Erasing destroys the record and with it the timer whose callback this
  // is; the platform timer allows that.
  mConnections.erase(socket);
  bus::debugLog() << (writing ? "write error" : "http request timeout");
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

// Every response ends the connection, and says so: clients that pool
// connections would otherwise send their next request into a closed socket.
void HttpServer::respond(HttpConnection& connection, HttpMessage response) {
  if (!hasHeader(response, "CONNECTION")) addHeader(response, "CONNECTION", "close");
  connection.output = toText(response);
  connection.written = 0;
  writeOutput(connection);
}

void HttpServer::writeOutput(HttpConnection& connection) {
  const int socket = connection.socket;
  switch (net::sendPending(socket, connection.output, connection.written)) {
    case net::SendResult::WouldBlock:
      // The rest goes out as the peer reads, until the request timer ends it.
      if (bus::ThinRunner* runner = bus::ThinRunner::current())
        runner->addSocket(socket, bus::ThinRunner::kWritable, [this](int fd) { onHttpWritable(fd); });
      return;
    case net::SendResult::Failed:
      bus::debugLog() << "write error";
      break;
    case net::SendResult::Done:
      break;
  }
  closeConnection(socket);
}

}  // namespace upnp
