#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "http/gena/pending_notification.h"
#include "http/gena/subscription.h"
#include "model/action.h"
#include "model/state_variable.h"

namespace upnp {

// The behaviour of one published service: its state variables, actions,
// subscriptions and event deliveries in progress. Loop thread only.
//
// Subclasses add fields but no virtual operations; own a subclass object by its
// own type, never delete it through a Service pointer.
class Service {
 public:
  // Starts one event for `variable` to `subscription` (owned by `service`).
  using EventStarter = void (*)(Service& service, Subscription& subscription, const std::string& variable);

  explicit Service(std::string serviceType);
  // Destroys the variables, then the subscriptions, then the deliveries.
  ~Service();
  Service(const Service&) = delete;
  Service& operator=(const Service&) = delete;

  // Process-wide hook through which setVariable starts events; null (the
  // default) starts none.
  static void setEventStarter(EventStarter starter);

  // Stores `variable` under `name`, replacing an earlier definition.
  void addVariable(const std::string& name, std::unique_ptr<StateVariable> variable);
  // Stores an action under `name`, replacing an earlier one. The vectors run in
  // parallel pairwise (see Action).
  void addAction(const std::string& name, std::vector<std::string> inVariables,
                 std::vector<std::string> inArguments, std::vector<std::string> outVariables,
                 std::vector<std::string> outArguments, ActionHandler handler);
  // A handler-less action without inputs, answered from `outVariables`. With
  // `outArguments` empty each output is named "New" + its variable's name.
  void addQueryAction(const std::string& name, std::vector<std::string> outVariables,
                      std::vector<std::string> outArguments = {});

  // Sets variable `name` (unknown names are ignored). When the variable sends
  // events and the value changed (a variable without value counts as empty),
  // starts one event per subscription, in SID order.
  void setVariable(const std::string& name, const std::string& value);

  std::string serviceType;  // complete URN, as in the device's ServiceEntry
  std::map<std::string, std::unique_ptr<StateVariable>> stateVariables;
  std::map<std::string, Action> actions;
  std::map<std::string, std::unique_ptr<Subscription>> subscriptions;            // by SID
  std::map<int, std::unique_ptr<PendingNotification>> pendingNotifications;      // by socket
};

}  // namespace upnp
