#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "platform/message.h"
#include "platform/status.h"

namespace routerd {

// What routerd owns in the kernel's nftables: one table of the ip family with
// a nat chain for the NAT table's destination-NAT rules and a filter chain
// that lets the connections they translate through. Nothing else is touched.
inline constexpr const char* kNftTable = "routerd";           // table ip routerd
inline constexpr const char* kNftNatChain = "prerouting";     // type nat hook prerouting priority dstnat (-100)
inline constexpr const char* kNftForwardChain = "forward";    // type filter hook forward priority filter (0)
// Comments longer than this are cut (at a character boundary): the kernel
// keeps at most 128 bytes of a rule comment.
inline constexpr size_t kNftMaxComment = 128;

// The kernel name of a router interface id; "" when there is none.
using KernelNameOf = std::function<std::string(uint32_t interfaceId)>;

// A NAT rule as nft rule text (matches, then statements, then the comment),
// e.g. `iifname "wan0" ip daddr 203.0.113.1 tcp dport 8080 counter dnat to
// 10.0.0.10:80 comment "upnp ..."`. `status` is an error that names the field
// when the rule cannot be expressed exactly; `text` is then empty.
struct NftRuleText {
  bus::Status status = bus::Status::ok();
  std::string text;
};

// Translates the fields of a stored NAT rule (nat_table.h). Only destination
// NAT (chain "dstnat", action 22) with a target address is expressible; ports
// need protocol tcp (6) or udp (17). A "used" flag (400, 404, 418, 419, 440,
// 1006, 1007) that is false switches its match or target off; absent, the
// value field alone decides.
NftRuleText translateRule(const bus::message& rule, const KernelNameOf& kernelNameOf);

// `text` as an nft string literal: bytes the nft parser cannot take inside
// quotes (quote, backslash, control bytes) become '_', cut to kNftMaxComment.
std::string nftQuoted(std::string_view text);

// One batch that removes a leftover table of ours and creates it afresh.
std::string nftCreateTableCommands();
// Removes our table (fails when it is not there).
std::string nftDeleteTableCommand();
// Adds `ruleText` at the end of the nat chain.
std::string nftAddRuleCommand(const std::string& ruleText);
// Removes the nat chain's rule with kernel handle `handle`.
std::string nftDeleteRuleCommand(uint64_t handle);

}  // namespace routerd
