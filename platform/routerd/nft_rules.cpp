#include "platform/routerd/nft_rules.h"

#include <vector>

namespace routerd {

namespace {

using bus::message;

constexpr uint32_t kFieldComment = 0xfe0009;
constexpr uint32_t kChain = 39;
constexpr uint32_t kAction = 40;
constexpr uint32_t kActionDstNat = 22;
constexpr uint32_t kInInterface = 1;
constexpr uint32_t kProtocol = 11;
constexpr uint32_t kDstPorts = 99;
constexpr uint32_t kSrcFrom = 50, kSrcTo = 51, kDstFrom = 52, kDstTo = 53;
constexpr uint32_t kToAddrFrom = 1000, kToAddrTo = 1001, kToPortFrom = 1002, kToPortTo = 1003;
constexpr uint32_t kUsedInInterface = 400, kUsedProtocol = 404, kUsedSrc = 418, kUsedDst = 419;
constexpr uint32_t kUsedDstPorts = 440, kUsedToAddr = 1006, kUsedToPort = 1007;
constexpr uint32_t kTcp = 6, kUdp = 17;

NftRuleText refuse(std::string why) { return {bus::Status::error("cannot express in nftables: " + why), ""}; }

// A match or target is on when its value is there and its flag does not say off.
bool used(const message& rule, uint32_t flag, uint32_t value) {
  return rule.has(value) && rule.getBool(flag, true);
}

std::string range(const std::string& from, const std::string& to) { return from == to ? from : from + "-" + to; }

// An address range of a rule: "a", "a-b"; a missing end is the start.
std::string addressRange(const message& rule, uint32_t from, uint32_t to) {
  const IPAddr start = rule.getBe32(from);
  return range(start.toString(), rule.getBe32(to, start).toString());
}

}  // namespace

std::string nftQuoted(std::string_view text) {
  std::string out;
  for (unsigned char c : text) out += (c < ' ' || c == 0x7f || c == '"' || c == '\\') ? '_' : static_cast<char>(c);
  if (out.size() > kNftMaxComment) {
    size_t cut = kNftMaxComment;
    // Never leave half a UTF-8 sequence: back off over continuation bytes.
    while (cut > 0 && (static_cast<unsigned char>(out[cut]) & 0xc0) == 0x80) --cut;
    out.resize(cut);
  }
  return "\"" + out + "\"";
}

NftRuleText translateRule(const message& rule, const KernelNameOf& kernelNameOf) {
  if (rule.getString(kChain) != "dstnat") return refuse("chain (39) '" + rule.getString(kChain) + "'");
  if (rule.getU32(kAction) != kActionDstNat) return refuse("action (40) " + std::to_string(rule.getU32(kAction)));
  if (!used(rule, kUsedToAddr, kToAddrFrom)) return refuse("destination NAT without to-address (1000)");
  std::vector<std::string> parts;
  if (used(rule, kUsedInInterface, kInInterface)) {
    const std::string name = kernelNameOf(rule.getU32(kInInterface));
    if (name.empty()) return refuse("in-interface (1) " + std::to_string(rule.getU32(kInInterface)) + " unknown");
    parts.push_back("iifname " + nftQuoted(name));
  }
  if (used(rule, kUsedSrc, kSrcFrom)) parts.push_back("ip saddr " + addressRange(rule, kSrcFrom, kSrcTo));
  if (rule.has(kSrcTo) && !rule.has(kSrcFrom)) return refuse("source end (51) without start");
  if (used(rule, kUsedDst, kDstFrom)) parts.push_back("ip daddr " + addressRange(rule, kDstFrom, kDstTo));
  if (rule.has(kDstTo) && !rule.has(kDstFrom)) return refuse("destination end (53) without start");
  const bool hasProtocol = used(rule, kUsedProtocol, kProtocol);
  const uint32_t protocol = rule.getU32(kProtocol);
  const bool ports = used(rule, kUsedDstPorts, kDstPorts);
  const bool toPorts = used(rule, kUsedToPort, kToPortFrom) || used(rule, kUsedToPort, kToPortTo);
  if ((ports || toPorts) && (!hasProtocol || (protocol != kTcp && protocol != kUdp))) {
    return refuse(std::string(ports ? "destination ports (99)" : "to-ports (1002)") +
                  " need protocol (11) tcp or udp");
  }
  const std::string l4 = protocol == kTcp ? "tcp" : "udp";
  if (ports) {
    const std::vector<uint32_t> p = rule.getU32Array(kDstPorts);
    if (p.size() != 2) return refuse("destination ports (99) not a pair");
    parts.push_back(l4 + " dport " + range(std::to_string(p[0]), std::to_string(p[1])));
  } else if (hasProtocol) {
    parts.push_back("meta l4proto " + std::to_string(protocol));
  }
  parts.push_back("counter");
  std::string target = "dnat to " + addressRange(rule, kToAddrFrom, kToAddrTo);
  if (toPorts) {
    const uint32_t from = rule.getU32(kToPortFrom, rule.getU32(kToPortTo));
    target += ":" + range(std::to_string(from), std::to_string(rule.getU32(kToPortTo, from)));
  }
  parts.push_back(target);
  if (rule.has(kFieldComment)) parts.push_back("comment " + nftQuoted(rule.getString(kFieldComment)));
  NftRuleText out;
  for (const std::string& part : parts) out.text += (out.text.empty() ? "" : " ") + part;
  return out;
}

std::string nftCreateTableCommands() {
  const std::string t = std::string("ip ") + kNftTable;
  // "add" of an existing table is no error, so the delete never fails: a
  // leftover table of a crashed routerd goes, with everything in it.
  return "add table " + t + "\n" + "delete table " + t + "\n" + "add table " + t + "\n" +
         "add chain " + t + " " + kNftNatChain + " { type nat hook prerouting priority dstnat; policy accept; }\n" +
         "add chain " + t + " " + kNftForwardChain + " { type filter hook forward priority filter; policy accept; }\n" +
         "add rule " + t + " " + kNftForwardChain + " ct status dnat accept\n";
}

std::string nftDeleteTableCommand() { return std::string("delete table ip ") + kNftTable + "\n"; }

std::string nftAddRuleCommand(const std::string& ruleText) {
  return std::string("add rule ip ") + kNftTable + " " + kNftNatChain + " " + ruleText + "\n";
}

std::string nftDeleteRuleCommand(uint64_t handle) {
  return std::string("delete rule ip ") + kNftTable + " " + kNftNatChain + " handle " + std::to_string(handle) + "\n";
}

}  // namespace routerd
