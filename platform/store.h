#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "platform/message.h"
#include "platform/status.h"

namespace bus {

// Persisted records by id, kept in one file (router path, mapped by hostPath).
// Every set rewrites the file atomically. Loop thread only.
class Store {
 public:
  // Loads the file if it exists; a missing or corrupt file gives an empty store.
  explicit Store(std::string routerPath);
  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;

  bool isAllocated(uint32_t id) const { return mRecords.count(id) != 0; }
  // The record, or an empty message when none.
  message get(uint32_t id) const;
  Status set(uint32_t id, const message& record);

 private:
  std::string mPath;                    // host path of the file
  std::map<uint32_t, message> mRecords;
};

}  // namespace bus
