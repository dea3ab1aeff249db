#include "model/pending_notification.h"

#include <unistd.h>

namespace upnp {

PendingNotification::~PendingNotification() {
  if (socket < 0) return;
  // The runner must forget the fd before it is closed: the number may be
  // reused at once by the next socket the daemon opens.
  if (bus::ThinRunner* runner = bus::ThinRunner::current()) runner->removeSocket(socket);
  close(socket);
}

}  // namespace upnp
