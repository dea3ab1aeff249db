#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "model/soap/soap.h"
#include "platform/ip_addr.h"

namespace upnp {

// One validated input argument of an action call.
struct ActionInput {
  std::string text;     // the value as sent
  uint32_t number = 0;  // its value when the related variable is a UI4 or UI2
};

// What an action handler receives and fills.
struct ActionRequest {
  IPAddr requester;                  // the control point that posted the call
  IPAddr lanAddress;                 // the address of the interface that received it
  uint32_t lanPrefix = 32;           // prefix length of that interface's subnet
  std::vector<ActionInput> inputs;   // validated values, in inArguments order
  std::vector<std::string> outputs;  // the handler appends, in outArguments order
};

// Returns UpnpError::None on success; on an error `outputs` is ignored.
using ActionHandler = std::function<UpnpError(ActionRequest&)>;

// One action of a service. The variable and argument vectors run in parallel:
// inVariables[i] is the related state variable of inArguments[i].
struct Action {
  std::vector<std::string> inVariables;
  std::vector<std::string> inArguments;
  std::vector<std::string> outVariables;
  std::vector<std::string> outArguments;
  // Empty: the call is answered from the current values of outVariables.
  ActionHandler handler;
};

}  // namespace upnp
