#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/ip_addr.h"

namespace upnp {

// What an action handler receives and fills.
struct ActionRequest {
  IPAddr requester;                  // the control point that posted the call
  std::vector<std::string> inputs;   // validated values, in inArguments order
  std::vector<std::string> outputs;  // the handler appends, in outArguments order
};

// Returns 0 on success or a UPnP error code; on an error `outputs` is ignored.
using ActionHandler = std::function<uint32_t(ActionRequest&)>;

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
