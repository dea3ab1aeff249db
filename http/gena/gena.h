#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "http/http_host.h"
#include "http/http_message.h"
#include "http/http_request.h"
#include "model/service.h"
#include "platform/ip_addr.h"

namespace upnp {


// ---- Subscriptions (subscriptions.cpp) ----------------------------------

// SUBSCRIBE and UNSUBSCRIBE on an event URL: looks the path up with the
// host's eventService, applies the host check and returns the response
// to write. A SUBSCRIBE naming its callback by host name waits for the
// router's resolver (up to its time-out) before it returns. A new
// subscription's initial event is started before the response is returned.
// Loop thread only.
HttpMessage handleSubscribe(HttpHost& host, const HttpRequest& request);
HttpMessage handleUnsubscribe(HttpHost& host, const HttpRequest& request);

// Expiry timer callback of `subscription`: logs the expiry and removes the
// subscription from its service when it is still there (which frees it).
void subscriptionTimeout(Subscription& subscription);

// Cancels the expiry timer of a subscription that is already out of its
// service's map, and frees it.
void destroySubscription(std::unique_ptr<Subscription> subscription);

// Destroys every subscription of `service`, silently (no log lines, no events).
// Deliveries in flight for them end when they find their subscription gone.
void dropSubscriptions(Service& service);

// The lifetime a TIMEOUT header asks for: "Second-" followed by "infinite"
// (UINT32_MAX) or by a number read as atoi reads it, taken as unsigned;
// anything else asks for 0.
uint32_t requestedLifetime(const std::string& timeout);
// The lifetime granted for a request: 0 gets 1800; anything else is kept
// within 1800..86400 seconds.
uint32_t grantedLifetime(uint32_t requested);

// A CALLBACK header split up. The host is the text between "http://" and the
// port or path, not yet resolved.
struct CallbackUrl {
  std::string host;
  uint16_t port = 80;
  std::string path;  // begins with "/"
};
// Parses the first URL of a CALLBACK value ("<http://host[:port]/path>...").
// nullopt when the value is not in angle brackets, is not "http://" or has no
// path. Any byte sequence is safe.
std::optional<CallbackUrl> parseCallback(const std::string& value);

// ---- Event delivery (notification.cpp) -----------------------------------

// Events of one subscription that may wait behind its delivery in flight;
// beyond that the oldest is dropped (and logged).
inline constexpr size_t kMaxQueuedEvents = 16;

// The longest CALLBACK header a SUBSCRIBE may carry.
inline constexpr size_t kMaxCallbackBytes = 512;

// How long a delivery may take from connect to reply.
inline constexpr std::chrono::milliseconds kNotifyTimeout = std::chrono::seconds(30);

// Opens a non-blocking connection to the subscription's callback and
// registers a delivery of `variable`; while the subscription has a delivery
// in flight the event is queued behind it instead (at most kMaxQueuedEvents) (empty: the initial event with every
// evented variable that has a value) in service.pendingNotifications. The
// value sent is the one the variable holds when the connection becomes
// writable. Failures before registration are logged and drop the event.
void startNotification(Service& service, Subscription& subscription, const std::string& variable);

// The event sink of every published service: each event is one delivery.
class EventNotifier : public EventSink {
 public:
  void startEvent(Service& service, Subscription& subscription, const std::string& variable) override {
    startNotification(service, subscription, variable);
  }
};

// Runner callbacks of a delivery's socket: the connection became writable
// (write the NOTIFY request), the reply became readable (read it, end the
// delivery). `delivery` is owned by its service's map; its destruction
// unregisters both callbacks.
void onNotifyWritable(PendingNotification& delivery, int socket);
void onNotifyReply(PendingNotification& delivery, int socket);

// Logs "notify timeout" (after "write failed" when the request was not all
// written), removes `delivery` from its service's map and frees it (socket
// unregistered and closed, time-out cancelled), then starts the next queued
// event of its subscription. `delivery` is invalid afterwards. Also the
// delivery's time-out callback.
void endNotification(PendingNotification& delivery);

}  // namespace upnp
