#include "platform/routerd/router_config.h"

#include "platform/routerd/router_protocol.h"

namespace routerd {

namespace {

using bus::Status;

constexpr uint32_t kTimeoutMs = 3000;  // requests stay in this process; this is only a bound

Status bad(const std::string& why) { return Status::error(why); }

struct CounterKey {
  const char* key;
  uint32_t field;
};
constexpr CounterKey kCounterKeys[] = {
    {"rx-bytes", kDevRxBytes}, {"tx-bytes", kDevTxBytes}, {"rx-packets", kDevRxPackets}, {"tx-packets", kDevTxPackets}};

// Takes an optional yes/no argument into a bool field.
Status takeBool(KeyValues& args, const char* key, uint32_t field, bus::message& out) {
  std::optional<std::string> text = args.take(key);
  if (!text) return Status::ok();
  std::optional<bool> value = parseYesNo(*text);
  if (!value) return bad(std::string(key) + " must be yes or no");
  out.setBool(field, *value);
  return Status::ok();
}

Status noneLeft(const KeyValues& args) {
  const std::string key = args.unused();
  if (!key.empty()) return bad("unknown argument '" + key + "'");
  if (!args.positional().empty()) return bad("unexpected '" + args.positional().front() + "'");
  return Status::ok();
}

}  // namespace

Status RouterConfig::apply(std::string_view text) {
  size_t number = 0;
  while (!text.empty()) {
    const size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    ++number;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    Status status = applyLine(line);
    if (!status.isOk()) return bad("line " + std::to_string(number) + ": " + status.text());
  }
  return Status::ok();
}

Status RouterConfig::applyLine(std::string_view line) {
  std::vector<std::string> words = splitWords(line);
  if (words.empty() || words[0].starts_with("#")) return Status::ok();
  const std::string keyword = words[0];
  if (keyword == "identity") {
    if (words.size() != 2 || !mRouter.identity().setIdentity(words[1])) return bad("identity needs one printable word");
    return Status::ok();
  }
  if (keyword == "os-version") {
    // The rest of the line, as written: versions may hold blanks ("7.4 beta").
    std::string_view rest = line.substr(line.find("os-version") + 10);
    while (!rest.empty() && (rest.front() == ' ' || rest.front() == '\t')) rest.remove_prefix(1);
    while (!rest.empty() && (rest.back() == ' ' || rest.back() == '\t')) rest.remove_suffix(1);
    if (rest.empty()) return bad("os-version needs a text");
    mOsVersion = std::string(rest);
    return Status::ok();
  }
  KeyValues args;
  std::string error;
  if (!args.parse(std::vector<std::string>(words.begin() + 1, words.end()), error)) return bad(error);
  if (keyword == "interface") return lineInterface(args);
  if (keyword == "address") return lineAddress(args);
  if (keyword == "resolver") return lineResolver(args);
  if (keyword == "counters") return lineCounters(args);
  if (keyword == "program") return lineProgram(args);
  return bad("unknown statement '" + keyword + "'");
}

Status RouterConfig::lineInterface(KeyValues& args) {
  bus::message request;
  std::optional<std::string> name = args.take("name");
  std::optional<std::string> kernel = args.take("kernel");
  if (!name || !kernel) return bad("interface needs name= and kernel=");
  request.setString(kDevName, *name);
  request.setString(kDevKernelName, *kernel);
  if (std::optional<std::string> token = args.take("token")) {
    std::optional<uint32_t> value = parseU32(*token);
    if (!value) return bad("token must be a number");
    request.setU32(kDevToken, *value);
  }
  if (std::optional<std::string> running = args.take("running")) {
    std::optional<bool> value = parseYesNo(*running);
    if (!value) return bad("running must be yes or no");
    request.setU32(kDevStatus, *value ? kStatusRunning : 0);
  }
  Status status = takeBool(args, "disabled", bus::kFieldDisabled, request);
  if (status.isOk()) status = noneLeft(args);
  if (!status.isOk()) return status;
  return send(kHandlerInterfaces, request, bus::kCmdAddObject);
}

Status RouterConfig::lineAddress(KeyValues& args) {
  std::optional<std::string> address = args.take("address");
  std::optional<std::string> interface = args.take("interface");
  if (!address || !interface) return bad("address needs address= and interface=");
  std::optional<AddressPrefix> ap = parseAddressPrefix(*address);
  if (!ap) return bad("bad address '" + *address + "'");
  const uint32_t id = mRouter.interfaces().findByName(*interface);
  if (id == 0) return bad("no interface '" + *interface + "'");
  bus::message request;
  request.setBe32(kAddrFieldAddress, ap->address);
  request.setU32(kAddrFieldPrefix, ap->prefix);
  request.setU32(kAddrFieldInterface, id);
  Status status = takeBool(args, "disabled", bus::kFieldDisabled, request);
  if (status.isOk()) status = noneLeft(args);
  if (!status.isOk()) return status;
  return send(kHandlerAddresses, request, bus::kCmdAddObject);
}

Status RouterConfig::lineResolver(KeyValues& args) {
  std::optional<std::string> name = args.take("name");
  std::optional<std::string> address = args.take("address");
  if (!name || !address) return bad("resolver needs name= and address=");
  std::optional<IPAddr> ip = IPAddr::parse(*address);
  if (!ip || ip->isZero()) return bad("bad address '" + *address + "'");
  Status status = noneLeft(args);
  if (!status.isOk()) return status;
  if (!mRouter.resolver().add(*name, *ip)) return bad("bad resolver entry");
  return Status::ok();
}

Status RouterConfig::lineCounters(KeyValues& args) {
  std::optional<std::string> interface = args.take("interface");
  if (!interface) return bad("counters needs interface=");
  const uint32_t id = mRouter.interfaces().findByName(*interface);
  if (id == 0) return bad("no interface '" + *interface + "'");
  bus::message request;
  request.setU32(bus::kFieldObjectId, id);
  for (const CounterKey& c : kCounterKeys) {
    std::optional<std::string> text = args.take(c.key);
    if (!text) continue;
    std::optional<uint64_t> value = parseNumber(*text, UINT64_MAX);
    if (!value) return bad(std::string(c.key) + " must be a number");
    request.setU64(c.field, *value);
  }
  Status status = noneLeft(args);
  if (!status.isOk()) return status;
  return send(kHandlerInterfaces, request, bus::kCmdSetObject);
}

Status RouterConfig::lineProgram(KeyValues& args) {
  std::optional<std::string> address = args.take("address");
  std::optional<std::string> path = args.take("path");
  if (!address || !path) return bad("program needs address= and path=");
  ProgramSettings settings;
  std::optional<uint32_t> number = parseU32(*address);
  if (!number || *number == 0) return bad("bad program address '" + *address + "'");
  for (uint32_t own : {bus::kAddrRouter, bus::kAddrResolver, bus::kAddrLog, bus::kAddrIdentity}) {
    if (*number == own) return bad("address " + *address + " is routerd's own");
  }
  for (const ProgramSettings& p : mPrograms) {
    if (p.address == *number) return bad("address " + *address + " has a program already");
  }
  settings.address = *number;
  settings.path = *path;
  settings.log = args.take("log").value_or("");
  settings.pidFile = args.take("pid-file").value_or("");
  for (const std::string* file : {&settings.path, &settings.log, &settings.pidFile}) {
    if (!file->empty() && !file->starts_with("/")) return bad("'" + *file + "' is not an absolute path");
  }
  Status status = noneLeft(args);
  if (!status.isOk()) return status;
  mPrograms.push_back(settings);
  return Status::ok();
}

Status RouterConfig::send(uint32_t handler, bus::message request, uint32_t command) {
  request.setU32Array(bus::kFieldDestination, {bus::kAddrRouter, handler});
  bus::message reply = mLooper.exchangeCmd(request, command, kTimeoutMs);
  if (bus::isError(reply)) return bad(bus::getError(reply));
  return Status::ok();
}

}  // namespace routerd
