#pragma once

#include <string>
#include <string_view>

namespace bus {

// Maps one of the router's absolute paths ("/zelo/store/upnp") to where it lives
// on this machine: under $ZELO_ROOT when that variable is set, unchanged when it
// is not (as on the router). Paths outside "/zelo/" are never mapped.
std::string hostPath(std::string_view routerPath);

// The platform root ($ZELO_ROOT, or "" on the router). Two roots never share a bus.
std::string platformRoot();

}  // namespace bus
