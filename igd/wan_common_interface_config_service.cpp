#include "igd/wan_common_interface_config_service.h"

#include <memory>
#include <vector>

#include "platform/debug_log.h"
#include "platform/looper.h"
#include "platform/message.h"
#include "platform/system.h"

namespace upnp {

namespace {

constexpr uint32_t kInterfaceHandler = 0;
constexpr uint32_t kGetFlagsStatistics = 2;
constexpr uint32_t kFieldBytesReceived = 0x100fc;
constexpr uint32_t kFieldBytesSent = 0x100fd;
constexpr uint32_t kFieldPacketsReceived = 0x100fe;
constexpr uint32_t kFieldPacketsSent = 0x100ff;
constexpr const char* kBitRate = "10000000";

}  // namespace

WANCommonInterfaceConfigService::WANCommonInterfaceConfigService(uint32_t externalInterfaceId,
                                                                 uint32_t deviceToken)
    : Service("urn:schemas-upnp-org:service:WANCommonInterfaceConfig:1"),
      externalInterfaceId(externalInterfaceId) {
  auto accessType = std::make_unique<StateVariable>(
      std::vector<std::string>{"DSL", "POTS", "Cable", "Ethernet", "Other"}, false);
  accessType->setValue(deviceToken == 1 ? "Ethernet" : "Other");
  addVariable("WANAccessType", std::move(accessType));
  addVariable("Layer1UpstreamMaxBitRate", std::make_unique<StateVariable>(false, VariableKind::UI4));
  addVariable("Layer1DownstreamMaxBitRate", std::make_unique<StateVariable>(false, VariableKind::UI4));
  auto linkStatus = std::make_unique<StateVariable>(std::vector<std::string>{"Up", "Down"}, true);
  linkStatus->setValue("Up");
  addVariable("PhysicalLinkStatus", std::move(linkStatus));
  const std::pair<const char*, uint32_t> counters[] = {{"TotalBytesSent", kFieldBytesSent},
                                                       {"TotalBytesReceived", kFieldBytesReceived},
                                                       {"TotalPacketsSent", kFieldPacketsSent},
                                                       {"TotalPacketsReceived", kFieldPacketsReceived}};
  for (const auto& [name, field] : counters) {
    auto counter = std::make_unique<StateVariable>(false, VariableKind::UI4);
    counter->setProvider([this, field = field] { return readCounter(field); });
    addVariable(name, std::move(counter));
  }
  auto uptime = std::make_unique<StateVariable>(false, VariableKind::UI4);
  uptime->setProvider([] { return std::to_string(bus::getUptime()); });
  addVariable("X_Uptime", std::move(uptime));

  addQueryAction("GetCommonLinkProperties", {"WANAccessType", "Layer1UpstreamMaxBitRate",
                                             "Layer1DownstreamMaxBitRate", "PhysicalLinkStatus"});
  addQueryAction("GetTotalBytesSent", {"TotalBytesSent"});
  addQueryAction("GetTotalBytesReceived", {"TotalBytesReceived"});
  addQueryAction("GetTotalPacketsSent", {"TotalPacketsSent"});
  addQueryAction("GetTotalPacketsReceived", {"TotalPacketsReceived"});
  addQueryAction("X_GetICSStatistics",
                 {"TotalBytesSent", "TotalBytesReceived", "TotalPacketsSent", "TotalPacketsReceived",
                  "Layer1DownstreamMaxBitRate", "X_Uptime"},
                 {"TotalBytesSent", "TotalBytesReceived", "TotalPacketsSent", "TotalPacketsReceived",
                  "Layer1DownstreamMaxBitRate", "Uptime"});

  setVariable("Layer1UpstreamMaxBitRate", kBitRate);
  setVariable("Layer1DownstreamMaxBitRate", kBitRate);
}

WANCommonInterfaceConfigService::~WANCommonInterfaceConfigService() = default;

std::string WANCommonInterfaceConfigService::readCounter(uint32_t field) const {
  bus::message request;
  request.setU32Array(bus::kFieldDestination, {bus::kAddrRouter, kInterfaceHandler});
  request.setU32(bus::kFieldObjectId, externalInterfaceId);
  request.setU32(bus::kFieldGetFlags, kGetFlagsStatistics);
  const bus::message reply = bus::request(request, bus::kCmdGetObject);
  if (bus::isError(reply)) bus::debugLog() << "get device stats: " << bus::getError(reply);
  // Control points get a ui4: the counter wraps at 2^32.
  return std::to_string(static_cast<uint32_t>(reply.getU64(field)));
}

}  // namespace upnp
