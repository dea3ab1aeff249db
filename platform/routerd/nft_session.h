#pragma once

#include <cstdint>
#include <string>

#include "platform/routerd/netlink.h"
#include "platform/status.h"

struct nft_ctx;

namespace routerd {

// A libnftables context that runs nft command text as one transaction, and
// learns the kernel handle of a rule it created from the kernel's nftables
// notifications (asking nft to echo it would make it read the whole ruleset
// on every change, which grows with the table). Not copyable.
class NftSession {
 public:
  NftSession() = default;
  ~NftSession();
  NftSession(const NftSession&) = delete;
  NftSession& operator=(const NftSession&) = delete;

  bus::Status open();
  // Runs `commands` (lines of nft syntax) all or nothing. With `newHandle`,
  // the batch must create exactly one rule in our nat chain; its handle is
  // stored there. Errors carry nft's message.
  bus::Status run(const std::string& commands, uint64_t* newHandle = nullptr);

 private:
  nft_ctx* mCtx = nullptr;
  NetlinkSocket mEvents;  // nftables notifications of this network namespace
};

}  // namespace routerd
