#include "platform/amap.h"

#include <gtest/gtest.h>

#include "platform/file_util.h"
#include "tests/platform/temp_dir.h"

namespace bus {
namespace {

constexpr uint32_t kName = 1;  // string
constexpr uint32_t kPort = 2;  // u32
constexpr const char* kPath = "/zelo/store/amaptest";

struct TestObj : AObject {
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
struct TestMap : TypedAMap<TestObj> {
  TestMap(uint32_t maxId = 0xfffffffe) : TypedAMap<TestObj>(kPath, 1, maxId) {}
  message onAddObj(TestObj& obj) override { return refuse(obj); }
  message onSetObj(const TestObj&, TestObj& neu) override { return refuse(neu); }
  message onRemoveObj(const TestObj& obj) override {
    return obj.mName == "keep" ? errorMsg(kErrNotAllowed, "kept") : message();
  }
  static message refuse(const TestObj& obj) { return obj.mName == "bad" ? errorMsg(kErrExists, "bad") : message(); }
};

message request(uint32_t command, std::optional<uint32_t> id = std::nullopt, const char* name = nullptr,
                std::optional<uint32_t> port = std::nullopt) {
  message m;
  if (command) m.setU32(kFieldCommand, command);
  if (id) m.setU32(kFieldObjectId, *id);
  if (name) m.setString(kName, name);
  if (port) m.setU32(kPort, *port);
  return m;
}
// Ids are the lowest free ones, changes persist, refused ones touch neither the
// map nor the file.
TEST(AMapTest, IdsChangesRefusalsAndLoading) {
  test::TempDir dir;
  test::ScopedRoot root(dir.path());
  auto fileBytes = [&] { return readFile(dir.path() + kPath).value_or("<none>"); };
  auto add = [](TestMap& map, const char* name, uint32_t port = 80) {
    message reply = map.handle(request(kCmdAddObject, std::nullopt, name, port));
    return isError(reply) ? 0 : reply.getU32(kFieldObjectId);
  };
  TestMap map(4);
  EXPECT_EQ(map.handle(request(kCmdAddObject, 77, "one", 1)).getU32(kFieldObjectId), 1u);  // 77 is ignored
  EXPECT_EQ(add(map, "keep"), 2u);
  EXPECT_EQ(add(map, "three"), 3u);
  EXPECT_FALSE(isError(map.handle(request(kCmdRemoveObject, 1))));
  EXPECT_EQ(add(map, "again", 8080), 1u);
  EXPECT_FALSE(isError(map.handle(request(kCmdSetObject, 1, nullptr, 8081))));  // the name stays
  const std::string before = fileBytes();
  EXPECT_EQ(add(map, "bad"), 0u);
  EXPECT_EQ(getErrorCode(map.handle(request(kCmdSetObject, 1, "bad", 99))), kErrExists);
  EXPECT_EQ(getErrorCode(map.handle(request(kCmdRemoveObject, 2))), kErrNotAllowed);
  const std::pair<message, uint32_t> unknown[] = {
      {request(kCmdSetObject, 5), kErrNoSuchItem}, {request(kCmdRemoveObject, 5), kErrNoSuchItem},
      {request(kCmdGetObject, 5), kErrNoSuchItem}, {request(kCmdSetObject), kErrNoSuchItem},
      {request(kCmdGet), kErrUnknownCommand},      {request(0x12345), kErrUnknownCommand},
  };
  for (const auto& [req, code] : unknown) EXPECT_EQ(getErrorCode(map.handle(req)), code) << req.toString();
  EXPECT_EQ(fileBytes(), before);
  EXPECT_EQ(add(map, "fills the map"), 4u);
  EXPECT_EQ(getErrorCode(map.handle(request(kCmdAddObject, std::nullopt, "one too many"))), kErrFailed);

  TestMap reloaded;
  reloaded.init();
  ASSERT_EQ(reloaded.objects().size(), 4u);
  EXPECT_EQ(reloaded.find(1)->mName, "again");
  EXPECT_EQ(reloaded.find(1)->mPort, 8081u);
  EXPECT_EQ(add(reloaded, "five"), 5u);
}

}  // namespace
}  // namespace bus
