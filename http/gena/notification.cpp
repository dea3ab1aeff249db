// Event delivery: one NOTIFY request over a fresh TCP connection per event,
// driven by the loop's runner so that no subscriber can stall the daemon.

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "http/gena/gena.h"
#include "http/http_message.h"
#include "model/service.h"
#include "model/xml/xml_element.h"
#include "platform/debug_log.h"
#include "platform/net.h"
#include "platform/thin_runner.h"

namespace upnp {

namespace {

constexpr size_t kReplyBytes = 4096;
// The request is written on a blocking socket; a subscriber that keeps its
// receive window shut could otherwise hold the loop for as long as it likes.
constexpr time_t kSendTimeoutSeconds = 1;

void logLine(const std::string& line) { bus::debugLog() << line; }

std::string systemError() { return std::strerror(errno); }

bus::ThinRunner* runner() { return bus::ThinRunner::current(); }

void addProperty(xml::XmlElement& set, const std::string& name, const std::string& value) {
  xml::XmlElement property("e:property", "");
  property.addChild(name, value);
  set.appendChild(property);
  logLine("notify: " + name + " = '" + value + "'");
}

// The property set for `variable` (empty: the initial event), or false after
// logging why there is none.
bool buildPropertySet(const Service& service, const std::string& variable, xml::XmlElement& set) {
  set = xml::XmlElement("e:propertyset", "");
  set.addAttribute("xmlns:e", "urn:schemas-upnp-org:event-1-0");
  std::string value;
  if (variable.empty()) {
    // Variables without a value are left out, so an initial event may carry
    // no property at all; it still tells the subscriber its SID works.
    for (const auto& [name, state] : service.stateVariables)
      if (state->sendEvents && state->getValue(value)) addProperty(set, name, value);
    return true;
  }
  auto it = service.stateVariables.find(variable);
  if (it == service.stateVariables.end()) {
    logLine("unknown variable");
    return false;
  }
  if (!it->second->getValue(value)) {
    logLine("variable has no value");
    return false;
  }
  addProperty(set, variable, value);
  return true;
}

HttpMessage notifyRequest(const Subscription& subscription, const std::string& body) {
  HttpMessage request;
  request.firstLine = "NOTIFY " + subscription.callbackPath + " HTTP/1.1";
  addHeader(request, "HOST",
            subscription.callbackAddress.toString() + ":" + std::to_string(subscription.callbackPort));
  addHeader(request, "CONTENT-TYPE", "text/xml");
  addHeader(request, "CONTENT-LENGTH", std::to_string(body.size()));
  addHeader(request, "NT", "upnp:event");
  addHeader(request, "NTS", "upnp:propchange");
  addHeader(request, "SID", subscription.sid);
  addHeader(request, "SEQ", std::to_string(subscription.seq));
  request.body = body;
  return request;
}

// SEQ 0 belongs to the initial event alone: after the wrap it goes on at 1.
void advanceSeq(Subscription& subscription) {
  ++subscription.seq;
  if (subscription.seq == 0) subscription.seq = 1;
}

// Puts the socket back in blocking mode and writes `text` in one call.
bool writeRequest(PendingNotification& delivery, int socket, const std::string& text) {
  if (fcntl(socket, F_SETFL, 0) < 0) {
    logLine("fcntl 0: " + systemError());
    endNotification(delivery);
    return false;
  }
  // MSG_NOSIGNAL: a subscriber that reset the connection costs this delivery,
  // not the process.
  const ssize_t written = send(socket, text.data(), text.size(), MSG_NOSIGNAL);
  if (written < 0 || static_cast<size_t>(written) < text.size()) {
    logLine("write failed");
    endNotification(delivery);
    return false;
  }
  return true;
}

}  // namespace

void startNotification(Service& service, Subscription& subscription, const std::string& variable) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) {
    logLine("tcp socket: " + systemError());
    return;
  }
  if (fcntl(fd, F_SETFL, O_NONBLOCK) < 0) {
    logLine("fcntl O_NONBLOCK: " + systemError());
    close(fd);
    return;
  }
  // Bounds the one blocking write of the delivery (see kSendTimeoutSeconds).
  // Without it the delivery still works, only less well guarded.
  timeval sendTimeout{kSendTimeoutSeconds, 0};
  (void)setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &sendTimeout, sizeof(sendTimeout));
  const sockaddr_in address = net::socketAddress(subscription.callbackAddress, subscription.callbackPort);
  if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) < 0 && errno != EINPROGRESS) {
    logLine("tcp connect: " + systemError());
    close(fd);
    return;
  }

  auto delivery = std::make_unique<PendingNotification>();
  delivery->service = &service;
  delivery->socket = fd;
  delivery->sid = subscription.sid;
  delivery->variable = variable;
  PendingNotification* record = delivery.get();
  auto& slot = service.pendingNotifications[fd];
  // A stale entry under this number cannot own it any more (the kernel just
  // handed the number out again); it must not close our new socket.
  if (slot) slot->socket = -1;
  slot = std::move(delivery);
  if (bus::ThinRunner* loop = runner())
    loop->addSocket(fd, bus::ThinRunner::kWritable, [record](int s) { onNotifyWritable(*record, s); });
  record->timeout.start(kNotifyTimeout, [record] { endNotification(*record); });
}

void onNotifyWritable(PendingNotification& delivery, int socket) {
  if (bus::ThinRunner* loop = runner()) loop->removeSocket(socket);
  Service& service = *delivery.service;
  auto pending = service.pendingNotifications.find(socket);
  if (pending == service.pendingNotifications.end() || pending->second.get() != &delivery) return;
  auto found = service.subscriptions.find(delivery.sid);
  if (found == service.subscriptions.end()) {
    // Unsubscribed or expired while the connection was being made.
    endNotification(delivery);
    return;
  }
  Subscription& subscription = *found->second;
  xml::XmlElement set;
  if (!buildPropertySet(service, delivery.variable, set)) {
    endNotification(delivery);
    return;
  }
  const HttpMessage request = notifyRequest(subscription, xml::toXml(set));
  // Counted as sent from here on, even when the write below fails: the
  // subscriber sees the gap and knows it missed an event.
  advanceSeq(subscription);
  if (!writeRequest(delivery, socket, toText(request))) return;
  if (bus::ThinRunner* loop = runner())
    loop->addSocket(socket, bus::ThinRunner::kReadable, [record = &delivery](int s) { onNotifyReply(*record, s); });
}

void onNotifyReply(PendingNotification& delivery, int socket) {
  char buffer[kReplyBytes];
  // MSG_DONTWAIT: the socket is blocking since the write, and a spurious
  // wake-up must not park the loop on a silent subscriber.
  const ssize_t count = recv(socket, buffer, sizeof(buffer), MSG_DONTWAIT);
  if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
  if (count <= 0) {
    logLine("notify reply read failed");
    // A closed or reset socket stays readable for ever; stop watching it and
    // leave the end to the time-out.
    if (bus::ThinRunner* loop = runner()) loop->removeSocket(socket);
    return;
  }
  const HttpMessage reply = parseHttpMessage(std::string_view(buffer, static_cast<size_t>(count)));
  if (reply.firstLine.size() < 12 || reply.firstLine.compare(9, 3, "200") != 0)
    logLine("bad notify reply: " + reply.firstLine);
  Service& service = *delivery.service;
  auto it = service.pendingNotifications.find(socket);
  if (it != service.pendingNotifications.end() && it->second.get() == &delivery)
    service.pendingNotifications.erase(it);
}

void endNotification(PendingNotification& delivery) {
  logLine("notify timeout");
  Service& service = *delivery.service;
  auto it = service.pendingNotifications.find(delivery.socket);
  // Erasing frees the record: its destructor unregisters and closes the
  // socket and cancels the time-out, which may be the timer running this.
  if (it != service.pendingNotifications.end() && it->second.get() == &delivery)
    service.pendingNotifications.erase(it);
}

}  // namespace upnp
