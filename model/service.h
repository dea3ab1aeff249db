#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "model/pending_notification.h"
#include "model/subscription.h"
#include "model/action.h"
#include "model/state_variable.h"

namespace upnp {

// The behaviour of one published service: its state variables, actions,
// subscriptions and event deliveries in progress. Loop thread only.
//
// Subclasses add fields but no virtual operations; own a subclass object by its
// own type, never delete it through a Service pointer.
class Service;

// Turns variable changes into events. The eventing layer implements it; a
// service is given one when its event URL is published.
class EventSink {
 public:
  virtual ~EventSink() = default;
  // Starts one event for `variable` (empty: the initial event) to
  // `subscription`, which `service` owns.
  virtual void startEvent(Service& service, Subscription& subscription, const std::string& variable) = 0;
};

class Service {
 public:
  explicit Service(std::string serviceType);
  // Destroys the variables, then the subscriptions, then the deliveries.
  ~Service();
  Service(const Service&) = delete;
  Service& operator=(const Service&) = delete;

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
  // starts one event per subscription through eventSink, in SID order.
  void setVariable(const std::string& name, const std::string& value);

  std::string serviceType;  // complete URN, as in the device's ServiceEntry
  EventSink* eventSink = nullptr;  // not owned; null: changes start no events
  std::map<std::string, std::unique_ptr<StateVariable>> stateVariables;
  std::map<std::string, Action> actions;
  std::map<std::string, std::unique_ptr<Subscription>> subscriptions;            // by SID
  std::map<int, std::unique_ptr<PendingNotification>> pendingNotifications;      // by socket
};

}  // namespace upnp
