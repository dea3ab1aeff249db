#pragma once

#include <cstdint>

#include "model/service.h"

namespace upnp {

// The WANCommonInterfaceConfig service of one started external interface.
class WANCommonInterfaceConfigService : public Service {
 public:
  WANCommonInterfaceConfigService(uint32_t externalInterfaceId, uint32_t deviceToken);
  ~WANCommonInterfaceConfigService();

  uint32_t externalInterfaceId;
};

}  // namespace upnp
