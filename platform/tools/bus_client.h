#pragma once

// The bus side of the command-line tools (header only): one request at a time
// with a short time-out, errors turned into one line of text.

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "platform/looper.h"
#include "platform/message.h"
#include "platform/routerd/router_protocol.h"

namespace tools {

class BusClient {
 public:
  static constexpr uint32_t kTimeoutMs = 3000;

  // `tool` prefixes error lines; `service` names the peer in them ("routerd").
  // `looper` (a client Looper of the tool) must outlive the client.
  BusClient(bus::Looper& looper, const char* tool, const char* service)
      : mLooper(looper), mTool(tool), mService(service) {}

  // Sends `request` to `path`; the reply, or an error reply (nothing printed).
  bus::message callQuiet(const bus::Path& path, bus::message request, uint32_t command) {
    request.setU32Array(bus::kFieldDestination, path);
    return mLooper.exchangeCmd(request, command, kTimeoutMs);
  }

  // Sends `request` to `path` and returns true with the reply, or false after
  // writing one error line to stderr: "<tool>: <service> is not running",
  // "<tool>: <service> did not answer" or "<tool>: <error text of the reply>".
  bool call(const bus::Path& path, bus::message request, uint32_t command, bus::message& reply) {
    reply = callQuiet(path, std::move(request), command);
    if (!bus::isError(reply)) return true;
    const uint32_t code = bus::getErrorCode(reply);
    if (code == bus::kErrUnreachable) {
      error(std::string(mService) + " is not running");
    } else if (code == bus::kErrTimeout) {
      error(std::string(mService) + " did not answer");
    } else {
      std::string text = bus::getError(reply);
      error(text.empty() ? "refused (error 0x" + hex(code) + ")" : text);
    }
    return false;
  }

  // Every item of a paged list (router_protocol.h), or of a plain object-map
  // list (items under 1..n, no paging fields).
  bool list(const bus::Path& path, uint32_t command, std::vector<bus::message>& items) {
    uint32_t first = 0;
    for (int page = 0; page < 100000; ++page) {
      bus::message request;
      if (first) request.setU32(routerd::kFieldListFirst, first);
      bus::message reply;
      if (!call(path, request, command, reply)) return false;
      for (uint32_t n = 1; reply.has(n); ++n) items.push_back(reply.getMessage(n));
      if (!reply.has(routerd::kFieldListNext) || reply.getU32(routerd::kFieldListNext) <= first) return true;
      first = reply.getU32(routerd::kFieldListNext);
    }
    return true;
  }

  void error(const std::string& text) const { std::fprintf(stderr, "%s: %s\n", mTool, text.c_str()); }

  static std::string hex(uint32_t value) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%x", value);
    return buf;
  }

 private:
  bus::Looper& mLooper;
  const char* mTool;     // prefix of error lines
  const char* mService;  // name of the peer in error lines
};

}  // namespace tools
