#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>

#include "platform/looper.h"
#include "platform/routerd/netlink.h"
#include "platform/routerd/nft_session.h"
#include "platform/routerd/router_backend.h"

namespace routerd {

class Router;

// The router on the Linux kernel of the network namespace routerd runs in.
//
// Interfaces: the kernel index and `running` (link up with carrier) come from
// rtnetlink and follow the kernel live; a missing or renamed link reads index
// 0, not running. `disabled` sets the link administratively down, and its
// clearing up again (also when the interface is first added).
// Addresses: table changes add and remove IPv4 addresses in the kernel; the
// kernel's IPv4 addresses of router interfaces, however they change, are
// brought into the address table (added and removed through its requests, so
// subscribers get change notices).
// NAT rules: each enabled rule is one rule of the nat chain of routerd's own
// nftables table (nft_rules.h); disabled rules are not in the kernel. A set
// replaces the one kernel rule in one transaction.
// Counters: the link's kernel statistics. Loop thread only.
class LinuxBackend : public RouterBackend {
 public:
  LinuxBackend() = default;
  ~LinuxBackend() override;

  // Opens the kernel sockets, reads the links and addresses, and creates our
  // nftables table (removing a leftover one first).
  bus::Status start();
  // From now on kernel changes reach `router`'s tables; reconciles them with
  // the kernel once now. `router` and `looper` must outlive the backend or
  // stop().
  void follow(Router& router, bus::Looper& looper);
  // Stops following and removes our nftables table; for a clean exit, before
  // the looper goes. The destructor removes the table too when this was not called.
  void stop();

  const char* name() const override { return "linux"; }
  uint32_t kernelIndex(const std::string& kernelName) override;
  std::optional<bool> kernelRunning(const std::string& kernelName) override;
  bus::Status applyInterface(const RouterDevice& dev) override;
  bus::Status removeInterface(const RouterDevice& dev) override;
  bus::Status applyAddress(const RouterAddress& addr, const RouterDevice& dev, bool add) override;
  bus::Status applyRule(uint32_t id, const bus::message& rule) override;
  bus::Status removeRule(uint32_t id) override;
  DeviceCounters readCounters(const RouterDevice& dev) override;

  // Kernel handles of the rules in the kernel, by rule id.
  const std::map<uint32_t, uint64_t>& ruleHandles() const { return mHandles; }

 private:
  using AddressKey = std::pair<uint32_t, uint32_t>;  // kernel index, address (network order)

  bus::Status reload();
  void learn(std::string_view message);
  void onNotification();
  void reconcile();
  void reconcileInterfaces();
  void reconcileAddresses();
  const NetlinkLink* linkByName(const std::string& kernelName) const;

  NetlinkSocket mRequests;                         // our requests to rtnetlink
  NetlinkSocket mNotify;                           // link and address notifications
  NftSession mNft;                                 // our nftables table
  bool mTableCreated = false;                      // the table is ours to delete
  std::map<uint32_t, NetlinkLink> mLinks;          // kernel links by index
  std::map<AddressKey, uint32_t> mAddresses;       // kernel IPv4 addresses -> prefix
  std::map<std::string, bool> mDisabledApplied;    // kernel name -> disabled as last applied
  std::map<uint32_t, uint64_t> mHandles;           // rule id -> kernel handle
  Router* mRouter = nullptr;                       // set by follow
  bus::Looper* mLooper = nullptr;                  // set by follow
};

}  // namespace routerd
