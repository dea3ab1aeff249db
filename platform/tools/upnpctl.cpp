// upnpctl: the configuration client of the UPnP daemon's handler [80, 0]: the
// three global settings and the "upnp interface" entries. Interface names are
// looked up in routerd's interface table.
//
// Exit status: 0 done, 1 refused or daemon not reachable, 2 bad arguments.

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

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

const bus::Path kConfig{bus::kAddrUpnp, 0};
const bus::Path kInterfaces{bus::kAddrRouter, routerd::kHandlerInterfaces};

// Global settings (bool fields of the settings object).
constexpr uint32_t kSetEnabled = 1;
constexpr uint32_t kSetAllowDisableExternal = 2;
constexpr uint32_t kSetShowDummyRule = 3;
// "upnp interface" entry fields.
constexpr uint32_t kEntryInterface = 1;
constexpr uint32_t kEntryType = 2;  // 1 external, 2 internal
constexpr uint32_t kEntryForcedIpEnabled = 3;
constexpr uint32_t kEntryForcedIp = 4;
constexpr uint32_t kTypeExternal = 1;
constexpr uint32_t kTypeInternal = 2;

const std::pair<const char*, uint32_t> kSettings[] = {{"enabled", kSetEnabled},
                                                      {"allow-disable-external", kSetAllowDisableExternal},
                                                      {"show-dummy-rule", kSetShowDummyRule}};

const char* kUsage =
    "usage: upnpctl print\n"
    "       upnpctl set [enabled=yes|no] [allow-disable-external=yes|no] [show-dummy-rule=yes|no]\n"
    "       upnpctl interface print\n"
    "       upnpctl interface add interface=NAME-or-ID type=internal|external [forced-ip=A.B.C.D|none]\n"
    "                             [disabled=yes|no]\n"
    "       upnpctl interface set ENTRY-ID|interface=NAME-or-ID [interface=..] [type=..] [forced-ip=..]\n"
    "                             [disabled=yes|no]\n"
    "       upnpctl interface remove ENTRY-ID|interface=NAME-or-ID\n";

struct Ctl {
  bus::Looper looper{0};  // client only
  tools::BusClient upnp{looper, "upnpctl", "upnpd"};
  tools::BusClient router{looper, "upnpctl", "routerd"};
  std::map<uint32_t, std::string> names;  // routerd interface id -> name
  bool namesLoaded = false;

  int usage(const std::string& why) {
    upnp.error(why + " (see upnpctl --help)");
    return kExitUsage;
  }

  // routerd's interface names; quietly empty when routerd does not answer.
  const std::map<uint32_t, std::string>& interfaceNames() {
    if (namesLoaded) return names;
    namesLoaded = true;
    message reply = router.callQuiet(kInterfaces, message(), bus::kCmdListObjects);
    if (bus::isError(reply)) return names;
    for (uint32_t n = 1; reply.has(n); ++n) {
      const message m = reply.getMessage(n);
      names[m.getU32(bus::kFieldObjectId)] = m.getString(routerd::kDevName);
    }
    return names;
  }
};

int printSettings(Ctl& ctl) {
  message reply;
  if (!ctl.upnp.call(kConfig, message(), bus::kCmdGet, reply)) return kExitFailed;
  for (const auto& [name, field] : kSettings) {
    std::printf("%24s: %s\n", name, tools::yesNo(reply.getBool(field)));
  }
  return kExitOk;
}

int setSettings(Ctl& ctl, const std::vector<std::string>& words) {
  KeyValues args;
  std::string why;
  if (!args.parse(std::vector<std::string>(words.begin() + 1, words.end()), why)) return ctl.usage(why);
  message request;
  for (const auto& [name, field] : kSettings) {
    std::optional<std::string> text = args.take(name);
    if (!text) continue;
    std::optional<bool> value = routerd::parseYesNo(*text);
    if (!value) return ctl.usage(std::string(name) + " must be yes or no");
    request.setBool(field, *value);
  }
  if (!args.unused().empty()) return ctl.usage("unknown setting '" + args.unused() + "'");
  if (!args.positional().empty()) return ctl.usage("unexpected '" + args.positional().front() + "'");
  if (request.empty()) return ctl.usage("set needs at least one setting");
  message reply;
  return ctl.upnp.call(kConfig, request, bus::kCmdSet, reply) ? kExitOk : kExitFailed;
}

// Interface id of a routerd name or of a decimal id; 0 (after an error line) when none.
uint32_t resolveInterface(Ctl& ctl, const std::string& nameOrId) {
  for (const auto& [id, name] : ctl.interfaceNames()) {
    if (name == nameOrId) return id;
  }
  if (std::optional<uint32_t> id = routerd::parseU32(nameOrId); id && *id != 0) return *id;
  ctl.upnp.error(ctl.interfaceNames().empty() ? "cannot look up interface '" + nameOrId + "': routerd is not running"
                                              : "no such interface '" + nameOrId + "'");
  return 0;
}

int interfacePrint(Ctl& ctl) {
  std::vector<message> entries;
  if (!ctl.upnp.list(kConfig, bus::kCmdListObjects, entries)) return kExitFailed;
  tools::ConsoleTable table({"ID", "FLAGS", "INTERFACE", "TYPE", "FORCED-IP"});
  for (const message& e : entries) {
    const uint32_t ifId = e.getU32(kEntryInterface);
    auto it = ctl.interfaceNames().find(ifId);
    std::string flags = std::string(e.getBool(bus::kFieldDisabled) ? "X" : "") + (e.getBool(bus::kFieldDynamic) ? "D" : "");
    const uint32_t type = e.getU32(kEntryType);
    table.addRow({std::to_string(e.getU32(bus::kFieldObjectId)), flags.empty() ? "-" : flags,
                  it == ctl.interfaceNames().end() ? std::to_string(ifId) : it->second + " (" + std::to_string(ifId) + ")",
                  type == kTypeExternal ? "external" : type == kTypeInternal ? "internal" : std::to_string(type),
                  e.getBool(kEntryForcedIpEnabled) ? e.getBe32(kEntryForcedIp).toString() : "-"});
  }
  table.print(stdout);
  return kExitOk;
}

// Reads type, forced-ip and disabled into `out`; false (with `why`) on a bad value.
bool entryFields(KeyValues& args, message& out, std::string& why) {
  if (std::optional<std::string> type = args.take("type")) {
    if (*type != "internal" && *type != "external") return (why = "type must be internal or external", false);
    out.setU32(kEntryType, *type == "external" ? kTypeExternal : kTypeInternal);
  }
  if (std::optional<std::string> forced = args.take("forced-ip")) {
    if (*forced == "none" || forced->empty()) {
      out.setBool(kEntryForcedIpEnabled, false);
    } else {
      std::optional<IPAddr> ip = IPAddr::parse(*forced);
      if (!ip) return (why = "forced-ip must be A.B.C.D or none", false);
      out.setBool(kEntryForcedIpEnabled, true);
      out.setBe32(kEntryForcedIp, *ip);
    }
  }
  if (std::optional<std::string> disabled = args.take("disabled")) {
    std::optional<bool> value = routerd::parseYesNo(*disabled);
    if (!value) return (why = "disabled must be yes or no", false);
    out.setBool(bus::kFieldDisabled, *value);
  }
  return true;
}

// The entry id named by a positional ENTRY-ID, or else by interface= (which
// is then consumed as the selector); 0 after an error line.
uint32_t selectEntry(Ctl& ctl, KeyValues& args, int& rc) {
  if (args.positional().size() == 1) {
    std::optional<uint32_t> id = routerd::parseU32(args.positional()[0]);
    if (id) return *id;
    rc = ctl.usage("bad entry id '" + args.positional()[0] + "'");
    return 0;
  }
  std::optional<std::string> interface = args.take("interface");
  if (!args.positional().empty() || !interface) {
    rc = ctl.usage("name the entry by its ID or by interface=");
    return 0;
  }
  rc = kExitFailed;
  const uint32_t ifId = resolveInterface(ctl, *interface);
  if (ifId == 0) return 0;
  std::vector<message> entries;
  if (!ctl.upnp.list(kConfig, bus::kCmdListObjects, entries)) return 0;
  for (const message& e : entries) {
    if (e.getU32(kEntryInterface) == ifId) return e.getU32(bus::kFieldObjectId);
  }
  ctl.upnp.error("no upnp interface entry for '" + *interface + "'");
  return 0;
}

int interfaceChange(Ctl& ctl, const std::string& sub, KeyValues& args) {
  int rc = kExitOk;
  std::string why;
  message request, reply;
  if (sub == "add") {
    std::optional<std::string> interface = args.take("interface");
    if (!interface || !args.has("type")) return ctl.usage("interface add needs interface= and type=");
    if (!entryFields(args, request, why)) return ctl.usage(why);
    if (!args.unused().empty()) return ctl.usage("unknown argument '" + args.unused() + "'");
    if (!args.positional().empty()) return ctl.usage("unexpected '" + args.positional().front() + "'");
    const uint32_t ifId = resolveInterface(ctl, *interface);
    if (ifId == 0) return kExitFailed;
    request.setU32(kEntryInterface, ifId);
    if (!ctl.upnp.call(kConfig, request, bus::kCmdAddObject, reply)) return kExitFailed;
    std::printf("%u\n", reply.getU32(bus::kFieldObjectId));
    return kExitOk;
  }
  const uint32_t entry = selectEntry(ctl, args, rc);
  if (entry == 0) return rc;
  if (sub == "set") {
    if (std::optional<std::string> interface = args.take("interface")) {
      const uint32_t ifId = resolveInterface(ctl, *interface);
      if (ifId == 0) return kExitFailed;
      request.setU32(kEntryInterface, ifId);
    }
    if (!entryFields(args, request, why)) return ctl.usage(why);
  }
  if (!args.unused().empty()) return ctl.usage("unknown argument '" + args.unused() + "'");
  request.setU32(bus::kFieldObjectId, entry);
  const uint32_t command = sub == "set" ? bus::kCmdSetObject : bus::kCmdRemoveObject;
  return ctl.upnp.call(kConfig, request, command, reply) ? kExitOk : kExitFailed;
}

int interfaceCmd(Ctl& ctl, const std::vector<std::string>& words) {
  const std::string sub = words.size() > 1 ? words[1] : "";
  if (sub == "print" && words.size() == 2) return interfacePrint(ctl);
  if (sub != "add" && sub != "set" && sub != "remove") return ctl.usage("unknown interface command");
  KeyValues args;
  std::string why;
  if (!args.parse(std::vector<std::string>(words.begin() + 2, words.end()), why)) return ctl.usage(why);
  return interfaceChange(ctl, sub, args);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> words(argv + 1, argv + argc);
  if (words.empty() || words[0] == "--help" || words[0] == "-h") {
    std::fputs(kUsage, words.empty() ? stderr : stdout);
    return words.empty() ? kExitUsage : kExitOk;
  }
  Ctl ctl;
  if (words[0] == "print" && words.size() == 1) return printSettings(ctl);
  if (words[0] == "set") return setSettings(ctl, words);
  if (words[0] == "interface") return interfaceCmd(ctl, words);
  return ctl.usage("unknown command '" + words[0] + "'");
}
