#include "platform/routerd/nat_table.h"

#include <sys/random.h>
#include <time.h>
#include <unistd.h>

#include <utility>

#include "platform/routerd/paged_list.h"
#include "platform/routerd/router_protocol.h"

namespace routerd {

namespace {

using bus::FieldType;
using bus::message;

constexpr uint32_t kFieldComment = 0xfe0009;
constexpr uint32_t kRuleChain = 39;
constexpr uint32_t kRuleAction = 40;
constexpr uint32_t kRuleProtocol = 11;
constexpr uint32_t kRuleDstPorts = 99;
constexpr uint32_t kMaxPort = 65535;

message badRequest(const std::string& why) { return bus::errorMsg(bus::kErrBadRequest, why); }

bool isRuleField(const bus::Field& f) { return f.id < 0xff0000 && f.id != bus::kFieldObjectId; }

// Checks a rule as it would be stored (after a set merged into it): ranges
// that would make no sense to a firewall are refused here, not applied.
message validateRule(const message& rule) {
  for (const bus::Field& f : rule.fields()) {
    if (f.type == FieldType::String && f.bytes.size() > NatTable::kMaxStringBytes) {
      return badRequest("field " + fieldIdText(f.id) + " too long");
    }
  }
  if (rule.getString(kRuleChain).empty()) return badRequest("missing chain (39)");
  if (!rule.has(kRuleAction)) return badRequest("missing action (40)");
  if (rule.getU32(kRuleProtocol) > 255) return badRequest("bad protocol (11)");
  if (rule.has(kRuleDstPorts)) {
    const std::vector<uint32_t> ports = rule.getU32Array(kRuleDstPorts);
    if (ports.size() != 2 || ports[0] > kMaxPort || ports[1] > kMaxPort || ports[0] > ports[1]) {
      return badRequest("bad destination port range (99)");
    }
  }
  if (rule.getU32(1002) > kMaxPort || rule.getU32(1003) > kMaxPort) return badRequest("bad target port (1002, 1003)");
  if (rule.has(1002) && rule.has(1003) && rule.getU32(1002) > rule.getU32(1003)) {
    return badRequest("bad target port range (1002, 1003)");
  }
  for (uint32_t start : {50u, 52u, 1000u}) {
    if (rule.has(start) && rule.has(start + 1) && rule.getBe32(start) > rule.getBe32(start + 1)) {
      return badRequest("bad address range (" + std::to_string(start) + ", " + std::to_string(start + 1) + ")");
    }
  }
  return {};
}

}  // namespace

NatTable::NatTable(RouterBackend& backend, uint32_t firstId)
    : mBackend(backend),
      mSchema({{bus::kFieldObjectId, FieldType::U32},
               {bus::kFieldDynamic, FieldType::Bool},
               {bus::kFieldDisabled, FieldType::Bool},
               {kFieldComment, FieldType::String},
               {kRuleChain, FieldType::String},
               {kRuleAction, FieldType::U32},
               {1, FieldType::U32},
               {kRuleProtocol, FieldType::U32},
               {kRuleDstPorts, FieldType::U32Array},
               {50, FieldType::Be32},
               {51, FieldType::Be32},
               {52, FieldType::Be32},
               {53, FieldType::Be32},
               {1000, FieldType::Be32},
               {1001, FieldType::Be32},
               {1002, FieldType::U32},
               {1003, FieldType::U32},
               {400, FieldType::Bool},
               {404, FieldType::Bool},
               {418, FieldType::Bool},
               {419, FieldType::Bool},
               {440, FieldType::Bool},
               {1006, FieldType::Bool},
               {1007, FieldType::Bool}},
              /*strict=*/true),
      mNextId(firstId != 0 ? firstId : 1) {}

uint32_t NatTable::freshIdBase() {
  uint32_t base = 0;
  // A router may boot with its clock at the epoch, so the clock alone would
  // repeat bases; the kernel's random pool does not.
  if (getrandom(&base, sizeof base, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof base)) {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    base = static_cast<uint32_t>(ts.tv_nsec) ^ static_cast<uint32_t>(ts.tv_sec) * 2654435761u ^
           static_cast<uint32_t>(getpid()) << 16;
  }
  return base != 0 ? base : 1;
}

uint32_t NatTable::takeId() {
  // At most kMaxRules ids are in use, so this ends quickly.
  while (mNextId == 0 || mRules.count(mNextId)) ++mNextId;
  return mNextId++;
}

void NatTable::noteOwner(uint32_t id, const message& rule) {
  const uint64_t link = looper() ? looper()->currentOrigin().link : 0;
  if (link != 0 && rule.getBool(bus::kFieldDynamic)) {
    mOwners[id] = link;
  } else if (link != 0 || !rule.getBool(bus::kFieldDynamic)) {
    mOwners.erase(id);
  }
}

void NatTable::onOriginGone(uint64_t originLink) {
  std::vector<uint32_t> gone;
  for (const auto& [id, link] : mOwners)
    if (link == originLink) gone.push_back(id);
  for (uint32_t id : gone) {
    bus::Status status = mBackend.removeRule(id);
    if (mTrace) {
      *mTrace << "nat remove rule " << id << " (its client went away): "
              << (status.isOk() ? std::string("ok") : "error " + status.text()) << std::endl;
    }
    // A rule the backend failed to remove stays listed, and no longer owned:
    // nobody will hold its id again.
    mOwners.erase(id);
    if (!status.isOk()) continue;
    mRules.erase(id);
    publish(id, true, message());
  }
}

message NatTable::handle(const message& request) {
  const uint32_t command = request.getU32(bus::kFieldCommand);
  switch (command) {
    case bus::kCmdAddObject:
    case bus::kCmdSetObject:
    case bus::kCmdRemoveObject:
      return handleLogged(command, request);
    case bus::kCmdGetObject: {
      auto it = mRules.find(request.getU32(bus::kFieldObjectId));
      if (!request.has(bus::kFieldObjectId) || it == mRules.end()) {
        return bus::errorMsg(bus::kErrNoSuchItem, "no such rule");
      }
      return record(it->first, it->second);
    }
    case bus::kCmdListObjects: {
      std::vector<std::pair<uint32_t, const message*>> all;
      for (const auto& [id, rule] : mRules) all.emplace_back(id, &rule);
      return PagedList::reply(request, all.size(),
                              [&](size_t i) { return record(all[i].first, *all[i].second); });
    }
    case kCmdNatRequests:
      return PagedList::reply(request, mLog.size(), [&](size_t i) { return logItem(mLog[i]); });
    case kCmdNatFailNext:
      return cmdFailNext(request);
    case kCmdNatReset:
      return cmdReset();
    default:
      break;
  }
  message reply;
  if (looper() && mPublisher.handleRequest(*looper(), request, reply)) return reply;
  return bus::errorMsg(bus::kErrUnknownCommand, "unknown command");
}

message NatTable::handleLogged(uint32_t command, const message& request) {
  LoggedRequest entry{mNextSeq++, command, 0, 0, "", withoutTransport(request)};
  uint32_t ruleId = 0;
  message reply;
  auto failure = mFailNext.find(command);
  if (failure != mFailNext.end()) {
    reply = bus::errorMsg(failure->second.code, failure->second.text);
    mFailNext.erase(failure);
  } else {
    reply = execute(command, request, ruleId);
  }
  entry.result = bus::getErrorCode(reply);
  entry.error = bus::getError(reply);
  entry.ruleId = ruleId;
  // Hostile or runaway clients must not grow the log without bound.
  if (entry.fields.encode().size() > kMaxLoggedBytes) {
    entry.fields = message();
    entry.error += entry.error.empty() ? "(fields too large to log)" : " (fields too large to log)";
  }
  if (mTrace) {
    *mTrace << "nat " << natCommandName(command) << " rule " << ruleId << ": "
            << (entry.result ? "error " + entry.error : std::string("ok")) << std::endl;
  }
  mLog.push_back(std::move(entry));
  while (mLog.size() > kMaxLogEntries) mLog.pop_front();
  return reply;
}

message NatTable::execute(uint32_t command, const message& request, uint32_t& ruleId) {
  message refusal = mSchema.check(request);
  if (bus::isError(refusal)) return refusal;
  if (command == bus::kCmdAddObject) return cmdAdd(request, ruleId);
  if (!request.has(bus::kFieldObjectId)) return badRequest("missing object id");
  ruleId = request.getU32(bus::kFieldObjectId);
  if (!mRules.count(ruleId)) return bus::errorMsg(bus::kErrNoSuchItem, "no such rule");
  return command == bus::kCmdSetObject ? cmdSetRule(request, ruleId) : cmdRemoveRule(request, ruleId);
}

message NatTable::cmdAdd(const message& request, uint32_t& ruleId) {
  if (mRules.size() >= kMaxRules) return bus::failedMsg("rule table full");
  message rule;
  for (const bus::Field& f : request.fields()) {
    if (isRuleField(f)) copyField(rule, f);
  }
  message refusal = validateRule(rule);
  if (bus::isError(refusal)) return refusal;
  const uint32_t id = takeId();
  bus::Status status = mBackend.applyRule(id, rule);
  if (!status.isOk()) return bus::failedMsg(status.text());
  ruleId = id;
  mRules[id] = rule;
  noteOwner(id, rule);
  publish(id, false, rule);
  message reply;
  reply.setU32(bus::kFieldObjectId, id);
  return reply;
}

message NatTable::cmdSetRule(const message& request, uint32_t& ruleId) {
  message rule = mRules[ruleId];
  for (const bus::Field& f : request.fields()) {
    if (isRuleField(f)) copyField(rule, f);
  }
  message refusal = validateRule(rule);
  if (bus::isError(refusal)) return refusal;
  bus::Status status = mBackend.applyRule(ruleId, rule);
  if (!status.isOk()) return bus::failedMsg(status.text());
  mRules[ruleId] = rule;
  noteOwner(ruleId, rule);
  publish(ruleId, false, rule);
  return {};
}

message NatTable::cmdRemoveRule(const message& request, uint32_t& ruleId) {
  (void)request;
  bus::Status status = mBackend.removeRule(ruleId);
  if (!status.isOk()) return bus::failedMsg(status.text());
  mRules.erase(ruleId);
  mOwners.erase(ruleId);
  publish(ruleId, true, message());
  return {};
}

message NatTable::cmdFailNext(const message& request) {
  const bus::Field* command = request.find(kFailFieldCommand);
  const bus::Field* code = request.find(kFailFieldCode);
  if (!command || command->type != FieldType::U32 || !code || code->type != FieldType::U32) {
    return badRequest("fail-next needs u32 fields 1 (command) and 2 (code)");
  }
  const uint32_t cmd = static_cast<uint32_t>(command->number);
  if (cmd != bus::kCmdAddObject && cmd != bus::kCmdSetObject && cmd != bus::kCmdRemoveObject) {
    return badRequest("fail-next: command must be add, set or remove");
  }
  if (code->number == 0) return badRequest("fail-next: code must not be 0");
  std::string text = request.getString(kFailFieldText, "injected failure");
  if (text.size() > kMaxStringBytes) text.resize(kMaxStringBytes);
  mFailNext[cmd] = Failure{static_cast<uint32_t>(code->number), text};
  return {};
}

message NatTable::cmdReset() {
  for (const auto& [id, rule] : mRules) {
    bus::Status status = mBackend.removeRule(id);
    if (!status.isOk()) return bus::failedMsg(status.text());
  }
  const std::map<uint32_t, message> gone = std::move(mRules);
  mRules.clear();
  mOwners.clear();
  for (const auto& [id, rule] : gone) publish(id, true, message());
  mLog.clear();
  mNextSeq = 1;
  mFailNext.clear();
  return {};
}

message NatTable::record(uint32_t id, const message& rule) const {
  message out;
  out.setU32(bus::kFieldObjectId, id);
  for (const bus::Field& f : rule.fields()) copyField(out, f);
  return out;
}

message NatTable::logItem(const LoggedRequest& entry) const {
  message out;
  out.setU32(kReqFieldSeq, entry.seq);
  out.setU32(kReqFieldCommand, entry.command);
  out.setU32(kReqFieldResult, entry.result);
  out.setU32(kReqFieldRuleId, entry.ruleId);
  out.setString(kReqFieldError, entry.error);
  out.setMessage(kReqFieldFields, entry.fields);
  return out;
}

void NatTable::publish(uint32_t id, bool removed, const message& rule) {
  if (looper()) mPublisher.publish(*looper(), id, removed, rule);
}

}  // namespace routerd
