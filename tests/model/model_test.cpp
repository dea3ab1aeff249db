// Services (events through the sink, release order) and the device
// tree (SSDP targets, copies, service entries).

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <tuple>

#include "model/device.h"
#include "model/service.h"

namespace upnp {
namespace {

using Strings = std::vector<std::string>;

// Records events as "sid:variable"; the event for uuid:a removes `dropWhich`.
struct RecordingSink : EventSink {
  void startEvent(Service& service, Subscription& subscription, const std::string& variable) override {
    EXPECT_EQ(&service, subscription.service);
    events.push_back(subscription.sid + ":" + variable);
    if (subscription.sid == "uuid:a") service.subscriptions.erase(dropWhich);
  }
  Strings events;
  std::string dropWhich;
};

void subscribe(Service& service, const std::string& sid) {
  (service.subscriptions[sid] = std::make_unique<Subscription>())->sid = sid;
  service.subscriptions[sid]->service = &service;
}

TEST(ServiceTest, SetVariableStartsOneEventPerSubscriptionOnChangeOnly) {
  // sendEvents, value before and provider's value (null: none), value set, whether it is an event
  const std::tuple<bool, const char*, const char*, std::string, bool> cases[] = {
      {true, nullptr, nullptr, "x", true}, {true, nullptr, nullptr, "", false}, {true, "x", nullptr, "x", false},
      {true, "x", nullptr, "y", true},     {true, "x", nullptr, "", true},      {false, "x", nullptr, "y", false},
      {true, nullptr, "p", "p", false},    {true, nullptr, "p", "q", true},
  };
  for (const auto& [sendEvents, before, provided, value, events] : cases) {
    SCOPED_TRACE(value);
    RecordingSink sink;
    Service service("urn:x");
    service.eventSink = &sink;
    auto variable = std::make_unique<StateVariable>(sendEvents, VariableKind::STRING);
    if (before) variable->setValue(before);
    if (provided) variable->setProvider([p = std::string(provided)] { return p; });
    service.addVariable("V", std::move(variable));
    for (const char* sid : {"uuid:c", "uuid:b"}) subscribe(service, sid);
    service.setVariable("V", value);
    EXPECT_EQ(sink.events, (events ? Strings{"uuid:b:V", "uuid:c:V"} : Strings{}));
    std::string out;
    EXPECT_TRUE(service.stateVariables.at("V")->getValue(out) && out == value && !service.stateVariables.at("V")->provider);
  }
  // A sink may drop subscriptions.
  Service service("urn:x");
  service.addVariable("V", std::make_unique<StateVariable>(true, VariableKind::UI4));
  for (const char* sid : {"uuid:a", "uuid:b", "uuid:c"}) subscribe(service, sid);
  RecordingSink sink;
  sink.dropWhich = "uuid:b";
  service.eventSink = &sink;
  service.setVariable("Missing", "1");
  service.setVariable("V", "6");
  EXPECT_TRUE(sink.events == (Strings{"uuid:a:V", "uuid:c:V"}) && service.stateVariables.size() == 1u);
}

// Logs, when destroyed, what the service's other maps still held (a map's
// own size is unspecified while it is being cleared).
struct Witness {
  Strings* log;
  std::string what;
  Service* service;
  ~Witness() {
    log->push_back(what + (what == "variable" ? "" : " vars=" + std::to_string(service->stateVariables.size())) +
                   (what == "subscription" ? "" : " subs=" + std::to_string(service->subscriptions.size())) +
                   (what == "delivery" ? "" : " pending=" + std::to_string(service->pendingNotifications.size())));
  }
};

TEST(ServiceTest, ReleasesVariablesThenSubscriptionsThenDeliveries) {
  Strings log;
  int fds[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
  {  // held by each map's timer or provider
    Service service("urn:x");
    auto held = [&](const char* what) {
      return [witness = std::shared_ptr<Witness>(new Witness{&log, what, &service})] { return std::string(); };
    };
    service.addVariable("V", std::make_unique<StateVariable>(true, VariableKind::UI4));
    service.stateVariables.at("V")->setProvider(held("variable"));
    subscribe(service, "uuid:a");
    service.subscriptions.at("uuid:a")->expiry.start(100, held("subscription"));
    auto& delivery = service.pendingNotifications[fds[0]] = std::make_unique<PendingNotification>();
    delivery->service = &service;
    delivery->socket = fds[0];
    delivery->timeout.start(100, held("delivery"));
  }
  EXPECT_EQ(log, (Strings{"variable subs=1 pending=1", "subscription vars=0 pending=1", "delivery vars=0 subs=0"}));
  EXPECT_EQ(fcntl(fds[0], F_GETFD), -1);  // the delivery closed its socket
  close(fds[1]);
}

Strings targetsOf(const Device& device, SsdpTargets targets = {}) {
  device.collectTargets(targets);
  Strings out;
  for (const auto& [key, usn] : targets) out.push_back(key + " " + usn);
  return out;
}

Device device(const char* type, const char* udn, const char* serviceType) {
  Device d;
  std::tie(d.info.deviceType, d.info.UDN) = std::pair(type, udn);
  if (serviceType) d.services.push_back(ServiceEntry{serviceType, "", "", "", ""});
  return d;
}

TEST(DeviceTest, TargetsDepthFirstWithEqualKeysInOrderOfAddition) {
  RootDevice root;
  static_cast<Device&>(root) = device("r:1", "r", "urn:s:1");
  Device a = device("d:1", "a", "urn:s:1");
  addDeviceCopy(a.embeddedDevices, device("d:1", "b", nullptr));
  addDeviceCopy(root.embeddedDevices, a);
  EXPECT_EQ(targetsOf(root, {{"urn:d:1", "old"}}),  // added to, not cleared
            (Strings{"upnp:rootdevice uuid:r::upnp:rootdevice", "urn:d:1 old", "urn:d:1 uuid:a::urn:d:1",
                     "urn:d:1 uuid:b::urn:d:1", "urn:r:1 uuid:r::urn:r:1", "urn:s:1 uuid:r::urn:s:1",
                     "urn:s:1 uuid:a::urn:s:1", "uuid:a uuid:a", "uuid:b uuid:b", "uuid:r uuid:r"}));
  // A copy is deep and plain: no root target, a "device" element.
  std::vector<Device> list;
  addDeviceCopy(list, root);
  root.embeddedDevices[0].embeddedDevices[0].info.UDN = "changed";
  EXPECT_TRUE(targetsOf(list[0]).size() == 8u && list[0].describe().name == "device");
  for (int i = 0; i < 4; ++i) addDeviceCopy(list, list[0]);  // an element of the growing list
  EXPECT_EQ(list[4].embeddedDevices[0].embeddedDevices[0].info.UDN, "b");
}

}  // namespace
}  // namespace upnp
