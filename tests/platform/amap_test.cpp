#include "platform/amap.h"

#include <gtest/gtest.h>

#include "platform/file_util.h"
#include "platform/looper.h"
#include "tests/platform/temp_dir.h"

namespace bus {
namespace {

constexpr uint32_t kName = 1;    // string
constexpr uint32_t kPort = 2;    // u32
constexpr uint32_t kHidden = 3;  // bool
constexpr const char* kPath = "/zelo/store/amaptest";

class TestObj : public AObject {
 public:
  const char* typeName() const override { return "test object"; }
  bool isVisible() const override { return !mHidden; }
  void save(message& out) const override {
    out.setString(kName, mName);
    out.setU32(kPort, mPort);
    out.setBool(kHidden, mHidden);
  }
  void load(const message& in) override {
    mName = in.getString(kName, mName);
    mPort = in.getU32(kPort, mPort);
    mHidden = in.getBool(kHidden, mHidden);
  }

  std::string mName;
  uint32_t mPort = 80;
  bool mHidden = false;
};

// Refuses objects named "bad" (add, set) and removing "keep"; remembers what
// the hooks saw.
class TestMap : public TypedAMap<TestObj> {
 public:
  TestMap(uint32_t maxId = 0xfffffffe) : TypedAMap<TestObj>(kPath, 1, maxId) {}

  message onAddObj(TestObj& obj) override {
    ++mAdds;
    mLastAddId = obj.id();
    return refuse(obj);
  }
  message onSetObj(const TestObj& old, TestObj& neu) override {
    mSeen = old.mName + ":" + std::to_string(old.mPort) + "/" + std::to_string(old.id()) + " -> " + neu.mName +
            ":" + std::to_string(neu.mPort) + "/" + std::to_string(neu.id());
    return refuse(neu);
  }
  message onRemoveObj(const TestObj& obj) override {
    return obj.mName == "keep" ? errorMsg(kErrNotAllowed, "kept") : message();
  }

  int mAdds = 0;
  uint32_t mLastAddId = 0;
  std::string mSeen;

 private:
  static message refuse(const TestObj& obj) {
    return obj.mName == "bad" ? errorMsg(kErrExists, "bad name") : message();
  }
};

message request(uint32_t command, std::optional<uint32_t> id = std::nullopt) {
  message m;
  m.setU32(kFieldCommand, command);
  if (id) m.setU32(kFieldObjectId, *id);
  return m;
}

message addReq(const std::string& name, uint32_t port = 80) {
  message m = request(kCmdAddObject);
  m.setString(kName, name);
  m.setU32(kPort, port);
  return m;
}

class AMapTest : public ::testing::Test {
 protected:
  std::string fileBytes() const { return readFile(mDir.path() + kPath).value_or("<none>"); }
  uint32_t add(TestMap& map, const std::string& name, uint32_t port = 80) {
    message reply = map.handle(addReq(name, port));
    EXPECT_FALSE(isError(reply)) << getError(reply);
    return reply.getU32(kFieldObjectId);
  }
  void remove(TestMap& map, uint32_t id) { EXPECT_FALSE(isError(map.handle(request(kCmdRemoveObject, id)))); }

  test::TempDir mDir;
  test::ScopedRoot mRoot{mDir.path()};
};

TEST_F(AMapTest, AddAssignsLowestFreeIdAndPersists) {
  TestMap map;
  message req = addReq("one", 1);
  req.setU32(kFieldObjectId, 77);  // the caller cannot choose the id
  EXPECT_EQ(map.handle(req).getU32(kFieldObjectId), 1u);
  EXPECT_EQ(map.mLastAddId, 1u);  // the hook already sees the id
  EXPECT_EQ(add(map, "two"), 2u);
  EXPECT_EQ(add(map, "three"), 3u);
  remove(map, 2);
  EXPECT_EQ(add(map, "again"), 2u);
  EXPECT_EQ(add(map, "four"), 4u);
  remove(map, 1);
  EXPECT_EQ(add(map, "first"), 1u);

  std::optional<message> file = message::decode(fileBytes());
  ASSERT_TRUE(file);
  ASSERT_EQ(file->fields().size(), 4u);
  EXPECT_EQ(file->getMessage(1).getU32(kFieldObjectId), 1u);
  EXPECT_EQ(file->getMessage(1).getString(kName), "first");
}

TEST_F(AMapTest, RefusedChangesLeaveMapAndFileUntouched) {
  TestMap map(3);
  const uint32_t id = add(map, "good", 10);
  const uint32_t kept = add(map, "keep", 11);
  const std::string before = fileBytes();

  message reply = map.handle(addReq("bad"));
  EXPECT_EQ(getErrorCode(reply), kErrExists);
  EXPECT_EQ(getError(reply), "bad name");
  message set = request(kCmdSetObject, id);
  set.setString(kName, "bad");
  set.setU32(kPort, 99);
  EXPECT_EQ(getErrorCode(map.handle(set)), kErrExists);
  EXPECT_EQ(getError(map.handle(request(kCmdRemoveObject, kept))), "kept");
  EXPECT_EQ(fileBytes(), before);
  EXPECT_EQ(map.find(id)->mName, "good");
  EXPECT_EQ(map.find(id)->mPort, 10u);
  ASSERT_EQ(map.objects().size(), 2u);

  add(map, "fills the map");
  const std::string full = fileBytes();
  EXPECT_EQ(getErrorCode(map.handle(addReq("one too many"))), kErrFailed);
  EXPECT_EQ(map.objects().size(), 3u);
  EXPECT_EQ(fileBytes(), full);
}

TEST_F(AMapTest, DefaultHooksRefuseWithNotAllowedAndAnEmptyText) {
  struct DefaultMap : public TypedAMap<TestObj> {
    DefaultMap() : TypedAMap<TestObj>(kPath, 1, 100) {}
  } map;
  message reply = map.handle(addReq("x"));
  EXPECT_EQ(getErrorCode(reply), kErrNotAllowed);
  EXPECT_EQ(getError(reply), "");
  EXPECT_TRUE(map.objects().empty());
  EXPECT_EQ(readFile(mDir.path() + kPath), std::nullopt);
}

TEST_F(AMapTest, SetOverlaysRequestOnOldValuesAndPersists) {
  TestMap map;
  const uint32_t id = add(map, "web", 8080);
  message set = request(kCmdSetObject, id);
  set.setU32(kPort, 8081);  // name not given: keeps its value
  EXPECT_FALSE(isError(map.handle(set)));
  EXPECT_EQ(map.mSeen, "web:8080/1 -> web:8081/1");
  EXPECT_EQ(map.find(id)->mName, "web");

  TestMap reloaded;
  reloaded.init();
  ASSERT_NE(reloaded.find(id), nullptr);
  EXPECT_EQ(reloaded.find(id)->mPort, 8081u);
}

TEST_F(AMapTest, UnknownIdsAndCommandsAreRefused) {
  TestMap map;
  add(map, "x");
  const std::pair<message, uint32_t> cases[] = {
      {request(kCmdSetObject, 5), kErrNoSuchItem},    {request(kCmdRemoveObject, 5), kErrNoSuchItem},
      {request(kCmdGetObject, 5), kErrNoSuchItem},    {request(kCmdSetObject), kErrNoSuchItem},
      {request(kCmdRemoveObject), kErrNoSuchItem},    {request(kCmdGetObject), kErrNoSuchItem},
      {request(kCmdGet), kErrUnknownCommand},         {request(kCmdSet), kErrUnknownCommand},
      {request(0), kErrUnknownCommand},               {request(0x12345), kErrUnknownCommand},
      {request(kCmdSubscribe), kErrUnknownCommand},
  };
  for (const auto& [req, code] : cases) {
    message reply = map.handle(req);
    EXPECT_EQ(getErrorCode(reply), code) << req.toString();
    EXPECT_EQ(getError(reply), code == kErrNoSuchItem ? "no such item" : "unknown command") << req.toString();
  }
}

TEST_F(AMapTest, GetReturnsFieldsAndDefaultsOnRequest) {
  TestMap map;
  const uint32_t id = add(map, "svc", 21);
  message reply = map.handle(request(kCmdGetObject, id));
  EXPECT_EQ(reply.getU32(kFieldObjectId), id);
  EXPECT_EQ(reply.getString(kName), "svc");
  EXPECT_EQ(reply.getU32(kPort), 21u);
  EXPECT_FALSE(reply.has(kFieldDefaults));  // default flags 5 ask for none

  message req = request(kCmdGetObject, id);
  req.setU32(kFieldGetFlags, AMap::kGetDefaults);
  const message defaults = map.handle(req).getMessage(kFieldDefaults);
  EXPECT_EQ(defaults.getString(kName, "?"), "");
  EXPECT_EQ(defaults.getU32(kPort), 80u);
  EXPECT_FALSE(defaults.has(kFieldObjectId));
}

TEST_F(AMapTest, ListHoldsVisibleObjectsInIdOrder) {
  TestMap map;
  add(map, "a");
  message hidden = addReq("h");
  hidden.setBool(kHidden, true);
  EXPECT_FALSE(isError(map.handle(hidden)));
  add(map, "c");
  remove(map, 1);
  add(map, "d");  // takes id 1 again
  message list = map.handle(request(kCmdListObjects));
  ASSERT_EQ(list.fields().size(), 2u);
  EXPECT_EQ(list.getMessage(1).getU32(kFieldObjectId), 1u);
  EXPECT_EQ(list.getMessage(1).getString(kName), "d");
  EXPECT_EQ(list.getMessage(2).getU32(kFieldObjectId), 3u);
}

TEST_F(AMapTest, InitReloadsThroughTheAddHook) {
  {
    TestMap map;
    add(map, "a", 1);
    add(map, "b", 2);
    add(map, "c", 3);
  }
  // Rewrite object 2's name so the hook refuses it on load.
  message file = *message::decode(fileBytes());
  message second = file.getMessage(2);
  second.setString(kName, "bad");
  file.setMessage(2, second);
  ASSERT_TRUE(writeFileAtomic(mDir.path() + kPath, file.encode()).isOk());

  TestMap map;
  map.init();
  EXPECT_EQ(map.mAdds, 3);
  ASSERT_EQ(map.objects().size(), 2u);
  EXPECT_EQ(map.find(1)->mPort, 1u);
  EXPECT_EQ(map.find(2), nullptr);
  EXPECT_EQ(add(map, "new"), 2u);
}

TEST_F(AMapTest, InitSkipsBadRecordsAndSurvivesCorruptFiles) {
  auto rec = [](std::optional<uint32_t> id, const std::string& name) {
    message m;
    if (id) m.setU32(kFieldObjectId, *id);
    m.setString(kName, name);
    return m;
  };
  message file;
  file.setMessage(1, rec(4, "ok"));
  file.setMessage(2, rec(4, "duplicate id"));
  file.setMessage(3, rec(0, "id below range"));
  file.setMessage(4, rec(200, "id above range"));
  file.setMessage(5, rec(std::nullopt, "no id"));
  file.setU32(6, 1);  // not a record at all
  ASSERT_TRUE(writeFileAtomic(mDir.path() + kPath, file.encode()).isOk());
  {
    TestMap map(100);
    map.init();
    ASSERT_EQ(map.objects().size(), 1u);
    EXPECT_EQ(map.find(4)->mName, "ok");
  }
  for (const std::string& bytes : {std::string("\xff\xff garbage"), file.encode().substr(0, 20)}) {
    ASSERT_TRUE(writeFileAtomic(mDir.path() + kPath, bytes).isOk());
    TestMap map;
    map.init();
    EXPECT_TRUE(map.objects().empty());
  }
}

TEST_F(AMapTest, MemoryOnlyMapWritesNoFile) {
  struct Mem : public TypedAMap<TestObj> {
    Mem() : TypedAMap<TestObj>("", 1, 10) {}
    message onAddObj(TestObj&) override { return message(); }
  } map;
  EXPECT_EQ(map.handle(addReq("m")).getU32(kFieldObjectId), 1u);
  EXPECT_EQ(map.objects().size(), 1u);
  EXPECT_TRUE(std::filesystem::is_empty(mDir.path()));
}

// Collects change notices pushed to it.
class NoticeSink : public Handler {
 public:
  message handle(const message& request) override {
    if (request.getU32(kFieldCommand) == kCmdChanged) notices.push_back(request);
    return message();
  }
  std::vector<message> notices;
};

TEST_F(AMapTest, SubscribersHearOfEveryAcceptedChange) {
  Looper loop(kAddrUpnp);
  TestMap map;
  NoticeSink sink;
  loop.addHandler(0, &map);
  loop.addHandler(1, &sink);
  auto send = [&](message req) {
    req.setU32Array(kFieldDestination, {kAddrUpnp, 0});
    return loop.exchangeCmd(req, req.getU32(kFieldCommand), 1000);
  };
  message sub = request(kCmdSubscribe);
  sub.setU32(kFieldSubscriberHandler, 1);
  ASSERT_FALSE(isError(send(sub)));

  const uint32_t id = send(addReq("n", 5)).getU32(kFieldObjectId);
  ASSERT_TRUE(loop.runUntil([&] { return sink.notices.size() == 1; }, 2000));
  EXPECT_TRUE(isError(send(addReq("bad"))));  // refused: no notice
  message set = request(kCmdSetObject, id);
  set.setU32(kPort, 6);
  ASSERT_FALSE(isError(send(set)));
  ASSERT_FALSE(isError(send(request(kCmdRemoveObject, id))));
  ASSERT_TRUE(loop.runUntil([&] { return sink.notices.size() >= 3; }, 2000));
  loop.runOnce(0);
  ASSERT_EQ(sink.notices.size(), 3u);

  EXPECT_EQ(sink.notices[0].getU32(kFieldObjectId), id);
  EXPECT_FALSE(sink.notices[0].getBool(kFieldRemoved));
  EXPECT_EQ(sink.notices[0].getMessage(kFieldRecord).getU32(kPort), 5u);
  EXPECT_EQ(sink.notices[1].getMessage(kFieldRecord).getU32(kPort), 6u);
  EXPECT_TRUE(sink.notices[2].getBool(kFieldRemoved));
}

TEST_F(AMapTest, UndoLogKeepsTheNewest32) {
  TestMap map;
  for (uint32_t i = 0; i < 40; ++i) map.sendUndo(request(i), message(), "change " + std::to_string(i));
  ASSERT_EQ(map.undoLog().size(), 32u);
  EXPECT_EQ(map.undoLog().front().request.getU32(kFieldCommand), 8u);
  EXPECT_EQ(map.undoLog().back().text, "change 39");
}

}  // namespace
}  // namespace bus
