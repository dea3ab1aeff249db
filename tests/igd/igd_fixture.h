#pragma once

// A loop under a private platform root hosting the router services that the
// WAN services talk to: routerd's NAT table at [20, 5] over the simulated
// backend, routerd's log at [61] and a scripted interface table at [20, 0].

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <deque>
#include <string>
#include <utility>
#include <vector>

#include "model/service.h"
#include "platform/looper.h"
#include "platform/message.h"
#include "platform/routerd/log_service.h"
#include "platform/routerd/nat_table.h"
#include "platform/routerd/router_protocol.h"
#include "platform/routerd/sim_backend.h"
#include "platform/system.h"
#include "tests/platform/temp_dir.h"

namespace upnp::test {

using Strings = std::vector<std::string>;

// A request's own fields, without the transport's command, id and reply-to.
inline std::string ownFields(const bus::message& request) {
  bus::message fields = request;
  for (uint32_t transport : {bus::kFieldCommand, bus::kFieldRequestId, bus::kFieldReplyTo}) fields.remove(transport);
  return fields.toString();
}

// The interface table [20, 0] as far as the WAN services use it. Records
// "<command> <fields>" per request; `failNext` refuses the next one.
class FakeInterfaceTable : public bus::Handler {
 public:
  bus::message handle(const bus::message& request) override {
    received.push_back(std::to_string(request.getU32(bus::kFieldCommand)) + " " + ownFields(request));
    if (std::exchange(failNext, false)) return bus::errorMsg(bus::kErrNoSuchItem, "no such device");
    bus::message reply;
    for (const auto& [field, value] : counters) reply.setU64(field, value);
    return reply;
  }
  Strings received;
  std::map<uint32_t, uint64_t> counters;
  bool failNext = false;
};

class IgdTest : public ::testing::Test {
 protected:
  IgdTest() : mRoot(mDir.path()), mNat(mBackend) {
    mLoop.addHandlerAt({bus::kAddrRouter, routerd::kHandlerNat}, &mNat, false);
    mLoop.addHandlerAt({bus::kAddrRouter, routerd::kHandlerInterfaces}, &mInterfaces, false);
    mLoop.addHandlerAt({bus::kAddrLog}, &mLog, false);
  }

  // Calls the handler of `action` as the SOAP dispatcher would after checking
  // the inputs (numbers parsed), for a call received on 192.168.88.1/24.
  static uint32_t call(Service& service, const std::string& action, const Strings& inputs, Strings* outputs = nullptr,
                       const char* requester = "192.168.88.20") {
    ActionRequest request;
    request.requester = *IPAddr::parse(requester);
    request.lanAddress = *IPAddr::parse("192.168.88.1");
    request.lanPrefix = 24;
    for (const std::string& text : inputs)
      request.inputs.push_back({text, static_cast<uint32_t>(std::strtoul(text.c_str(), nullptr, 10))});
    const UpnpError result = service.actions.at(action).handler(request);
    if (outputs != nullptr) *outputs = request.outputs;
    return code(result);
  }

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

  const std::deque<routerd::NatTable::LoggedRequest>& natLog() const { return mNat.requestLog(); }
  const routerd::NatTable::LoggedRequest& lastNat() const { return mNat.requestLog().back(); }

  // Makes the NAT table refuse the next request of `command`.
  void failNextNat(uint32_t command) {
    bus::message request;
    request.setU32(routerd::kFailFieldCommand, command);
    request.setU32(routerd::kFailFieldCode, bus::kErrFailed);
    request.setString(routerd::kFailFieldText, "refused");
    natRequest(request, routerd::kCmdNatFailNext);
  }
  void natRequest(bus::message request, uint32_t command) {
    request.setU32Array(bus::kFieldDestination, {bus::kAddrRouter, routerd::kHandlerNat});
    ASSERT_FALSE(bus::isError(mLoop.exchangeCmd(request, command, 1000)));
  }

  // The current text of a state variable.
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
};

}  // namespace upnp::test
