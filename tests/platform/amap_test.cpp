#include "platform/amap.h"

#include <gtest/gtest.h>

#include "platform/file_util.h"
#include "tests/platform/temp_dir.h"

namespace bus {
namespace {

constexpr uint32_t kName = 1;  // string
constexpr uint32_t kPort = 2;  // u32
constexpr const char* kPath = "/zelo/store/amaptest";

class TestObj : public AObject {
 public:
  const char* typeName() const override { return "test object"; }
  void save(message& out) const override {
    out.setString(kName, mName);
    out.setU32(kPort, mPort);
  }
  void load(const message& in) override {
    mName = in.getString(kName, mName);
    mPort = in.getU32(kPort, mPort);
  }
  std::string mName;
  uint32_t mPort = 80;
};

// Refuses objects named "bad" (add, set, load) and removing "keep".
class TestMap : public TypedAMap<TestObj> {
 public:
  TestMap(uint32_t maxId = 0xfffffffe) : TypedAMap<TestObj>(kPath, 1, maxId) {}
  message onAddObj(TestObj& obj) override { return refuse(obj); }
  message onSetObj(const TestObj&, TestObj& neu) override { return refuse(neu); }
  message onRemoveObj(const TestObj& obj) override {
    return obj.mName == "keep" ? errorMsg(kErrNotAllowed, "kept") : message();
  }

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

  test::TempDir mDir;
  test::ScopedRoot mRoot{mDir.path()};
};

TEST_F(AMapTest, IdsAreLowestFreeAndChangesPersist) {
  TestMap map;
  message req = addReq("one", 1);
  req.setU32(kFieldObjectId, 77);  // the caller cannot choose the id
  EXPECT_EQ(map.handle(req).getU32(kFieldObjectId), 1u);
  EXPECT_EQ(add(map, "two"), 2u);
  EXPECT_EQ(add(map, "three"), 3u);
  EXPECT_FALSE(isError(map.handle(request(kCmdRemoveObject, 2))));
  EXPECT_EQ(add(map, "again", 8080), 2u);
  message set = request(kCmdSetObject, 2);
  set.setU32(kPort, 8081);  // name not given: keeps its value
  EXPECT_FALSE(isError(map.handle(set)));

  TestMap reloaded;
  reloaded.init();
  ASSERT_EQ(reloaded.objects().size(), 3u);
  EXPECT_EQ(reloaded.find(2)->mName, "again");
  EXPECT_EQ(reloaded.find(2)->mPort, 8081u);
  EXPECT_EQ(add(reloaded, "four"), 4u);
}

TEST_F(AMapTest, RefusedChangesLeaveMapAndFileUntouched) {
  TestMap map(3);
  const uint32_t id = add(map, "good", 10);
  const uint32_t kept = add(map, "keep", 11);
  const std::string before = fileBytes();
  EXPECT_EQ(getErrorCode(map.handle(addReq("bad"))), kErrExists);
  message set = request(kCmdSetObject, id);
  set.setString(kName, "bad");
  set.setU32(kPort, 99);
  EXPECT_EQ(getErrorCode(map.handle(set)), kErrExists);
  EXPECT_EQ(getErrorCode(map.handle(request(kCmdRemoveObject, kept))), kErrNotAllowed);
  EXPECT_EQ(fileBytes(), before);
  EXPECT_EQ(map.find(id)->mPort, 10u);

  add(map, "fills the map");
  const std::string full = fileBytes();
  EXPECT_EQ(getErrorCode(map.handle(addReq("one too many"))), kErrFailed);
  EXPECT_EQ(map.objects().size(), 3u);
  EXPECT_EQ(fileBytes(), full);

  const std::pair<message, uint32_t> unknown[] = {
      {request(kCmdSetObject, 5), kErrNoSuchItem}, {request(kCmdRemoveObject, 5), kErrNoSuchItem},
      {request(kCmdGetObject, 5), kErrNoSuchItem}, {request(kCmdSetObject), kErrNoSuchItem},
      {request(kCmdGet), kErrUnknownCommand},      {request(0x12345), kErrUnknownCommand},
  };
  for (const auto& [req, code] : unknown) EXPECT_EQ(getErrorCode(map.handle(req)), code) << req.toString();
  EXPECT_EQ(fileBytes(), full);
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
  file.setMessage(4, rec(200, "id out of range"));
  file.setMessage(5, rec(std::nullopt, "no id"));
  file.setU32(6, 1);                  // not a record at all
  file.setMessage(7, rec(9, "bad"));  // loads through the add hook, which refuses it
  ASSERT_TRUE(writeFileAtomic(mDir.path() + kPath, file.encode()).isOk());
  {
    TestMap map(100);
    map.init();
    ASSERT_EQ(map.objects().size(), 1u);
    EXPECT_EQ(map.find(4)->mName, "ok");
    EXPECT_EQ(add(map, "new"), 1u);
  }
  for (const std::string& bytes : {std::string("\xff\xff garbage"), file.encode().substr(0, 20)}) {
    ASSERT_TRUE(writeFileAtomic(mDir.path() + kPath, bytes).isOk());
    TestMap map;
    map.init();
    EXPECT_TRUE(map.objects().empty());
  }
}

}  // namespace
}  // namespace bus
