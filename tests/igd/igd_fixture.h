#pragma once

// A loop under a private platform root hosting the router services that the
// WAN services talk to: routerd's NAT table at [20, 5] over the simulated
// backend, routerd's log at [61] and a scripted interface table at [20, 0].

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "igd/wan_ip_connection_service.h"
#include "platform/system.h"
#include "platform/routerd/log_service.h"
#include "platform/routerd/nat_table.h"
#include "platform/routerd/router_protocol.h"
#include "platform/routerd/sim_backend.h"
#include "tests/platform/temp_dir.h"

namespace upnp::test {

using Strings = std::vector<std::string>;

// Records "<command> <fields without transport>" per request; `failNext` refuses the next one.
class FakeInterfaceTable : public bus::Handler {
 public:
  bus::message handle(const bus::message& request) override {
    bus::message fields = request;
    for (uint32_t transport : {bus::kFieldCommand, bus::kFieldRequestId, bus::kFieldReplyTo}) fields.remove(transport);
    received.push_back(std::to_string(request.getU32(bus::kFieldCommand)) + " " + fields.toString());
    if (std::exchange(failNext, false)) return bus::errorMsg(bus::kErrNoSuchItem, "no such device");
    bus::message reply;
    for (const auto& [field, value] : counters) reply.setU64(field, value);
    return reply;
  }
  Strings received;
  std::map<uint32_t, uint64_t> counters;
  bool failNext = false;
};

// AddPortMapping inputs in declared order.
inline Strings addArgs(const std::string& remote, const std::string& port, const std::string& proto,
                       const std::string& internalPort = "80", const std::string& client = "192.168.88.20",
                       const std::string& enabled = "1", const std::string& description = "web") {
  return {remote, port, proto, internalPort, client, enabled, description, "0"};
}

class IgdTest : public ::testing::Test {
 protected:
  IgdTest() : mRoot(mDir.path()), mNat(mBackend) {
    mLoop.addHandlerAt({bus::kAddrRouter, routerd::kHandlerNat}, &mNat, false);
    mLoop.addHandlerAt({bus::kAddrRouter, routerd::kHandlerInterfaces}, &mInterfaces, false);
    mLoop.addHandlerAt({bus::kAddrLog}, &mLog, false);
  }

  // Calls the handler of `action` as the SOAP dispatcher would after checking
  // the inputs, for a call received on 192.168.88.1/24.
  static uint32_t call(Service& service, const std::string& action, const Strings& inputs, Strings* outputs = nullptr) {
    ActionRequest request{*IPAddr::parse("192.168.88.20"), *IPAddr::parse("192.168.88.1"), 24, {}, {}};
    for (const std::string& text : inputs)
      request.inputs.push_back({text, static_cast<uint32_t>(std::strtoul(text.c_str(), nullptr, 10))});
    const UpnpError result = service.actions.at(action).handler(request);
    if (outputs != nullptr) *outputs = request.outputs;
    return code(result);
  }
  uint32_t add(const Strings& args) { return call(mService, "AddPortMapping", args); }
  uint32_t del(const std::string& remote, const std::string& port, const std::string& proto) {
    return call(mService, "DeletePortMapping", {remote, port, proto});
  }
  const PortMapping& entry(uint16_t port) { return mService.mappings.entries().at(PortMappingKey{IPAddr(), port}); }

  // The router log lines (topic 67 only) that arrived since the last call.
  Strings routerLines() {
    for (int i = 0; i < 5; ++i) mLoop.runOnce(5);
    Strings lines;
    for (; mSeenLines < mLog.lines().size(); ++mSeenLines) {
      EXPECT_EQ(mLog.lines()[mSeenLines].topic, 67u);
      lines.push_back(mLog.lines()[mSeenLines].text);
    }
    return lines;
  }

  const auto& natLog() const { return mNat.requestLog(); }
  const routerd::NatTable::LoggedRequest& lastNat() const { return mNat.requestLog().back(); }
  // Makes the NAT table refuse the next request of `command`.
  void failNextNat(uint32_t command) {
    bus::message request;
    request.setU32(routerd::kFailFieldCommand, command);
    request.setU32(routerd::kFailFieldCode, bus::kErrFailed);
    request.setString(routerd::kFailFieldText, "refused");
    ASSERT_FALSE(bus::isError(natRequest(request, routerd::kCmdNatFailNext)));
  }
  bus::message natRequest(bus::message request, uint32_t command) {
    request.setU32Array(bus::kFieldDestination, {bus::kAddrRouter, routerd::kHandlerNat});
    return mLoop.exchangeCmd(request, command, 1000);
  }
  static std::string value(const Service& service, const std::string& name) {
    std::string text;
    return service.stateVariables.at(name)->getValue(text) ? text : "(none)";
  }

  bus::test::TempDir mDir;
  bus::test::ScopedRoot mRoot;
  bus::Looper mLoop{bus::kAddrUpnp};
  routerd::SimBackend mBackend;
  routerd::NatTable mNat;
  routerd::LogService mLog;
  FakeInterfaceTable mInterfaces;
  bus::lstream mRouterLog{67, 0};
  size_t mSeenLines = 0;
  WANIPConnectionService mService{7, *IPAddr::parse("127.0.0.1"), mRouterLog};
};

}  // namespace upnp::test
