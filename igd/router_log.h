#pragma once

#include "platform/system.h"

namespace upnp {

// The router log (topic 67), one stream for the whole process. It receives only
// the external-address and port-mapping lines; everything else goes to the
// debug output. Loop thread only.
extern bus::lstream routerLog;

}  // namespace upnp
