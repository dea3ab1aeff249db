#pragma once

#include <string>

#include "platform/thin_runner.h"

namespace upnp {

class Service;

// One event delivery in progress, owned by its service's
// `pendingNotifications` map under its socket. Not copyable (owns the socket).
struct PendingNotification {
  // Releases the delivery silently: unregisters the socket from the thread's
  // runner (when there is one), closes it and cancels the time-out.
  ~PendingNotification();

  Service* service = nullptr;  // the owning service
  int socket = -1;             // the delivery's TCP socket; -1 when none
  std::string sid;             // the subscription, looked up again when writing
  std::string variable;        // the one variable to send; empty: initial event
  std::string output;          // the NOTIFY request, once the connection is made
  size_t written = 0;          // bytes of `output` the socket has taken
  bus::Timer timeout;          // ends a delivery that takes too long
};

}  // namespace upnp
