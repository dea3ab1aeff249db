// routerctl: the console of routerd, the stand-in router. Talks to the
// router of this platform root ($ZELO_ROOT) over the bus.
//
// Exit status: 0 done, 1 refused or routerd not reachable, 2 bad arguments.

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "platform/routerd/key_values.h"
#include "platform/routerd/router_protocol.h"
#include "platform/tools/bus_client.h"
#include "platform/tools/console_table.h"

namespace {

using bus::message;
using routerd::KeyValues;
using tools::ConsoleTable;

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

const bus::Path kInterfaces{bus::kAddrRouter, routerd::kHandlerInterfaces};
const bus::Path kAddresses{bus::kAddrRouter, routerd::kHandlerAddresses};
const bus::Path kNat{bus::kAddrRouter, routerd::kHandlerNat};
const bus::Path kResolver{bus::kAddrResolver};
const bus::Path kIdentity{bus::kAddrIdentity};
const bus::Path kLog{bus::kAddrLog};

const char* kUsage =
    "usage: routerctl interface print\n"
    "       routerctl interface add name=NAME kernel=KERNEL-NAME [token=N] [running=yes|no] [disabled=yes|no]\n"
    "       routerctl interface set NAME-or-ID [name=..] [kernel=..] [token=N] [running=yes|no] [disabled=yes|no]\n"
    "                                          [rx-bytes=N] [tx-bytes=N] [rx-packets=N] [tx-packets=N]\n"
    "       routerctl interface remove NAME-or-ID\n"
    "       routerctl address print\n"
    "       routerctl address add address=A.B.C.D/P interface=NAME-or-ID [disabled=yes|no]\n"
    "       routerctl address remove ID | address=A.B.C.D[/P]\n"
    "       routerctl nat print [--raw]\n"
    "       routerctl nat requests [--raw]\n"
    "       routerctl nat fail-next command=add|set|remove code=N [text=TEXT]\n"
    "       routerctl nat reset\n"
    "       routerctl log print\n"
    "       routerctl identity print | set TEXT\n"
    "       routerctl resolver print | add name=HOST address=A.B.C.D\n";

struct Ctl {
  bus::Looper looper{0};  // client only
  tools::BusClient bus{looper, "routerctl", "routerd"};

  int usage(const std::string& why) {
    bus.error(why + " (see routerctl --help)");
    return kExitUsage;
  }
};

// ---- Field rendering (NAT rules and logged requests). ----

const std::map<uint32_t, const char*>& natFieldNames() {
  static const std::map<uint32_t, const char*> names = {
      {bus::kFieldObjectId, "id"}, {bus::kFieldDynamic, "dynamic"}, {bus::kFieldDisabled, "disabled"},
      {0xfe0009, "comment"}, {39, "chain"}, {40, "action"}, {1, "in-interface"}, {11, "protocol"},
      {99, "dst-port"}, {50, "src-address-from"}, {51, "src-address-to"}, {52, "dst-address-from"},
      {53, "dst-address-to"}, {1000, "to-address-from"}, {1001, "to-address-to"}, {1002, "to-port-from"},
      {1003, "to-port-to"}, {400, "in-interface-match"}, {404, "protocol-match"}, {418, "src-address-match"},
      {419, "dst-address-match"}, {440, "dst-port-match"}, {1006, "to-address-match"}, {1007, "to-port-match"},
      {bus::kFieldDestination, "destination"}};
  return names;
}

std::string idText(uint32_t id) {
  return id >= 0x10000 ? "0x" + tools::BusClient::hex(id) : std::to_string(id);
}

const char* typeText(bus::FieldType type) {
  switch (type) {
    case bus::FieldType::U32: return "u32";
    case bus::FieldType::Bool: return "bool";
    case bus::FieldType::String: return "str";
    case bus::FieldType::Be32: return "be32";
    case bus::FieldType::U64: return "u64";
    case bus::FieldType::U32Array: return "arr";
    case bus::FieldType::Message: return "msg";
  }
  return "?";
}

// `readable`: yes/no for bools, a-b for arrays; else 1/0 and a,b (raw form).
std::string valueText(const bus::Field& f, bool readable) {
  switch (f.type) {
    case bus::FieldType::U32:
    case bus::FieldType::U64:
      return std::to_string(f.number);
    case bus::FieldType::Bool:
      return readable ? tools::yesNo(f.number != 0) : (f.number ? "1" : "0");
    case bus::FieldType::String:
      return tools::quoted(f.bytes);
    case bus::FieldType::Be32:
      return IPAddr(static_cast<uint32_t>(f.number)).toString();
    case bus::FieldType::U32Array: {
      std::string out;
      for (uint32_t v : f.array) out += (out.empty() ? "" : (readable ? "-" : ",")) + std::to_string(v);
      return out;
    }
    case bus::FieldType::Message:
      return "{" + std::to_string(f.bytes.size()) + " bytes}";
  }
  return "?";
}

// Every field in order: "name=value" (readable) or "ID:TYPE=VALUE" (raw).
std::string fieldsText(const message& m, bool raw, uint32_t skip = 0xffffffff) {
  std::string out;
  for (const bus::Field& f : m.fields()) {
    if (f.id == skip) continue;
    if (!out.empty()) out += ' ';
    if (raw) {
      out += idText(f.id) + ":" + typeText(f.type) + "=" + valueText(f, false);
    } else {
      auto it = natFieldNames().find(f.id);
      out += (it == natFieldNames().end() ? idText(f.id) : it->second) + std::string("=") + valueText(f, true);
    }
  }
  return out;
}

// ---- interface ----

// Interface id of a name, or of a decimal id; 0 (after an error line) when none.
uint32_t resolveInterface(Ctl& ctl, const std::string& nameOrId) {
  std::vector<message> items;
  if (!ctl.bus.list(kInterfaces, bus::kCmdListObjects, items)) return 0;
  for (const message& m : items) {
    if (m.getString(routerd::kDevName) == nameOrId) return m.getU32(bus::kFieldObjectId);
  }
  std::optional<uint32_t> id = routerd::parseU32(nameOrId);
  for (const message& m : items) {
    if (id && m.getU32(bus::kFieldObjectId) == *id) return *id;
  }
  ctl.bus.error("no such interface '" + nameOrId + "'");
  return 0;
}

int interfacePrint(Ctl& ctl) {
  std::vector<message> items;
  if (!ctl.bus.list(kInterfaces, bus::kCmdListObjects, items)) return kExitFailed;
  ConsoleTable table({"ID", "NAME", "KERNEL", "INDEX", "TOKEN", "RUNNING", "DISABLED", "RX-BYTES", "TX-BYTES",
                      "RX-PACKETS", "TX-PACKETS"});
  for (const message& m : items) {
    message request, stats;
    request.setU32(bus::kFieldObjectId, m.getU32(bus::kFieldObjectId));
    request.setU32(bus::kFieldGetFlags, routerd::kGetFlagStats);
    if (!ctl.bus.call(kInterfaces, request, bus::kCmdGetObject, stats)) return kExitFailed;
    const bool running = (m.getU32(routerd::kDevStatus) & routerd::kStatusRunning) == routerd::kStatusRunning;
    table.addRow({std::to_string(m.getU32(bus::kFieldObjectId)), m.getString(routerd::kDevName),
                  m.getString(routerd::kDevKernelName), std::to_string(m.getU32(routerd::kDevIfIndex)),
                  std::to_string(m.getU32(routerd::kDevToken)), tools::yesNo(running),
                  tools::yesNo(m.getBool(bus::kFieldDisabled)), std::to_string(stats.getU64(routerd::kDevRxBytes)),
                  std::to_string(stats.getU64(routerd::kDevTxBytes)),
                  std::to_string(stats.getU64(routerd::kDevRxPackets)),
                  std::to_string(stats.getU64(routerd::kDevTxPackets))});
  }
  table.print(stdout);
  return kExitOk;
}

// Reads the interface arguments into `out`; false (with `why`) on a bad value.
bool interfaceFields(KeyValues& args, message& out, std::string& why) {
  static const std::pair<const char*, uint32_t> kStrings[] = {{"name", routerd::kDevName},
                                                              {"kernel", routerd::kDevKernelName}};
  static const std::pair<const char*, uint32_t> kCounters[] = {
      {"rx-bytes", routerd::kDevRxBytes}, {"tx-bytes", routerd::kDevTxBytes},
      {"rx-packets", routerd::kDevRxPackets}, {"tx-packets", routerd::kDevTxPackets}};
  for (const auto& [key, field] : kStrings) {
    if (auto v = args.take(key)) out.setString(field, *v);
  }
  if (auto v = args.take("token")) {
    std::optional<uint32_t> token = routerd::parseU32(*v);
    if (!token) return (why = "token must be a number", false);
    out.setU32(routerd::kDevToken, *token);
  }
  if (auto v = args.take("running")) {
    std::optional<bool> running = routerd::parseYesNo(*v);
    if (!running) return (why = "running must be yes or no", false);
    out.setU32(routerd::kDevStatus, *running ? routerd::kStatusRunning : 0);
  }
  if (auto v = args.take("disabled")) {
    std::optional<bool> disabled = routerd::parseYesNo(*v);
    if (!disabled) return (why = "disabled must be yes or no", false);
    out.setBool(bus::kFieldDisabled, *disabled);
  }
  for (const auto& [key, field] : kCounters) {
    if (auto v = args.take(key)) {
      std::optional<uint64_t> n = routerd::parseNumber(*v, UINT64_MAX);
      if (!n) return (why = std::string(key) + " must be a number", false);
      out.setU64(field, *n);
    }
  }
  return true;
}

// Parses the words after the sub-command; on failure returns false after the usage line.
bool parseArgs(Ctl& ctl, const std::vector<std::string>& words, size_t from, KeyValues& args, int& rc) {
  std::string why;
  if (!args.parse(std::vector<std::string>(words.begin() + static_cast<std::ptrdiff_t>(from), words.end()), why)) {
    rc = ctl.usage(why);
    return false;
  }
  return true;
}

bool leftovers(Ctl& ctl, const KeyValues& args, size_t positional, int& rc) {
  const std::string key = args.unused();
  if (!key.empty()) {
    rc = ctl.usage("unknown argument '" + key + "'");
    return true;
  }
  if (args.positional().size() != positional) {
    rc = ctl.usage(args.positional().size() > positional ? "unexpected '" + args.positional().back() + "'"
                                                         : "missing argument");
    return true;
  }
  return false;
}

int interfaceCmd(Ctl& ctl, const std::vector<std::string>& words) {
  const std::string sub = words.size() > 1 ? words[1] : "";
  if (sub == "print" && words.size() == 2) return interfacePrint(ctl);
  KeyValues args;
  int rc = kExitOk;
  if (!parseArgs(ctl, words, 2, args, rc)) return rc;
  message request, reply;
  std::string why;
  if (sub == "add") {
    if (!args.has("name") || !args.has("kernel")) return ctl.usage("interface add needs name= and kernel=");
    if (!interfaceFields(args, request, why)) return ctl.usage(why);
    if (leftovers(ctl, args, 0, rc)) return rc;
    if (!ctl.bus.call(kInterfaces, request, bus::kCmdAddObject, reply)) return kExitFailed;
    std::printf("%u\n", reply.getU32(bus::kFieldObjectId));
    return kExitOk;
  }
  if (sub == "set" || sub == "remove") {
    if (!interfaceFields(args, request, why)) return ctl.usage(why);
    if (leftovers(ctl, args, 1, rc)) return rc;
    if (sub == "remove" && !request.empty()) return ctl.usage("interface remove takes only NAME-or-ID");
    const uint32_t id = resolveInterface(ctl, args.positional()[0]);
    if (id == 0) return kExitFailed;
    request.setU32(bus::kFieldObjectId, id);
    const uint32_t command = sub == "set" ? bus::kCmdSetObject : bus::kCmdRemoveObject;
    return ctl.bus.call(kInterfaces, request, command, reply) ? kExitOk : kExitFailed;
  }
  return ctl.usage("unknown interface command");
}

// ---- address ----

int addressPrint(Ctl& ctl) {
  std::vector<message> addresses, interfaces;
  if (!ctl.bus.list(kAddresses, bus::kCmdListObjects, addresses)) return kExitFailed;
  if (!ctl.bus.list(kInterfaces, bus::kCmdListObjects, interfaces)) return kExitFailed;
  std::map<uint32_t, std::string> names;
  for (const message& m : interfaces) names[m.getU32(bus::kFieldObjectId)] = m.getString(routerd::kDevName);
  ConsoleTable table({"ID", "ADDRESS", "INTERFACE", "DISABLED"});
  for (const message& m : addresses) {
    const uint32_t ifId = m.getU32(routerd::kAddrFieldInterface);
    auto it = names.find(ifId);
    table.addRow({std::to_string(m.getU32(bus::kFieldObjectId)),
                  m.getBe32(routerd::kAddrFieldAddress).toString() + "/" +
                      std::to_string(m.getU32(routerd::kAddrFieldPrefix)),
                  it == names.end() ? "#" + std::to_string(ifId) : it->second,
                  tools::yesNo(m.getBool(bus::kFieldDisabled))});
  }
  table.print(stdout);
  return kExitOk;
}

int addressAdd(Ctl& ctl, KeyValues& args) {
  int rc = kExitOk;
  std::optional<std::string> address = args.take("address");
  std::optional<std::string> interface = args.take("interface");
  std::optional<std::string> disabled = args.take("disabled");
  if (leftovers(ctl, args, 0, rc)) return rc;
  if (!address || !interface) return ctl.usage("address add needs address= and interface=");
  std::optional<routerd::AddressPrefix> ap = routerd::parseAddressPrefix(*address);
  if (!ap) return ctl.usage("bad address '" + *address + "'");
  message request, reply;
  request.setBe32(routerd::kAddrFieldAddress, ap->address);
  request.setU32(routerd::kAddrFieldPrefix, ap->prefix);
  if (disabled) {
    std::optional<bool> value = routerd::parseYesNo(*disabled);
    if (!value) return ctl.usage("disabled must be yes or no");
    request.setBool(bus::kFieldDisabled, *value);
  }
  const uint32_t id = resolveInterface(ctl, *interface);
  if (id == 0) return kExitFailed;
  request.setU32(routerd::kAddrFieldInterface, id);
  if (!ctl.bus.call(kAddresses, request, bus::kCmdAddObject, reply)) return kExitFailed;
  std::printf("%u\n", reply.getU32(bus::kFieldObjectId));
  return kExitOk;
}

int addressRemove(Ctl& ctl, KeyValues& args) {
  int rc = kExitOk;
  std::optional<std::string> address = args.take("address");
  if (leftovers(ctl, args, address ? 0 : 1, rc)) return rc;
  uint32_t id = 0;
  if (address) {
    std::optional<routerd::AddressPrefix> ap = routerd::parseAddressPrefix(*address);
    if (!ap) return ctl.usage("bad address '" + *address + "'");
    std::vector<message> items;
    if (!ctl.bus.list(kAddresses, bus::kCmdListObjects, items)) return kExitFailed;
    for (const message& m : items) {
      if (m.getBe32(routerd::kAddrFieldAddress) == ap->address) id = m.getU32(bus::kFieldObjectId);
    }
    if (id == 0) {
      ctl.bus.error("no such address " + ap->address.toString());
      return kExitFailed;
    }
  } else {
    std::optional<uint32_t> n = routerd::parseU32(args.positional()[0]);
    if (!n) return ctl.usage("address remove needs an ID or address=");
    id = *n;
  }
  message request, reply;
  request.setU32(bus::kFieldObjectId, id);
  return ctl.bus.call(kAddresses, request, bus::kCmdRemoveObject, reply) ? kExitOk : kExitFailed;
}

int addressCmd(Ctl& ctl, const std::vector<std::string>& words) {
  const std::string sub = words.size() > 1 ? words[1] : "";
  if (sub == "print" && words.size() == 2) return addressPrint(ctl);
  KeyValues args;
  int rc = kExitOk;
  if (!parseArgs(ctl, words, 2, args, rc)) return rc;
  if (sub == "add") return addressAdd(ctl, args);
  if (sub == "remove") return addressRemove(ctl, args);
  return ctl.usage("unknown address command");
}

// ---- nat ----

int natPrint(Ctl& ctl, bool raw) {
  std::vector<message> rules;
  if (!ctl.bus.list(kNat, bus::kCmdListObjects, rules)) return kExitFailed;
  if (raw) {
    for (const message& r : rules) {
      std::printf("id=%u %s\n", r.getU32(bus::kFieldObjectId), fieldsText(r, true, bus::kFieldObjectId).c_str());
    }
    return kExitOk;
  }
  ConsoleTable table({"ID", "FLAGS", "RULE"});
  for (const message& r : rules) {
    std::string flags = std::string(r.getBool(bus::kFieldDisabled) ? "X" : "") + (r.getBool(bus::kFieldDynamic) ? "D" : "");
    table.addRow({std::to_string(r.getU32(bus::kFieldObjectId)), flags.empty() ? "-" : flags,
                  fieldsText(r, false, bus::kFieldObjectId)});
  }
  table.print(stdout);
  return kExitOk;
}

int natRequests(Ctl& ctl, bool raw) {
  std::vector<message> entries;
  if (!ctl.bus.list(kNat, routerd::kCmdNatRequests, entries)) return kExitFailed;
  ConsoleTable table({"SEQ", "COMMAND", "RULE", "RESULT", "FIELDS"});
  for (const message& e : entries) {
    const uint32_t result = e.getU32(routerd::kReqFieldResult);
    const message fields = e.getMessage(routerd::kReqFieldFields);
    if (raw) {
      std::printf("seq=%u command=%s rule=%u result=%u error=%s %s\n", e.getU32(routerd::kReqFieldSeq),
                  routerd::natCommandName(e.getU32(routerd::kReqFieldCommand)), e.getU32(routerd::kReqFieldRuleId), result,
                  tools::quoted(e.getString(routerd::kReqFieldError)).c_str(), fieldsText(fields, true).c_str());
      continue;
    }
    table.addRow({std::to_string(e.getU32(routerd::kReqFieldSeq)), routerd::natCommandName(e.getU32(routerd::kReqFieldCommand)),
                  std::to_string(e.getU32(routerd::kReqFieldRuleId)),
                  result ? "0x" + tools::BusClient::hex(result) + " " + e.getString(routerd::kReqFieldError) : "ok",
                  fieldsText(fields, false, bus::kFieldDestination)});
  }
  if (!raw) table.print(stdout);
  return kExitOk;
}

int natFailNext(Ctl& ctl, KeyValues& args) {
  int rc = kExitOk;
  std::optional<std::string> command = args.take("command");
  std::optional<std::string> code = args.take("code");
  std::optional<std::string> text = args.take("text");
  if (leftovers(ctl, args, 0, rc)) return rc;
  static const std::map<std::string, uint32_t> kCommands = {
      {"add", bus::kCmdAddObject}, {"set", bus::kCmdSetObject}, {"remove", bus::kCmdRemoveObject}};
  if (!command || !kCommands.count(*command)) return ctl.usage("command must be add, set or remove");
  std::optional<uint32_t> n = code ? routerd::parseU32(*code) : std::nullopt;
  if (!n || *n == 0) return ctl.usage("code must be a nonzero number");
  message request, reply;
  request.setU32(routerd::kFailFieldCommand, kCommands.at(*command));
  request.setU32(routerd::kFailFieldCode, *n);
  if (text) request.setString(routerd::kFailFieldText, *text);
  return ctl.bus.call(kNat, request, routerd::kCmdNatFailNext, reply) ? kExitOk : kExitFailed;
}

int natCmd(Ctl& ctl, const std::vector<std::string>& words) {
  const std::string sub = words.size() > 1 ? words[1] : "";
  const bool raw = words.size() == 3 && words[2] == "--raw";
  if ((sub == "print" || sub == "requests") && (words.size() == 2 || raw)) {
    return sub == "print" ? natPrint(ctl, raw) : natRequests(ctl, raw);
  }
  message reply;
  if (sub == "reset" && words.size() == 2) return ctl.bus.call(kNat, message(), routerd::kCmdNatReset, reply) ? 0 : 1;
  KeyValues args;
  int rc = kExitOk;
  if (!parseArgs(ctl, words, 2, args, rc)) return rc;
  if (sub == "fail-next") return natFailNext(ctl, args);
  return ctl.usage("unknown nat command");
}

// ---- log, identity, resolver ----

int logCmd(Ctl& ctl, const std::vector<std::string>& words) {
  if (words.size() != 2 || words[1] != "print") return ctl.usage("unknown log command");
  std::vector<message> lines;
  if (!ctl.bus.list(kLog, routerd::kCmdLogList, lines)) return kExitFailed;
  ConsoleTable table({"SEQ", "UPTIME", "TOPIC", "TEXT"});
  for (const message& l : lines) {
    table.addRow({std::to_string(l.getU32(routerd::kLogFieldSeq)), std::to_string(l.getU32(routerd::kLogFieldUptime)),
                  std::to_string(l.getU32(routerd::kLogFieldTopic)), l.getString(routerd::kLogFieldText)});
  }
  table.print(stdout);
  return kExitOk;
}

int identityCmd(Ctl& ctl, const std::vector<std::string>& words) {
  message request, reply;
  if (words.size() == 2 && words[1] == "print") {
    if (!ctl.bus.call(kIdentity, request, bus::kCmdGet, reply)) return kExitFailed;
    std::printf("identity: %s\n", reply.getString(routerd::kIdentityField).c_str());
    return kExitOk;
  }
  if (words.size() != 3 || words[1] != "set") return ctl.usage("identity print | identity set TEXT");
  request.setString(routerd::kIdentityField, words[2]);
  return ctl.bus.call(kIdentity, request, bus::kCmdSet, reply) ? kExitOk : kExitFailed;
}

int resolverCmd(Ctl& ctl, const std::vector<std::string>& words) {
  if (words.size() == 2 && words[1] == "print") {
    std::vector<message> items;
    if (!ctl.bus.list(kResolver, routerd::kCmdResolverList, items)) return kExitFailed;
    ConsoleTable table({"NAME", "ADDRESS"});
    for (const message& m : items) {
      table.addRow({m.getString(routerd::kResolveFieldName), m.getBe32(routerd::kResolveFieldAddress).toString()});
    }
    table.print(stdout);
    return kExitOk;
  }
  KeyValues args;
  int rc = kExitOk;
  if (words.size() < 2 || words[1] != "add") return ctl.usage("unknown resolver command");
  if (!parseArgs(ctl, words, 2, args, rc)) return rc;
  std::optional<std::string> name = args.take("name");
  std::optional<std::string> address = args.take("address");
  if (leftovers(ctl, args, 0, rc)) return rc;
  std::optional<IPAddr> ip = address ? IPAddr::parse(*address) : std::nullopt;
  if (!name || !ip) return ctl.usage("resolver add needs name=HOST address=A.B.C.D");
  message request, reply;
  request.setString(routerd::kResolveFieldName, *name);
  request.setBe32(routerd::kResolveFieldAddress, *ip);
  return ctl.bus.call(kResolver, request, routerd::kCmdResolverAdd, reply) ? kExitOk : kExitFailed;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> words(argv + 1, argv + argc);
  if (words.empty() || words[0] == "--help" || words[0] == "-h") {
    std::fputs(kUsage, words.empty() ? stderr : stdout);
    return words.empty() ? kExitUsage : kExitOk;
  }
  Ctl ctl;
  const std::string& area = words[0];
  if (area == "interface") return interfaceCmd(ctl, words);
  if (area == "address") return addressCmd(ctl, words);
  if (area == "nat") return natCmd(ctl, words);
  if (area == "log") return logCmd(ctl, words);
  if (area == "identity") return identityCmd(ctl, words);
  if (area == "resolver") return resolverCmd(ctl, words);
  return ctl.usage("unknown command '" + area + "'");
}
