// Cost of the port-mapping table's operations with large tables: listing every
// mapping by position (GetGenericPortMappingEntry, as control points do) must
// grow linearly with the table, and an add/delete cycle must stay cheap.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>

#include <filesystem>
#include <memory>
#include <string>

#include "igd/wan_ip_connection_service.h"
#include "platform/looper.h"
#include "platform/message.h"
#include "platform/system.h"

namespace {

// The NAT table service at its simplest: every add gets the next rule id.
class CountingNat : public bus::Handler {
 public:
  bus::message handle(const bus::message& request) override {
    bus::message reply;
    if (request.getU32(bus::kFieldCommand) == bus::kCmdAddObject) reply.setU32(bus::kFieldObjectId, ++mLastId);
    return reply;
  }

 private:
  uint32_t mLastId = 0;
};

// Swallows the router log lines.
class NullLog : public bus::Handler {
 public:
  bus::message handle(const bus::message&) override { return {}; }
};

bus::Looper* gLooper = nullptr;

// The debug output of every add and delete would drown the report.
class QuietStdout {
 public:
  QuietStdout() {
    std::fflush(stdout);
    mSaved = dup(1);
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    close(null);
  }
  ~QuietStdout() {
    std::fflush(stdout);
    dup2(mSaved, 1);
    close(mSaved);
  }

 private:
  int mSaved = -1;
};

bus::lstream gRouterLog(67, 0);

upnp::UpnpError call(upnp::WANIPConnectionService& service, const char* action, std::vector<std::string> inputs) {
  upnp::ActionRequest request;
  request.requester = *IPAddr::parse("192.168.88.20");
  request.lanAddress = *IPAddr::parse("192.168.88.1");
  request.lanPrefix = 24;
  for (std::string& text : inputs) {
    const auto number = static_cast<uint32_t>(std::strtoul(text.c_str(), nullptr, 10));
    request.inputs.push_back({std::move(text), number});
  }
  return service.actions.at(action).handler(request);
}

// Candidate mapping j: 30000 ports per remote host, so 50,000 mappings need
// two hosts.
std::vector<std::string> addInputs(size_t j) {
  const std::string host = "10.0.0." + std::to_string(1 + j / 30000);
  return {host, std::to_string(30000 + j % 30000), "TCP", "80", "192.168.88.20", "1", "bench", "0"};
}

// A service with `count` mappings. Ports that something on this machine uses
// fail the port-busy probe and are skipped.
std::unique_ptr<upnp::WANIPConnectionService> filledService(size_t count, benchmark::State& state) {
  auto service = std::make_unique<upnp::WANIPConnectionService>(7, IPAddr(), gRouterLog);
  for (size_t j = 0; service->mappings.size() < count && j < 4 * count; ++j) {
    (void)call(*service, "AddPortMapping", addInputs(j));
    if (j % 256 == 0) gLooper->runOnce(0);  // deliver the queued router log lines
  }
  gLooper->runOnce(0);
  if (service->mappings.size() < count) state.SkipWithError("could not add enough mappings");
  return service;
}

void BM_ListAllMappings(benchmark::State& state) {
  QuietStdout quiet;
  const size_t count = static_cast<size_t>(state.range(0));
  auto service = filledService(count, state);
  for (auto _ : state) {
    // Index 0 is the dummy entry; the real ones follow.
    for (size_t i = 1; i <= count; ++i) {
      upnp::ActionRequest request;
      request.inputs = {{std::to_string(i), static_cast<uint32_t>(i)}};
      if (service->mappings.getGenericPortMappingEntry(request) != upnp::UpnpError::None)
        state.SkipWithError("entry missing");
      benchmark::DoNotOptimize(request.outputs);
    }
  }
  state.SetComplexityN(state.range(0));
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * count));
}
BENCHMARK(BM_ListAllMappings)->Arg(1000)->Arg(10000)->Arg(50000)->Unit(benchmark::kMillisecond)->Complexity();

void BM_AddDeleteCycle(benchmark::State& state) {
  QuietStdout quiet;
  const size_t count = static_cast<size_t>(state.range(0));
  auto service = filledService(count, state);
  const std::vector<std::string> add = {"", "29999", "UDP", "80", "192.168.88.20", "1", "cycle", "0"};
  const std::vector<std::string> remove = {"", "29999", "UDP"};
  for (auto _ : state) {
    if (call(*service, "AddPortMapping", add) != upnp::UpnpError::None ||
        call(*service, "DeletePortMapping", remove) != upnp::UpnpError::None)
      state.SkipWithError("add/delete failed");
    gLooper->runOnce(0);
  }
}
BENCHMARK(BM_AddDeleteCycle)->Arg(0)->Arg(1000)->Arg(50000)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
  // A private platform root, so this loop's bus never meets a running router's.
  char root[] = "/tmp/port-mapping-bench-XXXXXX";
  if (mkdtemp(root) == nullptr) return 1;
  setenv("ZELO_ROOT", root, 1);
  {
    bus::Looper looper;
    CountingNat nat;
    NullLog log;
    looper.addHandlerAt({bus::kAddrRouter, 5}, &nat, false);
    looper.addHandlerAt({bus::kAddrLog}, &log, false);
    gLooper = &looper;
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    gLooper = nullptr;
  }
  std::error_code ignored;
  std::filesystem::remove_all(root, ignored);
  return 0;
}
