#include "platform/routerd/linux_backend.h"

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>

#include <cstdio>
#include <vector>

#include "platform/routerd/nft_rules.h"
#include "platform/routerd/router.h"
#include "platform/routerd/router_protocol.h"

namespace routerd {

namespace {

bus::message tableRequest(uint32_t command, uint32_t id) {
  bus::message request;
  request.setU32(bus::kFieldCommand, command);
  if (id != 0) request.setU32(bus::kFieldObjectId, id);
  return request;
}

// Kernel changes have no client to answer: a refusal is only logged.
void sendToTable(bus::Handler& table, const bus::message& request, const std::string& what) {
  const bus::message reply = table.handle(request);
  std::printf("routerd: kernel %s%s%s\n", what.c_str(), bus::isError(reply) ? ": refused: " : "",
              bus::isError(reply) ? bus::getError(reply).c_str() : "");
}

}  // namespace

LinuxBackend::~LinuxBackend() {
  if (mTableCreated) (void)mNft.run(nftDeleteTableCommand());
}

bus::Status LinuxBackend::start() {
  bus::Status status = mRequests.open(NETLINK_ROUTE);
  // Subscribed before the first dump, so no change falls between the two.
  if (status.isOk()) status = mNotify.open(NETLINK_ROUTE, {RTNLGRP_LINK, RTNLGRP_IPV4_IFADDR});
  if (status.isOk()) status = reload();
  if (status.isOk()) status = mNft.open();
  if (status.isOk()) status = mNft.run(nftCreateTableCommands());
  if (!status.isOk()) return status;
  mTableCreated = true;
  return status;
}

void LinuxBackend::follow(Router& router, bus::Looper& looper) {
  mRouter = &router;
  mLooper = &looper;
  looper.runner().addSocket(mNotify.fd(), bus::ThinRunner::kReadable, [this](int) { onNotification(); });
  reconcile();
}

void LinuxBackend::stop() {
  if (mLooper) mLooper->runner().removeSocket(mNotify.fd());
  mLooper = nullptr;
  mRouter = nullptr;
  if (mTableCreated) {
    bus::Status status = mNft.run(nftDeleteTableCommand());
    if (!status.isOk()) std::fprintf(stderr, "routerd: removing our nftables table: %s\n", status.text().c_str());
  }
  mTableCreated = false;
  mHandles.clear();
}

bus::Status LinuxBackend::reload() {
  mLinks.clear();
  mAddresses.clear();
  auto learnOne = [this](std::string_view msg) { learn(msg); };
  bus::Status status = mRequests.request(netlinkDumpRequest(RTM_GETLINK, AF_UNSPEC), "list links", learnOne);
  if (status.isOk()) status = mRequests.request(netlinkDumpRequest(RTM_GETADDR, AF_INET), "list addresses", learnOne);
  return status;
}

void LinuxBackend::learn(std::string_view message) {
  if (std::optional<NetlinkLink> link = parseLink(message)) {
    if (!link->removed) {
      mLinks[link->index] = *link;
      return;
    }
    mLinks.erase(link->index);
    for (auto it = mAddresses.begin(); it != mAddresses.end();) {
      it = it->first.first == link->index ? mAddresses.erase(it) : std::next(it);
    }
  } else if (std::optional<NetlinkAddress> addr = parseAddress(message)) {
    const AddressKey key{addr->index, addr->address.raw()};
    if (addr->removed) {
      mAddresses.erase(key);
    } else {
      mAddresses[key] = addr->prefix;
    }
  }
}

void LinuxBackend::onNotification() {
  bool overflowed = false;
  bus::Status status = mNotify.drain([this](std::string_view msg) { learn(msg); }, overflowed);
  if (status.isOk() && overflowed) status = reload();
  if (!status.isOk()) std::fprintf(stderr, "routerd: kernel notifications: %s\n", status.text().c_str());
  reconcile();
}

void LinuxBackend::reconcile() {
  if (!mRouter) return;
  reconcileInterfaces();
  reconcileAddresses();
}

void LinuxBackend::reconcileInterfaces() {
  InterfaceTable& table = mRouter->interfaces();
  std::vector<uint32_t> changed;
  for (const auto& [id, obj] : table.objects()) {
    const RouterDevice& dev = static_cast<const RouterDevice&>(*obj);
    const NetlinkLink* link = linkByName(dev.kernelName());
    if (dev.ifIndex() != (link ? link->index : 0) || dev.running() != (link && link->running)) changed.push_back(id);
  }
  // An empty set makes the table read index and running from us again.
  for (uint32_t id : changed) {
    const NetlinkLink* link = linkByName(table.find(id)->kernelName());
    sendToTable(table, tableRequest(bus::kCmdSetObject, id),
                "link " + table.find(id)->kernelName() + (link && link->running ? " running" : " not running"));
  }
}

void LinuxBackend::reconcileAddresses() {
  InterfaceTable& interfaces = mRouter->interfaces();
  AddressTable& table = mRouter->addresses();
  std::map<uint32_t, uint32_t> deviceOfIndex;  // kernel index -> interface id
  for (const auto& [id, obj] : interfaces.objects()) {
    const uint32_t index = static_cast<const RouterDevice&>(*obj).ifIndex();
    if (index != 0) deviceOfIndex[index] = id;
  }
  std::map<uint32_t, std::pair<uint32_t, uint32_t>> wanted;  // address -> interface id, prefix
  for (const auto& [key, prefix] : mAddresses) {
    auto dev = deviceOfIndex.find(key.first);
    if (dev != deviceOfIndex.end()) wanted[key.second] = {dev->second, prefix};
  }
  std::vector<uint32_t> gone;
  for (const auto& [id, obj] : table.objects()) {
    const RouterAddress& addr = static_cast<const RouterAddress&>(*obj);
    auto it = wanted.find(addr.address().raw());
    if (it != wanted.end() && it->second.first == addr.interfaceId()) {
      wanted.erase(it);
    } else {
      gone.push_back(id);
    }
  }
  // Removals first: an address that moved to another link is then free to be added.
  for (uint32_t id : gone) {
    const std::string text = table.find(id)->address().toString();
    sendToTable(table, tableRequest(bus::kCmdRemoveObject, id), "address " + text + " removed");
  }
  for (const auto& [raw, where] : wanted) {
    bus::message request = tableRequest(bus::kCmdAddObject, 0);
    request.setBe32(kAddrFieldAddress, IPAddr(raw));
    request.setU32(kAddrFieldPrefix, where.second);
    request.setU32(kAddrFieldInterface, where.first);
    sendToTable(table, request, "address " + IPAddr(raw).toString() + "/" + std::to_string(where.second) + " added");
  }
}

const NetlinkLink* LinuxBackend::linkByName(const std::string& kernelName) const {
  for (const auto& [index, link] : mLinks) {
    if (link.name == kernelName) return &link;
  }
  return nullptr;
}

uint32_t LinuxBackend::kernelIndex(const std::string& kernelName) {
  const NetlinkLink* link = linkByName(kernelName);
  return link ? link->index : 0;
}

std::optional<bool> LinuxBackend::kernelRunning(const std::string& kernelName) {
  const NetlinkLink* link = linkByName(kernelName);
  return link && link->running;
}

bus::Status LinuxBackend::applyInterface(const RouterDevice& dev) {
  // Only a change of `disabled` touches the link: an administrator's own
  // `ip link set down` stays as it is.
  auto applied = mDisabledApplied.find(dev.kernelName());
  if (applied != mDisabledApplied.end() && applied->second == dev.disabled()) return bus::Status::ok();
  const NetlinkLink* link = linkByName(dev.kernelName());
  if (link && link->up == dev.disabled()) {
    bus::Status status =
        mRequests.request(netlinkSetLinkUpRequest(link->index, !dev.disabled()), "set link up/down");
    if (!status.isOk()) return status;
  }
  mDisabledApplied[dev.kernelName()] = dev.disabled();
  return bus::Status::ok();
}

bus::Status LinuxBackend::removeInterface(const RouterDevice& dev) {
  mDisabledApplied.erase(dev.kernelName());
  return bus::Status::ok();
}

bus::Status LinuxBackend::applyAddress(const RouterAddress& addr, const RouterDevice& dev, bool add) {
  const NetlinkLink* link = linkByName(dev.kernelName());
  if (!link) {
    if (!add) return bus::Status::ok();
    return bus::Status::error("interface " + dev.name() + " has no kernel link " + dev.kernelName());
  }
  const AddressKey key{link->index, addr.address().raw()};
  auto present = mAddresses.find(key);
  // Changes that came from the kernel find it done already.
  if (add == (present != mAddresses.end())) return bus::Status::ok();
  // The kernel removes an address only with the prefix it has.
  const uint32_t prefix = add ? addr.prefix() : present->second;
  bus::Status status = mRequests.request(netlinkAddressRequest(add, link->index, addr.address(), prefix),
                                         add ? "add address" : "remove address");
  if (!status.isOk()) return status;
  if (add) {
    mAddresses[key] = prefix;
  } else {
    mAddresses.erase(key);
  }
  return status;
}

bus::Status LinuxBackend::applyRule(uint32_t id, const bus::message& rule) {
  auto installed = mHandles.find(id);
  if (rule.getBool(bus::kFieldDisabled)) {
    if (installed == mHandles.end()) return bus::Status::ok();
    bus::Status status = mNft.run(nftDeleteRuleCommand(installed->second));
    if (status.isOk()) mHandles.erase(installed);
    return status;
  }
  const NftRuleText text = translateRule(rule, [this](uint32_t interfaceId) {
    const RouterDevice* dev = mRouter ? mRouter->interfaces().find(interfaceId) : nullptr;
    return dev ? dev->kernelName() : std::string();
  });
  if (!text.status.isOk()) return text.status;
  std::string commands = installed == mHandles.end() ? "" : nftDeleteRuleCommand(installed->second);
  commands += nftAddRuleCommand(text.text);
  uint64_t handle = 0;
  bus::Status status = mNft.run(commands, &handle);
  if (status.isOk()) mHandles[id] = handle;
  return status;
}

bus::Status LinuxBackend::removeRule(uint32_t id) {
  auto installed = mHandles.find(id);
  if (installed == mHandles.end()) return bus::Status::ok();
  bus::Status status = mNft.run(nftDeleteRuleCommand(installed->second));
  if (status.isOk()) mHandles.erase(installed);
  return status;
}

DeviceCounters LinuxBackend::readCounters(const RouterDevice& dev) {
  DeviceCounters counters;
  const NetlinkLink* link = linkByName(dev.kernelName());
  if (!link) return counters;
  bus::Status status = mRequests.request(netlinkGetLinkRequest(link->index), "read counters", [&](std::string_view msg) {
    std::optional<NetlinkLink> fresh = parseLink(msg);
    if (fresh && fresh->hasCounters) counters = fresh->counters;
  });
  if (!status.isOk()) std::fprintf(stderr, "routerd: %s\n", status.text().c_str());
  return counters;
}

}  // namespace routerd
