#include "model/service.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace upnp {
namespace {

// Events started through the hook, as "sid:variable".
std::vector<std::string> gEvents;

void recordEvent(Service& service, Subscription& subscription, const std::string& variable) {
  EXPECT_EQ(subscription.service, &service);
  gEvents.push_back(subscription.sid + ":" + variable);
}

class ServiceTest : public testing::Test {
 protected:
  void SetUp() override {
    gEvents.clear();
    Service::setEventStarter(recordEvent);
  }
  void TearDown() override { Service::setEventStarter(nullptr); }

  void subscribe(Service& service, const std::string& sid) {
    auto subscription = std::make_unique<Subscription>();
    subscription->sid = sid;
    subscription->service = &service;
    service.subscriptions[sid] = std::move(subscription);
  }
};

TEST_F(ServiceTest, ProviderIsAskedOnEveryReadUntilAValueIsSet) {
  StateVariable variable(false, VariableKind::UI4);
  std::string out = "untouched";
  EXPECT_FALSE(variable.getValue(out));
  EXPECT_EQ(out, "untouched");
  int calls = 0;
  variable.setProvider([&calls] { return std::to_string(++calls); });
  EXPECT_TRUE(variable.getValue(out));
  EXPECT_EQ(out, "1");
  EXPECT_TRUE(variable.getValue(out));
  EXPECT_EQ(out, "2");
  variable.setValue("");
  EXPECT_TRUE(variable.getValue(out));
  EXPECT_EQ(out, "");
  EXPECT_EQ(calls, 2);
}

TEST_F(ServiceTest, SetVariableEventRules) {
  struct Case {
    const char* what;
    bool sendEvents;
    std::optional<std::string> before;  // none: no value yet
    const char* provided;               // non-null: a provider returning this
    std::string value;
    bool expectEvents;
  } cases[] = {
      {"first value, not empty", true, std::nullopt, nullptr, "x", true},
      {"first value, empty", true, std::nullopt, nullptr, "", false},
      {"same value", true, "x", nullptr, "x", false},
      {"changed value", true, "x", nullptr, "y", true},
      {"changed to empty", true, "x", nullptr, "", true},
      {"not evented, changed", false, "x", nullptr, "y", false},
      {"not evented, first value", false, std::nullopt, nullptr, "y", false},
      {"same as provider", true, std::nullopt, "p", "p", false},
      {"differs from provider", true, std::nullopt, "p", "q", true},
  };
  for (const Case& c : cases) {
    gEvents.clear();
    Service service("urn:schemas-upnp-org:service:Test:1");
    auto variable = std::make_unique<StateVariable>(c.sendEvents, VariableKind::STRING);
    if (c.before) variable->setValue(*c.before);
    if (c.provided) {
      std::string provided = c.provided;
      variable->setProvider([provided] { return provided; });
    }
    service.addVariable("V", std::move(variable));
    subscribe(service, "uuid:b");
    subscribe(service, "uuid:a");
    service.setVariable("V", c.value);
    const std::vector<std::string> expected =
        c.expectEvents ? std::vector<std::string>{"uuid:a:V", "uuid:b:V"} : std::vector<std::string>{};
    EXPECT_EQ(gEvents, expected) << c.what;
    std::string out;
    EXPECT_TRUE(service.stateVariables.at("V")->getValue(out)) << c.what;
    EXPECT_EQ(out, c.value) << c.what;
    EXPECT_FALSE(service.stateVariables.at("V")->provider) << c.what;
  }
}

TEST_F(ServiceTest, UnknownNameOrNoStarterStartsNoEvents) {
  Service service("s");
  service.addVariable("V", std::make_unique<StateVariable>(true, VariableKind::UI4));
  subscribe(service, "uuid:a");
  service.setVariable("Missing", "1");
  EXPECT_EQ(service.stateVariables.size(), 1u);
  Service::setEventStarter(nullptr);
  service.setVariable("V", "5");
  EXPECT_TRUE(gEvents.empty());
  EXPECT_EQ(service.stateVariables.at("V")->value, "5");
}

// The starter may end a subscription (a failing delivery path); the rest are
// still served and nothing dangles.
TEST_F(ServiceTest, StarterMayRemoveSubscriptions) {
  Service service("s");
  Service::setEventStarter([](Service& s, Subscription& sub, const std::string& variable) {
    gEvents.push_back(sub.sid + ":" + variable);
    if (sub.sid == "uuid:a") s.subscriptions.erase("uuid:b");
  });
  service.addVariable("V", std::make_unique<StateVariable>(true, VariableKind::UI4));
  subscribe(service, "uuid:a");
  subscribe(service, "uuid:b");
  subscribe(service, "uuid:c");
  service.setVariable("V", "1");
  EXPECT_EQ(gEvents, (std::vector<std::string>{"uuid:a:V", "uuid:c:V"}));
  EXPECT_EQ(service.subscriptions.size(), 2u);
}

TEST_F(ServiceTest, DefinitionsReplaceEarlierOnes) {
  Service service("s");
  service.addVariable("V", std::make_unique<StateVariable>(true, VariableKind::UI4));
  service.addVariable("V", std::make_unique<StateVariable>(false, VariableKind::BOOLEAN));
  ASSERT_EQ(service.stateVariables.size(), 1u);
  EXPECT_EQ(service.stateVariables.at("V")->kind, VariableKind::BOOLEAN);

  service.addAction("A", {"V"}, {"NewV"}, {}, {}, [](ActionRequest&) { return 1u; });
  service.addAction("A", {}, {}, {"V"}, {"Out"}, nullptr);
  ASSERT_EQ(service.actions.size(), 1u);
  EXPECT_TRUE(service.actions.at("A").inArguments.empty());
  EXPECT_FALSE(service.actions.at("A").handler);
}

TEST_F(ServiceTest, QueryActionNames) {
  Service service("s");
  service.addQueryAction("GetExternalIPAddress", {"ExternalIPAddress"});
  service.addQueryAction("X_GetICSStatistics", {"TotalBytesSent", "X_Uptime"}, {"TotalBytesSent", "Uptime"});
  const Action& implicit = service.actions.at("GetExternalIPAddress");
  EXPECT_EQ(implicit.outVariables, (std::vector<std::string>{"ExternalIPAddress"}));
  EXPECT_EQ(implicit.outArguments, (std::vector<std::string>{"NewExternalIPAddress"}));
  EXPECT_TRUE(implicit.inArguments.empty());
  EXPECT_FALSE(implicit.handler);
  const Action& named = service.actions.at("X_GetICSStatistics");
  EXPECT_EQ(named.outVariables, (std::vector<std::string>{"TotalBytesSent", "X_Uptime"}));
  EXPECT_EQ(named.outArguments, (std::vector<std::string>{"TotalBytesSent", "Uptime"}));
}

// Records into `log` when destroyed, with what the service's maps held then.
// A witness's own map is not reported: its size during clear() is unspecified.
struct Witness {
  std::vector<std::string>* log = nullptr;
  std::string what;
  Service* service = nullptr;
  ~Witness() {
    std::string line = what;
    if (what != "variable") line += " vars=" + std::to_string(service->stateVariables.size());
    if (what != "subscription") line += " subs=" + std::to_string(service->subscriptions.size());
    if (what != "delivery") line += " pending=" + std::to_string(service->pendingNotifications.size());
    log->push_back(line);
  }
};

std::function<void()> holding(std::vector<std::string>* log, const std::string& what, Service* service) {
  auto witness = std::make_shared<Witness>();
  witness->log = log;
  witness->what = what;
  witness->service = service;
  return [witness] {};
}

TEST_F(ServiceTest, DestructionOrderAndDeliveriesReleased) {
  std::vector<std::string> log;
  int fds[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
  {
    Service service("s");
    auto variable = std::make_unique<StateVariable>(true, VariableKind::UI4);
    std::function<void()> keep = holding(&log, "variable", &service);
    variable->setProvider([keep] { return std::string("1"); });
    service.addVariable("V", std::move(variable));
    subscribe(service, "uuid:a");
    service.subscriptions.at("uuid:a")->expiry.start(100, holding(&log, "subscription", &service));
    auto delivery = std::make_unique<PendingNotification>();
    delivery->service = &service;
    delivery->socket = fds[0];
    delivery->timeout.start(3000, holding(&log, "delivery", &service));
    service.pendingNotifications[fds[0]] = std::move(delivery);
    keep = nullptr;
  }
  EXPECT_EQ(log, (std::vector<std::string>{"variable subs=1 pending=1", "subscription vars=0 pending=1",
                                           "delivery vars=0 subs=0"}));
  EXPECT_EQ(fcntl(fds[0], F_GETFD), -1);  // the delivery's socket was closed
  EXPECT_EQ(errno, EBADF);
  close(fds[1]);
}

TEST_F(ServiceTest, DeliveryWithoutSocketReleasesNothing) {
  int fds[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
  { PendingNotification delivery; }
  EXPECT_NE(fcntl(fds[0], F_GETFD), -1);
  close(fds[0]);
  close(fds[1]);
}

}  // namespace
}  // namespace upnp
