#include "igd/router_log.h"

namespace upnp {

// Constructed before main, so the log exists before the first line is written.
bus::lstream routerLog(67, 0);

}  // namespace upnp
