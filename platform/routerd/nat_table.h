#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <ostream>
#include <string>

#include "platform/looper.h"
#include "platform/publisher.h"
#include "platform/routerd/field_schema.h"
#include "platform/routerd/router_backend.h"

namespace routerd {

// The firewall's NAT table, served at [20, 5] (commands in router_protocol.h).
//
// Accepted rule fields and their types: 0xfe0007 bool dynamic, 0xfe000a bool
// disabled, 0xfe0009 string comment, 39 string chain, 40 u32 action, 1 u32
// in-interface, 11 u32 protocol, 99 u32[2] destination ports, 50/51 be32
// source range, 52/53 be32 destination range, 1000/1001 be32 target range,
// 1002/1003 u32 target ports, and the group flags 400, 404, 418, 419, 440,
// 1006, 1007 (bool). Any other field, a wrong type, an add without chain or
// action, a port above 65535 or a range whose start is above its end is
// refused with kErrBadRequest; set and remove need kFieldObjectId (u32).
//
// A rule keeps its fields in the order in which they first arrived; a set
// overwrites the fields it carries in place and appends new ones. An add that
// carries kFieldObjectId still makes a new rule (the id is not stored).
//
// Rule ids are never 0 and never handed out twice by one table: they count up
// from `firstId`, skipping 0 and ids in use when they wrap, and a reset does
// not restart them. routerd starts each run from a fresh random base
// (freshIdBase), so that a client that still holds an id from routerd's
// previous run names no rule rather than another client's; in-process tables
// of tests count from 1.
//
// A rule that is dynamic (0xfe0007 true) after an add or set over a link from
// another process belongs to that link: when the link closes or breaks (the
// client exited or was killed), its dynamic rules are removed, as a router
// drops the dynamic entries of a process that dies. Rules made in-process
// (link 0) or not dynamic stay. Every add, set and
// remove is logged with its fields, command and result (bounded, oldest
// dropped first). Changes are published to subscribers (bus Publisher).
// Loop thread only.
class NatTable : public bus::Handler {
 public:
  static constexpr size_t kMaxRules = 65536;
  static constexpr size_t kMaxLogEntries = 4096;
  static constexpr size_t kMaxStringBytes = 1024;
  static constexpr size_t kMaxLoggedBytes = 16 * 1024;

  // `backend` must outlive the table. `firstId`: the first rule id handed out
  // (0 counts as 1).
  explicit NatTable(RouterBackend& backend, uint32_t firstId = 1);

  // A random rule id base, never 0, different for every call with
  // overwhelming probability.
  static uint32_t freshIdBase();

  bus::message handle(const bus::message& request) override;
  // Removes the dynamic rules owned by a link that closed.
  void onOriginGone(uint64_t originLink) override;

  // One line per handled add/set/remove goes to `trace` (null: none); it must
  // outlive the table.
  void setTrace(std::ostream* trace) { mTrace = trace; }

  struct LoggedRequest {
    uint32_t seq;
    uint32_t command;
    uint32_t result;      // 0, or the error code replied
    uint32_t ruleId;      // rule concerned, 0 when none
    std::string error;    // error text replied
    bus::message fields;  // the request's fields as they came (no transport fields)
  };
  const std::map<uint32_t, bus::message>& rules() const { return mRules; }
  const std::deque<LoggedRequest>& requestLog() const { return mLog; }

 private:
  struct Failure {
    uint32_t code;
    std::string text;
  };

  bus::message handleLogged(uint32_t command, const bus::message& request);
  bus::message execute(uint32_t command, const bus::message& request, uint32_t& ruleId);
  bus::message cmdAdd(const bus::message& request, uint32_t& ruleId);
  bus::message cmdSetRule(const bus::message& request, uint32_t& ruleId);
  bus::message cmdRemoveRule(const bus::message& request, uint32_t& ruleId);
  bus::message cmdFailNext(const bus::message& request);
  bus::message cmdReset();
  bus::message record(uint32_t id, const bus::message& rule) const;
  bus::message logItem(const LoggedRequest& entry) const;
  void publish(uint32_t id, bool removed, const bus::message& rule);
  uint32_t takeId();
  // Records which link a rule now belongs to, after an add or set from the
  // request being handled.
  void noteOwner(uint32_t id, const bus::message& rule);

  RouterBackend& mBackend;
  FieldSchema mSchema;                        // accepted request fields
  std::map<uint32_t, bus::message> mRules;    // id -> fields without the id
  uint32_t mNextId;                           // next rule id to try
  std::map<uint32_t, uint64_t> mOwners;       // dynamic rule id -> link of the client that made it
  std::deque<LoggedRequest> mLog;             // oldest first
  uint32_t mNextSeq = 1;                      // sequence number of the next logged request
  std::map<uint32_t, Failure> mFailNext;      // command -> failure of its next request
  bus::Publisher mPublisher;                  // change subscribers
  std::ostream* mTrace = nullptr;             // not owned
};

}  // namespace routerd
