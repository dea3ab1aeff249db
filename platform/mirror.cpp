#include "platform/mirror.h"

#include "platform/publisher.h"

namespace bus {
namespace {


Looper* loopOf(const Handler& handler) {
  return handler.looper() != nullptr ? handler.looper() : Looper::current();
}

// True when the service accepted the subscription.
bool sendSubscribe(Looper& looper, const Path& path, uint32_t handler) {
  message request;
  request.setU32Array(kFieldDestination, path);
  request.setU32(kFieldSubscriberHandler, handler);
  return !isError(looper.exchangeCmd(request, kCmdSubscribe, kReplyTimeoutMs));
}

void sendUnsubscribe(Looper& looper, const Path& path, uint32_t handler) {
  message request;
  request.setU32Array(kFieldDestination, path);
  request.setU32(kFieldSubscriberHandler, handler);
  looper.sendCmd(request, kCmdUnsubscribe);
}

constexpr uint32_t kRetryTicks = DeviceMirror::kRetryMs / ThinRunner::kTickMs;

}  // namespace

// ---- DeviceMirror ----

DeviceMirror::DeviceMirror() = default;

DeviceMirror::~DeviceMirror() { cleanup(); }

void DeviceMirror::setCallbacks(Filter filter, Changed changed) {
  mFilter = std::move(filter);
  mChanged = std::move(changed);
}

void DeviceMirror::subscribe() {
  Looper* looper = loopOf(*this);
  if (looper == nullptr) return;
  mSubscribed = true;
  mLinkUp = sendSubscribe(*looper, mPath, handlerNumber());
  if (!mLinkUp) mKick.start(kRetryTicks, [this] { retry(); });
}

void DeviceMirror::updateAsync(uint32_t id) {
  mWanted.insert(id);
  mPending.insert(id);
  // While the link is down the kick is a subscribe retry, which then fetches
  // everything wanted; firing it early only makes that happen sooner.
  mKick.start(0, [this] { mSubscribed && !mLinkUp ? retry() : flushPending(); });
}

void DeviceMirror::cleanup() {
  Looper* looper = loopOf(*this);
  if (mSubscribed && looper != nullptr) sendUnsubscribe(*looper, mPath, handlerNumber());
  mSubscribed = false;
  mLinkUp = false;
  mWanted.clear();
  mPending.clear();
  mKick.cancel();
}

void DeviceMirror::deliver(uint32_t id, const message& record) {
  DeviceEntry entry{id};
  if (mFilter) mFilter(entry);
  if (!entry.skip && mChanged) mChanged(id, record);
}

void DeviceMirror::flushPending() {
  Looper* looper = loopOf(*this);
  if (looper == nullptr) return;
  std::set<uint32_t> batch;
  batch.swap(mPending);
  for (uint32_t id : batch) {
    // A callback may have cleaned the mirror up (and subscribed it again).
    if (mSubscribed && !mLinkUp) {
      mPending.insert(id);
      continue;
    }
    message request;
    request.setU32Array(kFieldDestination, mPath);
    request.setU32(kFieldObjectId, id);
    const message reply = looper->exchangeCmd(request, kCmdGetObject, kReplyTimeoutMs);
    // Errors deliver nothing: an unknown device has no record, and a broken
    // link is followed by a resubscribe that asks for every wanted device again.
    if (!isError(reply)) deliver(id, reply);
  }
}

void DeviceMirror::retry() {
  Looper* looper = loopOf(*this);
  if (!mSubscribed || looper == nullptr) return;
  if (!sendSubscribe(*looper, mPath, handlerNumber())) {
    mKick.start(kRetryTicks, [this] { retry(); });
    return;
  }
  mLinkUp = true;
  if (mReconnected) mReconnected();
  // Whatever changed while the service was away is only known from fresh records.
  mPending.insert(mWanted.begin(), mWanted.end());
  flushPending();
}

message DeviceMirror::handle(const message& request) {
  if (request.getU32(kFieldCommand) != kCmdChanged) return errorMsg(kErrUnknownCommand, "unknown command");
  if (!mSubscribed) return message();
  const uint32_t id = request.getU32(kFieldObjectId);
  // A removed device has no record to report; its owner learns of it when the
  // records of the remaining devices or the addresses change.
  if (request.getBool(kFieldRemoved)) return message();
  const message record = request.getMessage(kFieldRecord);
  if (record.empty()) {
    updateAsync(id);  // a notice without data: fetch the record
    return message();
  }
  deliver(id, record);
  return message();
}

void DeviceMirror::onLinkDown(uint32_t address) {
  if (address != mPath[0] || !mSubscribed || !mLinkUp) return;
  mLinkUp = false;
  mKick.start(kRetryTicks, [this] { retry(); });
}

// ---- AMapMirror ----

AMapMirror::AMapMirror(Path path) : mPath(std::move(path)) {
  if (mPath.empty()) mPath = {0};
}

AMapMirror::~AMapMirror() { cleanup(); }

void AMapMirror::setCallbacks(Filter filter, Changed changed) {
  mFilter = std::move(filter);
  mChanged = std::move(changed);
}

void AMapMirror::subscribe() {
  Looper* looper = loopOf(*this);
  if (looper == nullptr) return;
  mSubscribed = true;
  mLinkUp = sendSubscribe(*looper, mPath, handlerNumber());
  if (!mLinkUp) mKick.start(kRetryTicks, [this] { retry(); });
}

void AMapMirror::refreshAsync() {
  mRefreshPending = true;
  mKick.start(0, [this] { retry(); });
}

void AMapMirror::cleanup() {
  Looper* looper = loopOf(*this);
  if (mSubscribed && looper != nullptr) sendUnsubscribe(*looper, mPath, handlerNumber());
  mSubscribed = false;
  mLinkUp = false;
  mRefreshPending = false;
  mChangePending = false;
  mObjects.clear();
  mKick.cancel();
}

bool AMapMirror::store(uint32_t id, const message& record) {
  std::unique_ptr<AObject> obj = makeObject();
  obj->load(record);
  obj->mId = id;
  Entry entry{*obj};
  if (mFilter) mFilter(entry);
  if (entry.skip) return mObjects.erase(id) != 0;
  mObjects[id] = std::move(obj);
  return true;
}

void AMapMirror::runRefresh() {
  Looper* looper = loopOf(*this);
  if (looper == nullptr) return;
  mRefreshPending = false;
  message request;
  request.setU32Array(kFieldDestination, mPath);
  const message reply = looper->exchangeCmd(request, kCmdListObjects, kReplyTimeoutMs);
  if (isError(reply)) {
    // Unreachable: the link-down notice brings a resubscribe and a refresh.
    // Refused: nothing to mirror.
    return;
  }
  std::map<uint32_t, std::unique_ptr<AObject>> fresh;
  for (const Field& f : reply.fields()) {
    if (f.type != FieldType::Message) continue;
    const message record = reply.getMessage(f.id);
    if (!record.has(kFieldObjectId)) continue;
    std::unique_ptr<AObject> obj = makeObject();
    obj->load(record);
    obj->mId = record.getU32(kFieldObjectId);
    Entry entry{*obj};
    if (mFilter) mFilter(entry);
    if (!entry.skip) fresh[obj->mId] = std::move(obj);
  }
  mObjects = std::move(fresh);
  mChangePending = false;
  if (mChanged) mChanged();
}

// The one kick of the mirror: resubscribes while the link is down, otherwise
// runs a pending refresh or reports the changes gathered since the last pass.
void AMapMirror::retry() {
  Looper* looper = loopOf(*this);
  if (looper == nullptr) return;
  if (mSubscribed && !mLinkUp) {
    if (!sendSubscribe(*looper, mPath, handlerNumber())) {
      mKick.start(kRetryTicks, [this] { retry(); });
      return;
    }
    mLinkUp = true;
    mRefreshPending = true;  // what changed meanwhile is unknown
  }
  if (mRefreshPending) {
    runRefresh();
  } else if (mChangePending) {
    mChangePending = false;
    if (mChanged) mChanged();
  }
}

message AMapMirror::handle(const message& request) {
  if (request.getU32(kFieldCommand) != kCmdChanged) return errorMsg(kErrUnknownCommand, "unknown command");
  if (!mSubscribed) return message();
  const uint32_t id = request.getU32(kFieldObjectId);
  const message record = request.getMessage(kFieldRecord);
  bool changed = false;
  if (request.getBool(kFieldRemoved)) {
    changed = mObjects.erase(id) != 0;
  } else if (record.empty()) {
    // A change of the map as a whole (its settings): only a listing tells.
    mRefreshPending = true;
    changed = true;
  } else {
    changed = store(id, record);
  }
  if (changed) {
    // Notices of one loop pass are reported by a single callback.
    mChangePending = true;
    if (!mKick.armed()) mKick.start(0, [this] { retry(); });
  }
  return message();
}

void AMapMirror::onLinkDown(uint32_t address) {
  if (address != mPath[0] || !mSubscribed || !mLinkUp) return;
  mLinkUp = false;
  mKick.start(kRetryTicks, [this] { retry(); });
}

}  // namespace bus
