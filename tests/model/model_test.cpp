// Services (events through the sink, release order) and the device
// tree (SSDP targets, copies, service entries).

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <set>
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
  service.subscriptions[sid] = std::make_unique<Subscription>();
  service.subscriptions[sid]->sid = sid;
  service.subscriptions[sid]->service = &service;
}

TEST(ServiceTest, SetVariableStartsOneEventPerSubscriptionOnChangeOnly) {
  const struct {
    bool sendEvents;
    const char *before, *provided;  // null: no value yet, no provider
    std::string value;
    bool events;
  } cases[] = {
      {true, nullptr, nullptr, "x", true}, {true, nullptr, nullptr, "", false}, {true, "x", nullptr, "x", false},
      {true, "x", nullptr, "y", true},     {true, "x", nullptr, "", true},      {false, "x", nullptr, "y", false},
      {true, nullptr, "p", "p", false},    {true, nullptr, "p", "q", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value);
    RecordingSink sink;
    Service service("urn:x");
    service.eventSink = &sink;
    auto variable = std::make_unique<StateVariable>(c.sendEvents, VariableKind::STRING);
    if (c.before) variable->setValue(c.before);
    if (c.provided) variable->setProvider([p = std::string(c.provided)] { return p; });
    service.addVariable("V", std::move(variable));
    subscribe(service, "uuid:c");
    subscribe(service, "uuid:b");
    service.setVariable("V", c.value);
    EXPECT_EQ(sink.events, (c.events ? Strings{"uuid:b:V", "uuid:c:V"} : Strings{}));
    std::string out;
    EXPECT_TRUE(service.stateVariables.at("V")->getValue(out) && out == c.value && !service.stateVariables.at("V")->provider);
  }
  // Without a sink the value is still kept; a sink may drop subscriptions.
  Service service("urn:x");
  service.addVariable("V", std::make_unique<StateVariable>(true, VariableKind::UI4));
  for (const char* sid : {"uuid:a", "uuid:b", "uuid:c"}) subscribe(service, sid);
  service.setVariable("V", "5");
  EXPECT_EQ(service.stateVariables.at("V")->value, "5");
  RecordingSink sink;
  sink.dropWhich = "uuid:b";
  service.eventSink = &sink;
  service.setVariable("Missing", "1");
  service.setVariable("V", "6");
  EXPECT_EQ(sink.events, (Strings{"uuid:a:V", "uuid:c:V"}));
  EXPECT_EQ(service.stateVariables.size(), 1u);
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
  {
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
  EXPECT_EQ(targetsOf(list[0]).size(), 8u);
  EXPECT_EQ(list[0].describe().name, "device");
  for (int i = 0; i < 4; ++i) addDeviceCopy(list, list[0]);  // an element of the growing list
  EXPECT_EQ(list[4].embeddedDevices[0].embeddedDevices[0].info.UDN, "b");
}

TEST(DeviceTest, ServiceEntryUrlsUseFreshLowercaseTokens) {
  std::srand(7);
  const ServiceEntry entry = makeServiceEntry("microsoft-com", "OSInfo:1", "OSInfo1", "osinfo");
  std::srand(7);
  const std::string control = "/upnp/control/" + randomToken() + "/osinfo";
  EXPECT_EQ(entry.serviceType + " " + entry.serviceId + " " + entry.SCPDURL + " " + entry.controlURL + " " + entry.eventSubURL,
            "urn:schemas-microsoft-com:service:OSInfo:1 urn:microsoft-com:serviceId:OSInfo1 /osinfo.xml " + control +
                " /upnp/event/" + randomToken() + "/osinfo");
  std::string letters;
  for (int i = 0; i < 300; ++i) letters += randomToken();
  EXPECT_EQ(std::set<char>(letters.begin(), letters.end()).size() + letters.size(), 26u + 3000u);
  EXPECT_EQ(letters.find_first_not_of("abcdefghijklmnopqrstuvwxyz"), std::string::npos);
}

}  // namespace
}  // namespace upnp
