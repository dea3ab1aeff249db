#include "model/service.h"

#include <utility>

namespace upnp {

Service::Service(std::string serviceType) : serviceType(std::move(serviceType)) {}

Service::~Service() {
  // Release order is part of the contract: the variables (whose providers are
  // bound to this object) first, then the subscriptions, then the deliveries in
  // flight. Member destruction alone would run the other way round.
  stateVariables.clear();
  subscriptions.clear();
  pendingNotifications.clear();
}

void Service::addVariable(const std::string& name, std::unique_ptr<StateVariable> variable) {
  stateVariables[name] = std::move(variable);
}

void Service::addAction(const std::string& name, std::vector<std::string> inVariables,
                        std::vector<std::string> inArguments, std::vector<std::string> outVariables,
                        std::vector<std::string> outArguments, ActionHandler handler) {
  actions[name] = Action{std::move(inVariables), std::move(inArguments), std::move(outVariables),
                         std::move(outArguments), std::move(handler)};
}

void Service::addQueryAction(const std::string& name, std::vector<std::string> outVariables,
                             std::vector<std::string> outArguments) {
  if (outArguments.empty()) {
    for (const std::string& variable : outVariables) outArguments.push_back("New" + variable);
  }
  addAction(name, {}, {}, std::move(outVariables), std::move(outArguments), nullptr);
}

void Service::setVariable(const std::string& name, const std::string& value) {
  auto found = stateVariables.find(name);
  if (found == stateVariables.end()) return;
  StateVariable& variable = *found->second;
  std::string old;
  (void)variable.getValue(old);
  variable.setValue(value);
  if (!variable.sendEvents || old == value || eventSink == nullptr) return;
  // The sink may touch the subscription table; walk a snapshot of the SIDs
  // and look each one up again.
  std::vector<std::string> sids;
  sids.reserve(subscriptions.size());
  for (const auto& entry : subscriptions) sids.push_back(entry.first);
  for (const std::string& sid : sids) {
    auto subscription = subscriptions.find(sid);
    if (subscription != subscriptions.end()) eventSink->startEvent(*this, *subscription->second, name);
  }
}

}  // namespace upnp
