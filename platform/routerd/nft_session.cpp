#include "platform/routerd/nft_session.h"

#include <linux/netfilter.h>
#include <linux/netfilter/nfnetlink.h>
#include <linux/netlink.h>
#include <nftables/libnftables.h>

#include "platform/routerd/nft_rules.h"

namespace routerd {

namespace {

// nft's error text without its trailing newlines, on one line.
std::string oneLine(const char* text) {
  std::string out = text ? text : "";
  for (char& c : out) {
    if (c == '\n') c = ' ';
  }
  while (!out.empty() && out.back() == ' ') out.pop_back();
  return out.empty() ? "nft command failed" : out;
}

}  // namespace

NftSession::~NftSession() {
  if (mCtx) nft_ctx_free(mCtx);
}

bus::Status NftSession::open() {
  bus::Status status = mEvents.open(NETLINK_NETFILTER, {NFNLGRP_NFTABLES});
  if (!status.isOk()) return bus::Status::error("nftables events: " + status.text());
  mCtx = nft_ctx_new(NFT_CTX_DEFAULT);
  if (!mCtx) return bus::Status::error("nft_ctx_new failed");
  if (nft_ctx_buffer_output(mCtx) != 0 || nft_ctx_buffer_error(mCtx) != 0) {
    return bus::Status::error("nft: cannot buffer output");
  }
  return bus::Status::ok();
}

bus::Status NftSession::run(const std::string& commands, uint64_t* newHandle) {
  bool overflowed = false;
  // Whatever others changed before is not ours to read.
  bus::Status status = mEvents.drain([](std::string_view) {}, overflowed);
  if (!status.isOk()) return status;
  if (nft_run_cmd_from_buffer(mCtx, commands.c_str()) != 0) {
    return bus::Status::error("nft: " + oneLine(nft_ctx_get_error_buffer(mCtx)));
  }
  if (!newHandle) return bus::Status::ok();
  // The kernel queues its notifications before it acknowledges the batch, so
  // they are here now. Only routerd writes our table: the rule created in it
  // is the one just added.
  int found = 0;
  overflowed = false;
  status = mEvents.drain(
      [&](std::string_view msg) {
        std::optional<NftRuleEvent> event = parseNftNewRule(msg);
        if (event && event->family == NFPROTO_IPV4 && event->table == kNftTable && event->chain == kNftNatChain) {
          *newHandle = event->handle;
          ++found;
        }
      },
      overflowed);
  if (!status.isOk()) return status;
  if (found != 1) return bus::Status::error("nft: rule added but its handle was not reported");
  return bus::Status::ok();
}

}  // namespace routerd
