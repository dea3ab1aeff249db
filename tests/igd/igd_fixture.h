#pragma once

// A daemon in a private platform root with the router services that the WAN
// services talk to hosted in-process: routerd's NAT table at [20, 5], a fake
// interface table at [20, 0] and a fake router log at [61].

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "daemon/upnp_daemon.h"
#include "model/action.h"
#include "model/service.h"
#include "platform/looper.h"
#include "platform/message.h"
#include "platform/routerd/nat_table.h"
#include "platform/routerd/router_protocol.h"
#include "platform/routerd/sim_backend.h"
#include "tests/platform/temp_dir.h"

namespace upnp::test {

// A request as a service received it: its command and its own fields.
struct Received {
  uint32_t command;
  bus::message fields;  // without the transport's command, request id and reply-to
};

inline bus::message withoutTransport(const bus::message& request) {
  bus::message out = request;
  out.remove(bus::kFieldCommand);
  out.remove(bus::kFieldRequestId);
  out.remove(bus::kFieldReplyTo);
  return out;
}

// The interface table [20, 0] as far as the WAN services use it: the set of
// the disabled flag and the statistics get. `failNext` refuses the next request.
class FakeInterfaceTable : public bus::Handler {
 public:
  bus::message handle(const bus::message& request) override {
    received.push_back({request.getU32(bus::kFieldCommand), withoutTransport(request)});
    if (failNext) {
      failNext = false;
      return bus::errorMsg(bus::kErrNoSuchItem, "no such device");
    }
    if (request.getU32(bus::kFieldCommand) != bus::kCmdGetObject) return {};
    bus::message reply;
    reply.setU32(bus::kFieldObjectId, request.getU32(bus::kFieldObjectId));
    reply.setU64(routerd::kDevRxBytes, rxBytes);
    reply.setU64(routerd::kDevTxBytes, txBytes);
    reply.setU64(routerd::kDevRxPackets, rxPackets);
    reply.setU64(routerd::kDevTxPackets, txPackets);
    return reply;
  }
  std::vector<Received> received;
  bool failNext = false;
  uint64_t rxBytes = 0, txBytes = 0, rxPackets = 0, txPackets = 0;
};

// The router log [61]: keeps the text of every line.
class FakeLog : public bus::Handler {
 public:
  bus::message handle(const bus::message& request) override {
    topics.push_back(request.getU32(routerd::kLogFieldTopic));
    lines.push_back(request.getString(routerd::kLogFieldText));
    return {};
  }
  std::vector<uint32_t> topics;
  std::vector<std::string> lines;
};

class IgdTest : public ::testing::Test {
 protected:
  IgdTest() : mRoot(mDir.path()), mNat(mBackend) {
    mDaemon.addHandlerAt({bus::kAddrRouter, routerd::kHandlerNat}, &mNat, false);
    mDaemon.addHandlerAt({bus::kAddrRouter, routerd::kHandlerInterfaces}, &mInterfaces, false);
    mDaemon.addHandlerAt({bus::kAddrLog}, &mLog, false);
  }

  // Calls the handler of `action` as the SOAP dispatcher would.
  static uint32_t call(Service& service, const std::string& action, std::vector<std::string> inputs,
                       std::vector<std::string>* outputs = nullptr, const char* requester = "192.168.88.20") {
    ActionRequest request;
    request.requester = IPAddr::parse(requester).value_or(IPAddr());
    request.inputs = std::move(inputs);
    const Action& definition = service.actions.at(action);
    EXPECT_TRUE(static_cast<bool>(definition.handler)) << action;
    const uint32_t result = definition.handler(request);
    if (outputs != nullptr) *outputs = request.outputs;
    return result;
  }

  // Lets the loop deliver one-way sends (router log lines, retargets).
  void drain() {
    for (int i = 0; i < 5; ++i) mDaemon.runOnce(5);
  }

  // The NAT table's log of add/set/remove requests.
  const std::deque<routerd::NatTable::LoggedRequest>& natLog() const { return mNat.requestLog(); }

  void failNextNat(uint32_t command, uint32_t code, const char* text) {
    bus::message request;
    request.setU32(routerd::kFailFieldCommand, command);
    request.setU32(routerd::kFailFieldCode, code);
    request.setString(routerd::kFailFieldText, text);
    natRequest(request, routerd::kCmdNatFailNext);
  }
  void removeRuleBehindOurBack(uint32_t ruleId) {
    bus::message request;
    request.setU32(bus::kFieldObjectId, ruleId);
    natRequest(request, bus::kCmdRemoveObject);
  }
  void natRequest(bus::message request, uint32_t command) {
    request.setU32Array(bus::kFieldDestination, {bus::kAddrRouter, routerd::kHandlerNat});
    ASSERT_FALSE(bus::isError(mDaemon.exchangeCmd(request, command, 1000)));
  }

  // What `fn` writes to stdout (the daemon's debug lines).
  template <class Fn>
  static std::string stdoutOf(Fn fn) {
    ::testing::internal::CaptureStdout();
    fn();
    return ::testing::internal::GetCapturedStdout();
  }

  // The current text of a state variable; "(none)" when it has no value.
  static std::string value(const Service& service, const std::string& name) {
    std::string text = "(none)";
    service.stateVariables.at(name)->getValue(text);
    return text;
  }

  bus::test::TempDir mDir;
  bus::test::ScopedRoot mRoot;
  UpnpDaemon mDaemon;
  routerd::SimBackend mBackend;
  routerd::NatTable mNat;
  FakeInterfaceTable mInterfaces;
  FakeLog mLog;
};

}  // namespace upnp::test
