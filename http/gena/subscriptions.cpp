// SUBSCRIBE and UNSUBSCRIBE on the event URLs, and the life of subscriptions.

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <utility>

#include "http/gena/gena.h"
#include "http/gena/sid_generator.h"
#include "http/http_server.h"
#include "http/response.h"
#include "model/service.h"
#include "platform/debug_log.h"
#include "platform/looper.h"

namespace upnp {

namespace {

constexpr size_t kMaxSubscriptions = 100;
constexpr uint32_t kMinLifetime = 1800;
constexpr uint32_t kMaxLifetime = 86400;
constexpr uint32_t kResolverCommand = 3;
constexpr uint32_t kResolverFieldHost = 3;
constexpr uint32_t kResolverFieldAddress = 4;
// A fresh SID that collides with a live one would silently replace that
// subscription; a few draws are plenty even from the fallback bytes.
constexpr int kSidDraws = 4;

void logLine(const std::string& line) { bus::debugLog() << line; }

std::string prefixOf(const HttpRequest& request) {
  return request.connection != nullptr ? connectionLogPrefix(*request.connection) : std::string();
}

// glibc's atoi is (int)strtol: out-of-range text clamps to LONG_MIN/MAX and
// then wraps into int. Spelled out so that no input is undefined behaviour.
int atoiLike(const std::string& text) {
  return static_cast<int>(std::strtol(text.c_str(), nullptr, 10));
}

// The common start of both methods: the service behind the path, or null with
// `reply` set to the refusal.
Service* eventService(HttpHost& host, const HttpRequest& request, const char* method, HttpMessage& reply) {
  Service* service = host.eventService(request.path);
  if (service == nullptr) {
    reply = statusResponse(404);
    return nullptr;
  }
  if (!hostMatches(request)) {
    logLine(prefixOf(request) + method + ": host mismatch '" + request.host + "'");
    reply = statusResponse(400);
    return nullptr;
  }
  return service;
}

// A numeric host as it is; anything else through the router's resolver,
// which blocks the loop until it answers. Zero: no address.
IPAddr resolveHost(const std::string& host) {
  if (std::optional<IPAddr> numeric = IPAddr::parse(host)) return *numeric;
  bus::message query;
  query.setU32Array(bus::kFieldDestination, {bus::kAddrResolver});
  query.setString(kResolverFieldHost, host);
  const bus::message reply = bus::request(query, kResolverCommand);
  if (bus::isError(reply)) logLine("resolving failed: " + bus::getError(reply));
  return reply.getBe32(kResolverFieldAddress);
}

std::string newSid(const Service& service) {
  std::string sid = SidGenerator::instance().next();
  for (int draw = 1; draw < kSidDraws && service.subscriptions.count(sid) != 0; ++draw)
    sid = SidGenerator::instance().next();
  return sid;
}

// Steps of a new subscription up to the initial event. Returns null with
// `reply` set when the request is refused.
Subscription* subscribeNew(Service& service, const HttpRequest& request, HttpMessage& reply) {
  reply = statusResponse(412);
  if (header(request.request, "NT") != "upnp:event") return nullptr;
  const std::string callbackText = header(request.request, "CALLBACK");
  if (callbackText.size() > kMaxCallbackBytes) return nullptr;
  const std::optional<CallbackUrl> callback = parseCallback(callbackText);
  if (!callback) return nullptr;
  const IPAddr address = resolveHost(callback->host);
  if (address.isZero()) return nullptr;
  const std::string prefix = prefixOf(request);
  logLine(prefix + "callback addr: " + address.toString() + ", port: " + std::to_string(callback->port) +
          ", path: " + callback->path);
  // Events go to hosts of the LAN the subscription came from, never to a
  // third party elsewhere that a hostile subscriber names.
  const ServedInterface* lan = request.connection != nullptr ? request.connection->interface : nullptr;
  if (lan == nullptr || !lan->onSubnet(address)) {
    logLine(prefix + "callback not on the LAN: " + address.toString());
    return nullptr;
  }
  if (service.subscriptions.size() >= kMaxSubscriptions) {
    reply = statusResponse(500);
    return nullptr;
  }
  // One subscription per control point: the address alone decides, so a
  // control point cannot multiply its events by varying port or path.
  for (const auto& [sid, existing] : service.subscriptions)
    if (existing->callbackAddress == address) return nullptr;

  auto subscription = std::make_unique<Subscription>();
  subscription->sid = newSid(service);
  subscription->callbackAddress = address;
  subscription->callbackPort = callback->port;
  subscription->callbackPath = callback->path;
  subscription->service = &service;
  Subscription& record = *subscription;
  service.subscriptions[record.sid] = std::move(subscription);
  logLine(prefix + "subscribe: " + service.serviceType);
  startNotification(service, record, "");
  return &record;
}

Subscription* renew(Service& service, const HttpRequest& request, HttpMessage& reply) {
  auto it = service.subscriptions.find(header(request.request, "SID"));
  if (it == service.subscriptions.end()) {
    reply = statusResponse(412);
    return nullptr;
  }
  it->second->expiry.cancel();
  logLine(prefixOf(request) + "resubscribe: " + service.serviceType);
  return it->second.get();
}

}  // namespace

uint32_t requestedLifetime(const std::string& timeout) {
  if (timeout.compare(0, 7, "Second-") != 0) return 0;
  const std::string rest = timeout.substr(7);
  if (rest == "infinite") return UINT_MAX;
  return static_cast<uint32_t>(atoiLike(rest));
}

uint32_t grantedLifetime(uint32_t requested) {
  if (requested == 0) return kMinLifetime;
  return std::max(std::min(requested, kMaxLifetime), kMinLifetime);
}

std::optional<CallbackUrl> parseCallback(const std::string& value) {
  if (value.empty() || value.front() != '<' || value.back() != '>') return std::nullopt;
  // Only the first URL of a list counts; the first '<' is the leading one.
  const size_t close = value.find('>');
  const std::string url = value.substr(1, close - 1);
  static constexpr char kScheme[] = "http://";
  constexpr size_t kSchemeLength = sizeof(kScheme) - 1;
  if (url.compare(0, kSchemeLength, kScheme) != 0) return std::nullopt;
  const size_t slash = url.find('/', kSchemeLength);
  if (slash == std::string::npos) return std::nullopt;
  CallbackUrl callback;
  callback.host = url.substr(kSchemeLength, slash - kSchemeLength);
  callback.path = url.substr(slash);
  const size_t colon = callback.host.find(':');
  if (colon != std::string::npos) {
    callback.port = static_cast<uint16_t>(atoiLike(callback.host.substr(colon + 1)));
    callback.host.resize(colon);
  }
  return callback;
}

HttpMessage handleSubscribe(HttpHost& host, const HttpRequest& request) {
  HttpMessage reply;
  Service* service = eventService(host, request, "SUBSCRIBE", reply);
  if (service == nullptr) return reply;
  const uint32_t requested = requestedLifetime(header(request.request, "TIMEOUT"));
  // A SID sent together with NT is ignored: NT alone makes it a new subscription.
  Subscription* subscription = hasHeader(request.request, "NT") ? subscribeNew(*service, request, reply)
                                                                 : renew(*service, request, reply);
  if (subscription == nullptr) return reply;

  const uint32_t granted = grantedLifetime(requested);
  subscription->expiry.start(std::chrono::seconds(granted),
                             [subscription] { subscriptionTimeout(*subscription); });
  reply = statusResponse(200);
  addDateHeader(reply);
  addHeader(reply, "SERVER", serverString());
  addHeader(reply, "SID", subscription->sid);
  char timeout[32];
  snprintf(timeout, sizeof(timeout), "Second-%u", granted);
  addHeader(reply, "TIMEOUT", timeout);
  return reply;
}

HttpMessage handleUnsubscribe(HttpHost& host, const HttpRequest& request) {
  HttpMessage reply;
  Service* service = eventService(host, request, "UNSUBSCRIBE", reply);
  if (service == nullptr) return reply;
  auto it = service->subscriptions.find(header(request.request, "SID"));
  if (it == service->subscriptions.end()) return statusResponse(412);
  logLine(prefixOf(request) + "unsubscribe");
  destroySubscription(std::move(service->subscriptions.extract(it).mapped()));
  return statusResponse(200);
}

void subscriptionTimeout(Subscription& subscription) {
  // Copies: the record goes away below, and this runs inside its own timer.
  const std::string sid = subscription.sid;
  Service* service = subscription.service;
  logLine("subscription timeout: " + sid);
  if (service == nullptr) return;
  auto it = service->subscriptions.find(sid);
  if (it == service->subscriptions.end()) return;
  destroySubscription(std::move(service->subscriptions.extract(it).mapped()));
}

void destroySubscription(std::unique_ptr<Subscription> subscription) {
  if (subscription) subscription->expiry.cancel();
}

void dropSubscriptions(Service& service) {
  while (!service.subscriptions.empty())
    destroySubscription(std::move(service.subscriptions.extract(service.subscriptions.begin()).mapped()));
}

}  // namespace upnp
