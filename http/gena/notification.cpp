// Event delivery: one NOTIFY request over a fresh TCP connection per event,
// driven by the loop's runner so that no subscriber can stall the daemon.

#include <netinet/in.h>
#include <sys/socket.h>
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

// Erases `delivery` from its service's map (which frees it) and starts the
// next queued event of its subscription, if the subscription is still there.
void finishDelivery(PendingNotification& delivery) {
  Service& service = *delivery.service;
  const std::string sid = delivery.sid;
  auto it = service.pendingNotifications.find(delivery.socket);
  if (it != service.pendingNotifications.end() && it->second.get() == &delivery)
    service.pendingNotifications.erase(it);
  auto found = service.subscriptions.find(sid);
  if (found == service.subscriptions.end()) return;
  Subscription& subscription = *found->second;
  subscription.delivering = false;
  // A start that fails at once leaves `delivering` false: go on with the next.
  while (!subscription.delivering && !subscription.queued.empty()) {
    const std::string variable = std::move(subscription.queued.front());
    subscription.queued.pop_front();
    startNotification(service, subscription, variable);
  }
}

// Writes what the socket takes of the request; once all is out, waits for
// the reply. A subscriber that keeps its window shut only costs its own
// delivery, which its time-out ends.
void writeRequest(PendingNotification& delivery, int socket) {
  switch (net::sendPending(socket, delivery.output, delivery.written)) {
    case net::SendResult::WouldBlock:
      return;  // still registered for writing
    case net::SendResult::Failed:
      logLine("write failed");
      endNotification(delivery);
      return;
    case net::SendResult::Done:
      break;
  }
  if (bus::ThinRunner* loop = runner())
    loop->addSocket(socket, bus::ThinRunner::kReadable, [record = &delivery](int s) { onNotifyReply(*record, s); });
}

}  // namespace

void startNotification(Service& service, Subscription& subscription, const std::string& variable) {
  if (subscription.delivering) {
    // One delivery per subscription at a time: events wait in order behind it.
    subscription.queued.push_back(variable);
    if (subscription.queued.size() > kMaxQueuedEvents) {
      logLine("event queue full, dropped: " + subscription.queued.front());
      subscription.queued.pop_front();
    }
    return;
  }
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    logLine("tcp socket: " + systemError());
    return;
  }
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
  subscription.delivering = true;
  if (bus::ThinRunner* loop = runner())
    loop->addSocket(fd, bus::ThinRunner::kWritable, [record](int s) { onNotifyWritable(*record, s); });
  record->timeout.start(kNotifyTimeout, [record] { endNotification(*record); });
}

void onNotifyWritable(PendingNotification& delivery, int socket) {
  Service& service = *delivery.service;
  auto pending = service.pendingNotifications.find(socket);
  if (pending == service.pendingNotifications.end() || pending->second.get() != &delivery) {
    if (bus::ThinRunner* loop = runner()) loop->removeSocket(socket);
    return;
  }
  if (!delivery.output.empty()) {
    writeRequest(delivery, socket);
    return;
  }
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
  delivery.output = toText(notifyRequest(subscription, xml::toXml(set)));
  // Counted as sent from here on, even when the write fails: the subscriber
  // sees the gap and knows it missed an event.
  advanceSeq(subscription);
  writeRequest(delivery, socket);
}

void onNotifyReply(PendingNotification& delivery, int socket) {
  char buffer[kReplyBytes];
  const ssize_t count = recv(socket, buffer, sizeof(buffer), 0);
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
  finishDelivery(delivery);
}

void endNotification(PendingNotification& delivery) {
  // A subscriber that took part of the request and then stopped reading is
  // cut off like a short write.
  if (delivery.written < delivery.output.size()) logLine("write failed");
  logLine("notify timeout");
  // Frees the record: its destructor unregisters and closes the socket and
  // cancels the time-out, which may be the timer running this.
  finishDelivery(delivery);
}

}  // namespace upnp
