#pragma once

// The bus protocol of routerd, the stand-in router: where each service lives,
// the fields of its records and the commands of our own that routerctl and
// tests use to inspect and steer it. Header only, so the command-line tools
// (which link only the platform library) share it with the daemon side.

#include <cstdint>

#include "platform/looper.h"
#include "platform/message.h"

namespace routerd {

// Handler numbers under bus::kAddrRouter.
inline constexpr uint32_t kHandlerInterfaces = 0;  // [20, 0]
inline constexpr uint32_t kHandlerAddresses = 1;   // [20, 1]
inline constexpr uint32_t kHandlerNat = 5;         // [20, 5]

// ---- Interface table [20, 0]: an object map (bus AMap protocol). ----
// Device record fields.
inline constexpr uint32_t kDevToken = 0x10001;       // u32: device kind; 0 = not usable
inline constexpr uint32_t kDevStatus = 0x10003;      // u32: status bits
inline constexpr uint32_t kDevIfIndex = 0x10004;     // u32: kernel index (read only, from kDevKernelName)
inline constexpr uint32_t kDevName = 0x10006;        // string: router name ("lan"), unique
inline constexpr uint32_t kDevKernelName = 0x10100;  // string: kernel name ("br-lan"), at most 15 bytes
inline constexpr uint32_t kDevRxBytes = 0x100fc;     // u64 counters
inline constexpr uint32_t kDevTxBytes = 0x100fd;
inline constexpr uint32_t kDevRxPackets = 0x100fe;
inline constexpr uint32_t kDevTxPackets = 0x100ff;
// Both bits are set while the interface runs (link up).
inline constexpr uint32_t kStatusRunning = 0x100 | 0x400;
// kCmdGetObject with this bit in bus::kFieldGetFlags answers the statistics:
// kFieldObjectId and the four u64 counters, read from the backend.
inline constexpr uint32_t kGetFlagStats = 2;

// ---- Address table [20, 1]: an object map. ----
inline constexpr uint32_t kAddrFieldAddress = 1;    // be32, nonzero
inline constexpr uint32_t kAddrFieldPrefix = 2;     // u32, 0..32 (default 32)
inline constexpr uint32_t kAddrFieldInterface = 5;  // u32: interface table id, must exist

// ---- NAT table [20, 5]. ----
// kCmdAddObject: the rule's fields (see nat_table.h for the accepted fields and
// types); replies kFieldObjectId = the new rule id. kCmdSetObject with
// kFieldObjectId merges the request's fields into the rule. kCmdRemoveObject
// with kFieldObjectId. Unknown id: kErrNoSuchItem. Malformed: kErrBadRequest.
// kCmdGetObject / kCmdListObjects: the rule(s) as stored (kFieldObjectId first).
// Every list reply below is paged: items under fields 1..n, kFieldListNext when
// more remain (send it back as kFieldListFirst to get the next page).
inline constexpr uint32_t kFieldListFirst = 0x520100;  // u32 on a list request: first index
inline constexpr uint32_t kFieldListNext = 0x520101;   // u32 on a list reply: next first index
inline constexpr uint32_t kFieldListTotal = 0x520102;  // u32 on a list reply: number of items

// "add", "set" or "remove" for a NAT request's command; "?" for any other.
inline const char* natCommandName(uint32_t command) {
  switch (command) {
    case bus::kCmdAddObject: return "add";
    case bus::kCmdSetObject: return "set";
    case bus::kCmdRemoveObject: return "remove";
    default: return "?";
  }
}

// The request log: one item per add/set/remove received, oldest first.
inline constexpr uint32_t kCmdNatRequests = 0x520001;
inline constexpr uint32_t kReqFieldSeq = 1;      // u32: 1, 2, ... in arrival order
inline constexpr uint32_t kReqFieldCommand = 2;  // u32: kCmdAddObject, kCmdSetObject or kCmdRemoveObject
inline constexpr uint32_t kReqFieldResult = 3;   // u32: 0 accepted, else the error code replied
inline constexpr uint32_t kReqFieldRuleId = 4;   // u32: rule added/changed/removed (0: none)
inline constexpr uint32_t kReqFieldError = 5;    // string: error text replied ("" when accepted)
inline constexpr uint32_t kReqFieldFields = 6;   // nested: the request's fields in arrival order
                                                 // (all but kFieldCommand, kFieldRequestId, kFieldReplyTo)
// Fail the next request of one kind: u32 kFailFieldCommand (kCmdAddObject,
// kCmdSetObject or kCmdRemoveObject), u32 kFailFieldCode (error code, nonzero),
// optional string kFailFieldText. Only the first matching request fails.
inline constexpr uint32_t kCmdNatFailNext = 0x520002;
inline constexpr uint32_t kFailFieldCommand = 1;
inline constexpr uint32_t kFailFieldCode = 2;
inline constexpr uint32_t kFailFieldText = 3;
// Forget every rule, the request log and pending failures (rule ids restart at 1).
inline constexpr uint32_t kCmdNatReset = 0x520003;

// ---- Resolver [14]. ----
inline constexpr uint32_t kCmdResolve = 3;           // string 3 -> be32 4, or kErrNoSuchItem
inline constexpr uint32_t kResolveFieldName = 3;     // string: host name, 1..253 bytes
inline constexpr uint32_t kResolveFieldAddress = 4;  // be32
inline constexpr uint32_t kCmdResolverAdd = 0x520010;   // string 3 name, be32 4 address (replaces)
inline constexpr uint32_t kCmdResolverList = 0x520011;  // paged items {3 name, 4 address}, by name

// ---- Identity [65]. ----
// bus::kCmdGet answers string kIdentityField; bus::kCmdSet with it replaces it.
inline constexpr uint32_t kIdentityField = 1;

// ---- Router log [61]. ----
// bus::kCmdLogLine (u32 1 topic, string 2 text; one-way) adds a line.
inline constexpr uint32_t kCmdLogList = 0x520020;  // paged items {1 topic, 2 text, 3 seq, 4 uptime s}
inline constexpr uint32_t kLogFieldTopic = 1;
inline constexpr uint32_t kLogFieldText = 2;
inline constexpr uint32_t kLogFieldSeq = 3;
inline constexpr uint32_t kLogFieldUptime = 4;

// Router paths of files that routerd writes.
inline constexpr const char* kVersionFile = "/zelo/etc/version";

}  // namespace routerd
