#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>

#include "platform/looper.h"
#include "platform/message.h"
#include "platform/publisher.h"
#include "platform/status.h"

namespace bus {

// An object of an AMap. Subclasses hold their own fields and say how they are
// saved to and loaded from a message (kFieldObjectId is handled by the map).
class AObject {
 public:
  AObject() = default;
  virtual ~AObject();

  // Is the object shown in lists? Default: yes.
  virtual bool isVisible() const { return true; }
  // Writes every field. The map adds kFieldObjectId.
  virtual void save(message& out) const = 0;
  // Reads every field present in `in`, each defaulting to the current value.
  virtual void load(const message& in) = 0;

  uint32_t id() const { return mId; }

 private:
  friend class AMap;
  friend class AMapMirror;  // mirrored copies carry the service's ids
  uint32_t mId = 0xffffffff;  // 0xffffffff until the map assigns an id
};

// A persisted map of typed objects with ids in [minId, maxId], served on the bus
// as a handler: add (kCmdAddObject, replies kFieldObjectId), set
// (kCmdSetObject with kFieldObjectId), remove (kCmdRemoveObject), get
// (kCmdGetObject with kFieldObjectId and kFieldGetFlags), list
// (kCmdListObjects: the reply holds each object as a nested message under
// field 1, 2, ...), get/set of the map's own settings (kCmdGet/kCmdSet, for
// subclasses), and change subscriptions (Publisher). Every accepted change is
// written to the file atomically before it is answered; a refused change leaves
// the map and its file untouched. Unknown ids give kErrNoSuchItem. If the file
// cannot be written, an accepted change stays in effect (its hook has acted on
// it) and the reply is failedMsg with the write error.
class AMap : public Handler {
 public:
  // `routerPath` is mapped by hostPath; "" keeps the map in memory only.
  // REQUIRES: 1 <= minId <= maxId (0 stands for "no free id").
  AMap(std::string routerPath, uint32_t minId, uint32_t maxId);
  ~AMap() override;

  // Loads the stored objects and passes each through onAddObj (objects that it
  // refuses are dropped). Subclasses that override it call AMap::init first.
  virtual void init();

  message handle(const message& request) override;

  // kCmdGet: default refuses with kErrUnknownCommand.
  virtual message cmdGet(const message& request);
  // kCmdSet: default refuses with kErrUnknownCommand.
  virtual message cmdSet(const message& request);
  // The object's fields plus kFieldObjectId; with bit kGetDefaults of `flags`
  // also the fields of a new object, nested under kFieldDefaults. Unknown id:
  // errorMsg(kErrNoSuchItem).
  virtual message getObject(uint32_t id, uint32_t flags);
  static constexpr uint32_t kGetDefaults = 0x20000000;
  static constexpr uint32_t kDefaultGetFlags = 5;

  const std::map<uint32_t, std::unique_ptr<AObject>>& objects() const { return mObjects; }
  const AObject* findObject(uint32_t id) const;

  // Keeps an undo record for a settings change (newest last, bounded).
  struct UndoRecord {
    message request;
    message undo;
    std::string text;
  };
  void sendUndo(const message& request, const message& undo, const std::string& text);
  const std::deque<UndoRecord>& undoLog() const { return mUndo; }
  // Pushes a change notice (see Publisher) to the map's subscribers.
  void notifyChange(uint32_t id, bool removed, const message* data);

 protected:
  // A new, default object of the map's type.
  virtual std::unique_ptr<AObject> makeObject() const = 0;
  // Hooks, called before a change; an error reply refuses it. `obj` has its id.
  virtual message onAdd(AObject& obj) = 0;
  virtual message onSet(const AObject& old, AObject& neu) = 0;
  virtual message onRemove(const AObject& obj) = 0;

 private:
  message cmdAdd(const message& request);
  message cmdSetObj(const message& request);
  message cmdRemove(const message& request);
  message cmdList() const;
  Status persist() const;
  uint32_t allocateId() const;  // 0 when full

  std::string mPath;    // host path, "" for memory only
  uint32_t mMinId;
  uint32_t mMaxId;
  std::map<uint32_t, std::unique_ptr<AObject>> mObjects;
  std::deque<UndoRecord> mUndo;
  Publisher mPublisher;
};

// The typed object-map layer: objects of type T, hooks that refuse by default
// with errorMsg(kErrNotAllowed, ""). The owner overrides the hooks it allows.
// On a set, `neu` is a copy of the old object with the request's fields loaded;
// if accepted it replaces the old object in the map.
template <class T>
class TypedAMap : public AMap {
 public:
  using AMap::AMap;

  virtual message onAddObj(T& obj) { (void)obj; return errorMsg(kErrNotAllowed, ""); }
  virtual message onSetObj(const T& old, T& neu) { (void)old; (void)neu; return errorMsg(kErrNotAllowed, ""); }
  virtual message onRemoveObj(const T& obj) { (void)obj; return errorMsg(kErrNotAllowed, ""); }

  const T* find(uint32_t id) const { return static_cast<const T*>(findObject(id)); }

 protected:
  std::unique_ptr<AObject> makeObject() const override { return std::make_unique<T>(); }
  message onAdd(AObject& obj) override { return onAddObj(static_cast<T&>(obj)); }
  message onSet(const AObject& old, AObject& neu) override {
    return onSetObj(static_cast<const T&>(old), static_cast<T&>(neu));
  }
  message onRemove(const AObject& obj) override { return onRemoveObj(static_cast<const T&>(obj)); }
};

}  // namespace bus
