#include "platform/routerd/netlink.h"

#include <arpa/inet.h>
#include <endian.h>
#include <errno.h>
#include <linux/if_link.h>
#include <linux/netfilter.h>
#include <linux/netfilter/nf_tables.h>
#include <linux/netfilter/nfnetlink.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <vector>

namespace routerd {

namespace {

constexpr size_t kAlign = 4;
size_t align(size_t n) { return (n + kAlign - 1) & ~(kAlign - 1); }

template <class T>
bool readStruct(std::string_view bytes, size_t offset, T& out) {
  if (offset > bytes.size() || bytes.size() - offset < sizeof(T)) return false;
  std::memcpy(&out, bytes.data() + offset, sizeof(T));
  return true;
}

// Calls `each(type, payload)` for the attributes in `bytes`; false when one
// does not fit.
bool forEachAttribute(std::string_view bytes, const std::function<void(uint16_t, std::string_view)>& each) {
  size_t at = 0;
  while (bytes.size() - at >= sizeof(nlattr)) {
    nlattr attr;
    readStruct(bytes, at, attr);
    if (attr.nla_len < sizeof(nlattr) || attr.nla_len > bytes.size() - at) return false;
    each(attr.nla_type & NLA_TYPE_MASK, bytes.substr(at + sizeof(nlattr), attr.nla_len - sizeof(nlattr)));
    at += align(attr.nla_len);
    if (at > bytes.size()) break;
  }
  return true;
}

// The bytes after the message's header and its fixed family header of `fixed` bytes.
std::optional<std::string_view> attributes(std::string_view message, size_t fixed) {
  nlmsghdr h;
  if (!readStruct(message, 0, h) || h.nlmsg_len > message.size()) return std::nullopt;
  message = message.substr(0, h.nlmsg_len);
  const size_t start = align(sizeof(nlmsghdr)) + align(fixed);
  if (message.size() < start) return std::nullopt;
  return message.substr(start);
}

// A NUL-terminated string attribute (the terminator is optional).
std::string attrString(std::string_view value) {
  const size_t end = value.find('\0');
  return std::string(value.substr(0, end));
}

void appendAttr(std::string& msg, uint16_t type, const void* data, size_t len) {
  nlattr attr{static_cast<uint16_t>(sizeof(nlattr) + len), type};
  msg.append(reinterpret_cast<const char*>(&attr), sizeof(attr));
  msg.append(static_cast<const char*>(data), len);
  msg.resize(align(msg.size()), '\0');
}

// A message of `type` and `flags` with the fixed header `body`; the length is
// set by finish().
template <class T>
std::string startMessage(uint16_t type, uint16_t flags, const T& body) {
  nlmsghdr h{};
  h.nlmsg_type = type;
  h.nlmsg_flags = static_cast<uint16_t>(NLM_F_REQUEST | flags);
  std::string msg(reinterpret_cast<const char*>(&h), sizeof(h));
  msg.append(reinterpret_cast<const char*>(&body), sizeof(body));
  msg.resize(align(msg.size()), '\0');
  return msg;
}

void setLength(std::string& msg) {
  const uint32_t len = static_cast<uint32_t>(msg.size());
  std::memcpy(msg.data(), &len, sizeof(len));
}

}  // namespace

bool forEachNetlinkMessage(std::string_view buffer, const std::function<void(std::string_view)>& each) {
  size_t at = 0;
  while (at < buffer.size()) {
    nlmsghdr h;
    if (!readStruct(buffer, at, h)) return false;
    if (h.nlmsg_len < sizeof(nlmsghdr) || h.nlmsg_len > buffer.size() - at) return false;
    each(buffer.substr(at, h.nlmsg_len));
    at += align(h.nlmsg_len);
  }
  return true;
}

uint16_t netlinkType(std::string_view message) {
  nlmsghdr h;
  // A message shorter than its length field says is no message.
  if (!readStruct(message, 0, h) || h.nlmsg_len < sizeof(h) || h.nlmsg_len > message.size()) return 0;
  return h.nlmsg_type;
}

std::optional<int> netlinkError(std::string_view message) {
  nlmsgerr err;
  if (netlinkType(message) != NLMSG_ERROR || !readStruct(message, align(sizeof(nlmsghdr)), err)) return std::nullopt;
  return -err.error;
}

std::optional<NetlinkLink> parseLink(std::string_view message) {
  const uint16_t type = netlinkType(message);
  ifinfomsg info;
  if ((type != RTM_NEWLINK && type != RTM_DELLINK) || !readStruct(message, align(sizeof(nlmsghdr)), info)) {
    return std::nullopt;
  }
  std::optional<std::string_view> attrs = attributes(message, sizeof(ifinfomsg));
  if (!attrs || info.ifi_index <= 0) return std::nullopt;
  NetlinkLink link;
  link.index = static_cast<uint32_t>(info.ifi_index);
  link.up = (info.ifi_flags & IFF_UP) != 0;
  link.running = link.up && (info.ifi_flags & IFF_RUNNING) != 0;
  link.removed = type == RTM_DELLINK;
  bool fits = true;
  bool have64 = false;
  const bool ok = forEachAttribute(*attrs, [&](uint16_t attr, std::string_view value) {
    if (attr == IFLA_IFNAME) {
      link.name = attrString(value);
    } else if (attr == IFLA_STATS64) {
      rtnl_link_stats64 s;
      if (!readStruct(value, 0, s)) { fits = false; return; }
      link.counters = {s.rx_bytes, s.tx_bytes, s.rx_packets, s.tx_packets};
      link.hasCounters = have64 = true;
    } else if (attr == IFLA_STATS && !have64) {
      rtnl_link_stats s;
      if (!readStruct(value, 0, s)) { fits = false; return; }
      link.counters = {s.rx_bytes, s.tx_bytes, s.rx_packets, s.tx_packets};
      link.hasCounters = true;
    }
  });
  if (!ok || !fits || link.name.empty() || link.name.size() >= IF_NAMESIZE) return std::nullopt;
  return link;
}

std::optional<NetlinkAddress> parseAddress(std::string_view message) {
  const uint16_t type = netlinkType(message);
  ifaddrmsg info;
  if ((type != RTM_NEWADDR && type != RTM_DELADDR) || !readStruct(message, align(sizeof(nlmsghdr)), info) ||
      info.ifa_family != AF_INET || info.ifa_prefixlen > 32) {
    return std::nullopt;
  }
  std::optional<std::string_view> attrs = attributes(message, sizeof(ifaddrmsg));
  if (!attrs || info.ifa_index == 0) return std::nullopt;
  NetlinkAddress out;
  out.index = info.ifa_index;
  out.prefix = info.ifa_prefixlen;
  out.removed = type == RTM_DELADDR;
  std::optional<uint32_t> local, address;
  bool fits = true;
  const bool ok = forEachAttribute(*attrs, [&](uint16_t attr, std::string_view value) {
    if (attr != IFA_LOCAL && attr != IFA_ADDRESS) return;
    uint32_t raw;
    if (value.size() != sizeof(raw)) { fits = false; return; }
    std::memcpy(&raw, value.data(), sizeof(raw));
    (attr == IFA_LOCAL ? local : address) = raw;
  });
  // On point-to-point links IFA_ADDRESS is the peer: the own address is IFA_LOCAL.
  std::optional<uint32_t> own = local ? local : address;
  if (!ok || !fits || !own || *own == 0) return std::nullopt;
  out.address = IPAddr(*own);
  return out;
}

std::optional<NftRuleEvent> parseNftNewRule(std::string_view message) {
  nfgenmsg gen;
  if (netlinkType(message) != ((NFNL_SUBSYS_NFTABLES << 8) | NFT_MSG_NEWRULE) ||
      !readStruct(message, align(sizeof(nlmsghdr)), gen)) {
    return std::nullopt;
  }
  std::optional<std::string_view> attrs = attributes(message, sizeof(nfgenmsg));
  if (!attrs) return std::nullopt;
  NftRuleEvent out;
  out.family = gen.nfgen_family;
  bool haveHandle = false;
  const bool ok = forEachAttribute(*attrs, [&](uint16_t attr, std::string_view value) {
    if (attr == NFTA_RULE_TABLE) out.table = attrString(value);
    if (attr == NFTA_RULE_CHAIN) out.chain = attrString(value);
    if (attr == NFTA_RULE_HANDLE && value.size() == sizeof(uint64_t)) {
      uint64_t be;
      std::memcpy(&be, value.data(), sizeof(be));
      out.handle = be64toh(be);
      haveHandle = true;
    }
  });
  if (!ok || !haveHandle) return std::nullopt;
  return out;
}

NetlinkSocket::~NetlinkSocket() {
  if (mFd >= 0) close(mFd);
}

bus::Status NetlinkSocket::open(int protocol, std::initializer_list<uint32_t> groups) {
  const int flags = SOCK_RAW | SOCK_CLOEXEC | (groups.size() ? SOCK_NONBLOCK : 0);
  mFd = socket(AF_NETLINK, flags, protocol);
  if (mFd < 0) return bus::Status::sysError("socket(AF_NETLINK)");
  sockaddr_nl sa{};
  sa.nl_family = AF_NETLINK;
  if (bind(mFd, reinterpret_cast<const sockaddr*>(&sa), sizeof(sa)) != 0) return bus::Status::sysError("bind(netlink)");
  // Bursts (a whole ruleset replaced by someone) must not overflow us often.
  const int size = 1 << 20;
  setsockopt(mFd, SOL_SOCKET, SO_RCVBUF, &size, sizeof(size));
  for (uint32_t group : groups) {
    if (setsockopt(mFd, SOL_NETLINK, NETLINK_ADD_MEMBERSHIP, &group, sizeof(group)) != 0) {
      return bus::Status::sysError("setsockopt(NETLINK_ADD_MEMBERSHIP)");
    }
  }
  const timeval timeout{1, 0};
  setsockopt(mFd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
  return bus::Status::ok();
}

bus::Status NetlinkSocket::request(std::string request, const char* what,
                                   const std::function<void(std::string_view)>& each) {
  nlmsghdr h;
  if (!readStruct(request, 0, h)) return bus::Status::error(std::string(what) + ": bad request");
  h.nlmsg_seq = ++mSeq;
  h.nlmsg_flags |= NLM_F_ACK;
  std::memcpy(request.data(), &h, sizeof(h));
  if (send(mFd, request.data(), request.size(), 0) < 0) return bus::Status::sysError(what);
  std::vector<char> buffer(64 * 1024);
  for (;;) {
    const ssize_t n = recv(mFd, buffer.data(), buffer.size(), 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return bus::Status::sysError(what);
    bool done = false;
    int error = 0;
    forEachNetlinkMessage(std::string_view(buffer.data(), static_cast<size_t>(n)), [&](std::string_view msg) {
      nlmsghdr mh;
      readStruct(msg, 0, mh);
      if (mh.nlmsg_seq != mSeq || done) return;  // an answer to an earlier, timed-out request
      if (std::optional<int> e = netlinkError(msg)) {
        error = *e;
        done = true;
      } else if (mh.nlmsg_type == NLMSG_DONE) {
        done = true;
      } else if (each) {
        each(msg);
      }
    });
    if (error != 0) return bus::Status::error(std::string(what) + ": " + strerror(error));
    if (done) return bus::Status::ok();
  }
}

bus::Status NetlinkSocket::drain(const std::function<void(std::string_view)>& each, bool& overflowed) {
  std::vector<char> buffer(64 * 1024);
  for (;;) {
    const ssize_t n = recv(mFd, buffer.data(), buffer.size(), MSG_DONTWAIT);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return bus::Status::ok();
    if (n < 0 && errno == ENOBUFS) {
      overflowed = true;
      continue;
    }
    if (n < 0) return bus::Status::sysError("recv(netlink)");
    forEachNetlinkMessage(std::string_view(buffer.data(), static_cast<size_t>(n)), each);
  }
}

std::string netlinkDumpRequest(uint16_t type, uint8_t family) {
  rtgenmsg body{};
  body.rtgen_family = family;
  std::string msg = startMessage(type, NLM_F_DUMP, body);
  setLength(msg);
  return msg;
}

std::string netlinkGetLinkRequest(uint32_t index) {
  ifinfomsg body{};
  body.ifi_family = AF_UNSPEC;
  body.ifi_index = static_cast<int>(index);
  std::string msg = startMessage(RTM_GETLINK, 0, body);
  setLength(msg);
  return msg;
}

std::string netlinkSetLinkUpRequest(uint32_t index, bool up) {
  ifinfomsg body{};
  body.ifi_family = AF_UNSPEC;
  body.ifi_index = static_cast<int>(index);
  body.ifi_flags = up ? IFF_UP : 0;
  body.ifi_change = IFF_UP;
  std::string msg = startMessage(RTM_NEWLINK, 0, body);
  setLength(msg);
  return msg;
}

std::string netlinkAddressRequest(bool add, uint32_t index, IPAddr address, uint32_t prefix) {
  ifaddrmsg body{};
  body.ifa_family = AF_INET;
  body.ifa_prefixlen = static_cast<uint8_t>(prefix);
  body.ifa_index = index;
  std::string msg = startMessage(add ? RTM_NEWADDR : RTM_DELADDR, add ? NLM_F_CREATE | NLM_F_EXCL : 0, body);
  const uint32_t raw = address.raw();
  appendAttr(msg, IFA_LOCAL, &raw, sizeof(raw));
  appendAttr(msg, IFA_ADDRESS, &raw, sizeof(raw));
  if (add && prefix < 31) {
    // What `ip addr add A/P brd +` sets, so the subnet's broadcast works as usual.
    const uint32_t mask = prefix == 0 ? 0 : htonl(~0u << (32 - prefix));
    const uint32_t broadcast = raw | ~mask;
    appendAttr(msg, IFA_BROADCAST, &broadcast, sizeof(broadcast));
  }
  setLength(msg);
  return msg;
}

}  // namespace routerd
