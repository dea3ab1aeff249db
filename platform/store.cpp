#include "platform/store.h"

#include "platform/file_util.h"
#include "platform/paths.h"

namespace bus {

namespace {

// The file is one message whose fields are the records, each nested under its
// id. Anything else in it (a field that is not a valid nested message) makes the
// whole file count as corrupt: a half-trusted store is worse than an empty one.
std::map<uint32_t, message> loadRecords(const std::string& path) {
  std::map<uint32_t, message> records;
  std::optional<std::string> data = readFile(path);
  if (!data) return records;
  std::optional<message> file = message::decode(*data);
  if (!file) return records;
  for (const Field& f : file->fields()) {
    std::optional<message> record;
    if (f.type == FieldType::Message) record = message::decode(f.bytes);
    if (!record) return {};
    records[f.id] = std::move(*record);
  }
  return records;
}

}  // namespace

Store::Store(std::string routerPath) : mPath(routerPath.empty() ? "" : hostPath(routerPath)) {
  if (!mPath.empty()) mRecords = loadRecords(mPath);
}

message Store::get(uint32_t id) const {
  auto it = mRecords.find(id);
  return it == mRecords.end() ? message() : it->second;
}

Status Store::set(uint32_t id, const message& record) {
  std::map<uint32_t, message> next = mRecords;
  next[id] = record;
  if (!mPath.empty()) {
    message file;
    for (const auto& [recordId, rec] : next) file.setMessage(recordId, rec);
    // The record is only taken once it is on disk, so memory never claims more
    // than a restart would find.
    Status status = writeFileAtomic(mPath, file.encode());
    if (!status.isOk()) return status;
  }
  mRecords = std::move(next);
  return Status::ok();
}

}  // namespace bus
