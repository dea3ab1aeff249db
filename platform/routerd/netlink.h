#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "platform/ip_addr.h"
#include "platform/routerd/router_device.h"
#include "platform/status.h"

namespace routerd {

// A kernel link as rtnetlink reports it.
struct NetlinkLink {
  uint32_t index = 0;
  std::string name;
  bool up = false;       // administratively up (IFF_UP)
  bool running = false;  // up with carrier (IFF_UP and IFF_RUNNING)
  bool removed = false;  // RTM_DELLINK
  bool hasCounters = false;
  DeviceCounters counters;  // IFLA_STATS64, else IFLA_STATS
};

// An IPv4 address of a kernel link.
struct NetlinkAddress {
  uint32_t index = 0;
  IPAddr address;  // IFA_LOCAL, else IFA_ADDRESS
  uint32_t prefix = 0;
  bool removed = false;  // RTM_DELADDR
};

// A rule that nftables reports as created (NFT_MSG_NEWRULE).
struct NftRuleEvent {
  uint8_t family = 0;
  std::string table;
  std::string chain;
  uint64_t handle = 0;
};

// Calls `each` with every whole netlink message (header included) of `buffer`.
// Returns false, having stopped, at a message whose length field does not fit
// the buffer or its own header; messages before it were passed on.
bool forEachNetlinkMessage(std::string_view buffer, const std::function<void(std::string_view)>& each);

// The message's type (nlmsg_type); 0 when it is shorter than a header.
uint16_t netlinkType(std::string_view message);
// For an NLMSG_ERROR message: the (positive) errno, 0 for an acknowledgement.
// nullopt for any other or a truncated message.
std::optional<int> netlinkError(std::string_view message);

// Decoders of one whole message: nullopt for another type, another address
// family or a truncated message or attribute.
std::optional<NetlinkLink> parseLink(std::string_view message);
std::optional<NetlinkAddress> parseAddress(std::string_view message);
std::optional<NftRuleEvent> parseNftNewRule(std::string_view message);

// A netlink socket of one protocol. Requests are answered in order on the
// same socket; notifications come on a socket opened with groups. Not copyable;
// closes its socket.
class NetlinkSocket {
 public:
  NetlinkSocket() = default;
  ~NetlinkSocket();
  NetlinkSocket(const NetlinkSocket&) = delete;
  NetlinkSocket& operator=(const NetlinkSocket&) = delete;

  // Opens the socket (close-on-exec; non-blocking when `groups` are given)
  // and joins each multicast group of `groups` (group numbers, not bits).
  bus::Status open(int protocol, std::initializer_list<uint32_t> groups = {});
  int fd() const { return mFd; }

  // Sends `request` (a whole message; its sequence number and NLM_F_ACK are
  // filled in) and waits up to a second for the kernel's answer: every reply
  // message goes to `each` (may be null), then the acknowledgement or the
  // error (the errno text, prefixed with `what`). Dump requests end at NLMSG_DONE.
  bus::Status request(std::string request, const char* what,
                      const std::function<void(std::string_view)>& each = nullptr);
  // Reads every queued notification without waiting and passes each message
  // to `each`. `overflowed` is set when the kernel dropped some (ENOBUFS):
  // whatever the reader caches must then be read afresh.
  bus::Status drain(const std::function<void(std::string_view)>& each, bool& overflowed);

 private:
  int mFd = -1;
  uint32_t mSeq = 0;  // sequence number of the last request
};

// Builders of rtnetlink requests (whole messages without sequence numbers).
std::string netlinkDumpRequest(uint16_t type, uint8_t family);
std::string netlinkGetLinkRequest(uint32_t index);
std::string netlinkSetLinkUpRequest(uint32_t index, bool up);
std::string netlinkAddressRequest(bool add, uint32_t index, IPAddr address, uint32_t prefix);

}  // namespace routerd
