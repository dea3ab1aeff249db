#include "platform/amap.h"

#include "platform/file_util.h"
#include "platform/paths.h"

namespace bus {

namespace {

constexpr size_t kMaxUndo = 32;

message noSuchItem() { return errorMsg(kErrNoSuchItem, "no such item"); }

// An object as it is stored and listed: the map's id, then its own fields.
message record(const AObject& obj) {
  message m;
  m.setU32(kFieldObjectId, obj.id());
  obj.save(m);
  return m;
}

}  // namespace

AObject::~AObject() = default;

AMap::AMap(std::string routerPath, uint32_t minId, uint32_t maxId)
    : mPath(routerPath.empty() ? "" : hostPath(routerPath)), mMinId(minId), mMaxId(maxId) {}

AMap::~AMap() = default;

void AMap::init() {
  if (mPath.empty()) return;
  std::optional<std::string> data = readFile(mPath);
  if (!data) return;
  std::optional<message> file = message::decode(*data);
  if (!file) return;
  for (const Field& f : file->fields()) {
    if (f.type != FieldType::Message) continue;
    std::optional<message> rec = message::decode(f.bytes);
    if (!rec || !rec->has(kFieldObjectId)) continue;
    const uint32_t id = rec->getU32(kFieldObjectId);
    // A hand-edited or foreign file must not smuggle in ids the map would never
    // hand out, nor two objects under one id.
    if (id < mMinId || id > mMaxId || mObjects.count(id)) continue;
    std::unique_ptr<AObject> obj = makeObject();
    obj->load(*rec);
    obj->mId = id;
    if (isError(onAdd(*obj))) continue;
    mObjects[id] = std::move(obj);
  }
}

message AMap::handle(const message& request) {
  switch (request.getU32(kFieldCommand)) {
    case kCmdAddObject:
      return cmdAdd(request);
    case kCmdSetObject:
      return cmdSetObj(request);
    case kCmdRemoveObject:
      return cmdRemove(request);
    case kCmdGetObject:
      if (!request.has(kFieldObjectId)) return noSuchItem();
      return getObject(request.getU32(kFieldObjectId), request.getU32(kFieldGetFlags, kDefaultGetFlags));
    case kCmdListObjects:
      return cmdList();
    case kCmdGet:
      return cmdGet(request);
    case kCmdSet:
      return cmdSet(request);
    default:
      break;
  }
  message reply;
  if (looper() && mPublisher.handleRequest(*looper(), request, reply)) return reply;
  return errorMsg(kErrUnknownCommand, "unknown command");
}

message AMap::cmdGet(const message& request) {
  (void)request;
  return errorMsg(kErrUnknownCommand, "unknown command");
}

message AMap::cmdSet(const message& request) {
  (void)request;
  return errorMsg(kErrUnknownCommand, "unknown command");
}

message AMap::getObject(uint32_t id, uint32_t flags) {
  const AObject* obj = findObject(id);
  if (!obj) return noSuchItem();
  message reply = record(*obj);
  if (flags & kGetDefaults) {
    message defaults;
    makeObject()->save(defaults);
    reply.setMessage(kFieldDefaults, defaults);
  }
  return reply;
}

const AObject* AMap::findObject(uint32_t id) const {
  auto it = mObjects.find(id);
  return it == mObjects.end() ? nullptr : it->second.get();
}

message AMap::cmdAdd(const message& request) {
  std::unique_ptr<AObject> obj = makeObject();
  obj->load(request);
  const uint32_t id = allocateId();
  if (id == 0) return failedMsg("no free object id");
  obj->mId = id;
  message refusal = onAdd(*obj);
  if (isError(refusal)) return refusal;
  const message saved = record(*obj);
  AObject& added = *obj;
  mObjects[id] = std::move(obj);
  Status status = persist();
  // A change that would not survive a restart is not made: the hook's action
  // is undone through the opposite hook.
  if (!status.isOk()) {
    (void)onRemove(added);
    mObjects.erase(id);
    return failedMsg("cannot save: " + status.text());
  }
  notifyChange(id, false, &saved);
  message reply;
  reply.setU32(kFieldObjectId, id);
  return reply;
}

message AMap::cmdSetObj(const message& request) {
  if (!request.has(kFieldObjectId)) return noSuchItem();
  const uint32_t id = request.getU32(kFieldObjectId);
  auto it = mObjects.find(id);
  if (it == mObjects.end()) return noSuchItem();
  // The hook sees the old object untouched and a new one holding the old
  // values overlaid by the request; only if it agrees does the new one replace it.
  std::unique_ptr<AObject> neu = makeObject();
  message old;
  it->second->save(old);
  neu->load(old);
  neu->load(request);
  neu->mId = id;
  message refusal = onSet(*it->second, *neu);
  if (isError(refusal)) return refusal;
  const message saved = record(*neu);
  std::unique_ptr<AObject> previous = std::move(it->second);
  it->second = std::move(neu);
  Status status = persist();
  if (!status.isOk()) {
    std::unique_ptr<AObject> failed = std::move(it->second);
    it->second = std::move(previous);
    (void)onSet(*failed, *it->second);
    return failedMsg("cannot save: " + status.text());
  }
  notifyChange(id, false, &saved);
  return message();
}

message AMap::cmdRemove(const message& request) {
  if (!request.has(kFieldObjectId)) return noSuchItem();
  const uint32_t id = request.getU32(kFieldObjectId);
  auto it = mObjects.find(id);
  if (it == mObjects.end()) return noSuchItem();
  message refusal = onRemove(*it->second);
  if (isError(refusal)) return refusal;
  std::unique_ptr<AObject> removed = std::move(it->second);
  mObjects.erase(it);
  Status status = persist();
  if (!status.isOk()) {
    AObject& restored = *removed;
    mObjects[id] = std::move(removed);
    (void)onAdd(restored);
    return failedMsg("cannot save: " + status.text());
  }
  notifyChange(id, true, nullptr);
  return message();
}

message AMap::cmdList() const {
  message reply;
  uint32_t n = 0;
  for (const auto& [id, obj] : mObjects) {
    if (obj->isVisible()) reply.setMessage(++n, record(*obj));
  }
  return reply;
}

Status AMap::persist() const {
  if (mPath.empty()) return Status::ok();
  message file;
  uint32_t n = 0;
  for (const auto& [id, obj] : mObjects) file.setMessage(++n, record(*obj));
  return writeFileAtomic(mPath, file.encode());
}

uint32_t AMap::allocateId() const {
  // Lowest free id: walk the ordered keys until the first gap.
  uint64_t candidate = mMinId;
  for (auto it = mObjects.lower_bound(mMinId); it != mObjects.end() && it->first == candidate; ++it) {
    ++candidate;
  }
  return candidate <= mMaxId ? static_cast<uint32_t>(candidate) : 0;
}

void AMap::sendUndo(const message& request, const message& undo, const std::string& text) {
  mUndo.push_back(UndoRecord{request, undo, text});
  while (mUndo.size() > kMaxUndo) mUndo.pop_front();
}

void AMap::notifyChange(uint32_t id, bool removed, const message* data) {
  if (!looper()) return;
  mPublisher.publish(*looper(), id, removed, data ? *data : message());
}

}  // namespace bus
