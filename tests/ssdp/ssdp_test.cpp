#include "ssdp/ssdp.h"

#include <dirent.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "http/response.h"
#include "tests/daemon/daemon_fixture.h"
#include "tests/ssdp/peer_network.h"

namespace upnp::test {
namespace {

using Targets = std::vector<std::pair<std::string, std::string>>;  // NT/ST -> USN, in order
using Strings = std::vector<std::string>;

const std::string kUdn = "UUID-QUENLARK-INTERNET-GATEWAY-DEVICE-TESTID";
const std::string kIgd = "urn:schemas-upnp-org:device:InternetGatewayDevice:1";

// The gateway's own targets, in map order.
Targets gatewayTargets() {
  const std::string osInfo = "urn:schemas-microsoft-com:service:OSInfo:1";
  return {{"upnp:rootdevice", "uuid:" + kUdn + "::upnp:rootdevice"},
          {osInfo, "uuid:" + kUdn + "::" + osInfo},
          {kIgd, "uuid:" + kUdn + "::" + kIgd},
          {"uuid:" + kUdn, "uuid:" + kUdn}};
}

// The targets of the WAN branch of router interface `id`, in map order.
Targets wanTargets(uint32_t id) {
  const std::string wan = "UUID-QUENLARK-WAN-DEVICE-TESTID-" + std::to_string(id);
  const std::string connection = "UUID-QUENLARK-WAN-CONNECTION-DEVICE-TESTID-" + std::to_string(id);
  const std::string urn = "urn:schemas-upnp-org:";
  auto of = [](const std::string& udn, const std::string& type) { return "uuid:" + udn + "::" + type; };
  return {{urn + "device:WANConnectionDevice:1", of(connection, urn + "device:WANConnectionDevice:1")},
          {urn + "device:WANDevice:1", of(wan, urn + "device:WANDevice:1")},
          {urn + "service:WANCommonInterfaceConfig:1", of(wan, urn + "service:WANCommonInterfaceConfig:1")},
          {urn + "service:WANIPConnection:1", of(connection, urn + "service:WANIPConnection:1")},
          {"uuid:" + connection, "uuid:" + connection},
          {"uuid:" + wan, "uuid:" + wan}};
}

// Everything with one external interface: both sets merged in map order.
Targets allTargets(uint32_t wanId) {
  const Targets own = gatewayTargets(), wan = wanTargets(wanId);
  Targets all(own.begin(), own.end() - 1);
  all.insert(all.end(), wan.begin(), wan.end() - 2);
  all.push_back(own.back());
  all.insert(all.end(), wan.end() - 2, wan.end());
  return all;
}

std::string location(const std::string& address) { return "http://" + address + ":2828/gateway.xml"; }

// The NOTIFY datagrams of one burst, byte for byte.
Strings notifies(const Targets& targets, const std::string& address, bool byebye) {
  Strings texts;
  for (const auto& [type, usn] : targets) {
    std::string text = "NOTIFY * HTTP/1.1\r\nHOST: 239.255.255.250:1900\r\n";
    if (!byebye) text += "CACHE-CONTROL: max-age=3600\r\nLOCATION: " + location(address) + "\r\n";
    text += "NT: " + type + "\r\nNTS: " + (byebye ? "ssdp:byebye" : "ssdp:alive") + "\r\n";
    if (!byebye) text += "SERVER: " + serverString() + "\r\n";
    texts.push_back(text + "USN: " + usn + "\r\n\r\n");
  }
  return texts;
}

// The search responses for `targets`, byte for byte.
Strings responses(const Targets& targets, const std::string& address) {
  Strings texts;
  for (const auto& [type, usn] : targets)
    texts.push_back("HTTP/1.1 200 OK\r\nCACHE-CONTROL: max-age=3600\r\nEXT: \r\nLOCATION: " + location(address) +
                    "\r\nSERVER: " + serverString() + "\r\nST: " + type + "\r\nUSN: " + usn + "\r\n\r\n");
  return texts;
}

Strings texts(const std::vector<Datagram>& datagrams) {
  Strings out;
  for (const Datagram& d : datagrams) out.push_back(d.text);
  return out;
}

std::string search(const std::string& target) {
  return "M-SEARCH * HTTP/1.1\r\nHOST: 239.255.255.250:1900\r\nMAN: \"ssdp:discover\"\r\nMX: 2\r\nST: " + target +
         "\r\n\r\n";
}

// The "sendAdverts" and "advert" lines of the daemon's output, in order.
Strings advertLines(const std::string& out) {
  Strings lines;
  for (size_t at = 0, end; at < out.size(); at = end + 1) {
    end = out.find('\n', at);
    if (end == std::string::npos) end = out.size();
    const std::string line = out.substr(at, end - at);
    if (line.rfind("sendAdverts ", 0) == 0 || line.rfind("advert ", 0) == 0) lines.push_back(line);
  }
  return lines;
}

size_t openDescriptors() {
  size_t n = 0;
  if (DIR* dir = opendir("/proc/self/fd")) {
    while (readdir(dir) != nullptr) ++n;
    closedir(dir);
  }
  return n;
}

// The daemon with two internal interfaces on links 0 and 1 towards LAN hosts
// in a peer namespace, each host with a group listener and a searcher.
class SsdpTest : public DaemonFixture {
 protected:
  void SetUp() override {
    if (!mNet.enter(2)) GTEST_SKIP() << "needs root for private network namespaces";
    ASSERT_EQ(system("ip link add w0 type veth peer name w1 && ip link set w0 up"), 0);
    for (int link : {0, 1}) {
      mListener[link] = mNet.groupListener(link);
      mSearcher[link] = mNet.searcher(link);
      ASSERT_GE(mListener[link], 0);
      ASSERT_GE(mSearcher[link], 0);
    }
    mDaemon->start();
    mLan[0] = addRouterInterface("lan", "v0", 2);
    mLanAddress[0] = addRouterAddress("10.9.0.1", mLan[0]);
    mLan[1] = addRouterInterface("lan2", "v2", 3);
    mLanAddress[1] = addRouterAddress("10.9.1.1", mLan[1]);
    ASSERT_FALSE(bus::isError(setSettings(1, -1, -1)));
    settle();
  }

  // Configures `id` with `type`; returns the entry's object id.
  uint32_t configure(uint32_t id, uint32_t type) {
    const uint32_t entry = addEntry(id, type).getU32(bus::kFieldObjectId);
    settle();
    return entry;
  }
  void unconfigure(uint32_t entry) {
    bus::message remove;
    remove.setU32(bus::kFieldObjectId, entry);
    EXPECT_FALSE(bus::isError(config(remove, bus::kCmdRemoveObject)));
    settle();
  }
  // Starts the internal interface of `link` and forgets its start burst.
  uint32_t startLan(int link) {
    const uint32_t entry = configure(mLan[link], kTypeInternal);
    EXPECT_TRUE(record(mLan[link]) && record(mLan[link])->started);
    for (int fd : mListener) PeerNetwork::drain(fd, 20);
    return entry;
  }
  uint32_t addWanInterface() {
    mWan = addRouterInterface("wan", "w0", 1);
    addRouterAddress("10.9.9.1", mWan);
    settle();
    return mWan;
  }
  // Sends `request` from the host on `link` and returns the replies it got.
  std::vector<Datagram> ask(int link, const std::string& request) {
    EXPECT_TRUE(PeerNetwork::sendToGroup(mSearcher[link], request));
    settle(100);
    return PeerNetwork::drain(mSearcher[link]);
  }
  std::vector<Datagram> heard(int link) { return PeerNetwork::drain(mListener[link]); }

  PeerNetwork mNet;
  int mListener[2] = {-1, -1};
  int mSearcher[2] = {-1, -1};
  uint32_t mLan[2] = {0, 0};
  uint32_t mLanAddress[2] = {0, 0};  // the router's address entries of the two
  uint32_t mWan = 0;
};

TEST_F(SsdpTest, StartAnnouncesFourTargetsFromTheInterfaceAddressAndStopSaysByebye) {
  testing::internal::CaptureStdout();
  const uint32_t entry = configure(mLan[0], kTypeInternal);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("start int: lan 10.9.0.1\nsendAdverts lan 4 alive\n"), std::string::npos) << out;
  const std::vector<Datagram> got = heard(0);
  EXPECT_EQ(texts(got), notifies(gatewayTargets(), "10.9.0.1", false));
  for (const Datagram& d : got) {
    EXPECT_EQ(d.source, "10.9.0.1");
    EXPECT_EQ(d.port, 1900);
  }
  EXPECT_TRUE(heard(1).empty());

  // Byebye carries no CACHE-CONTROL, LOCATION or SERVER.
  testing::internal::CaptureStdout();
  unconfigure(entry);
  out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("stop int: lan\nsendAdverts lan 4 byebye\n"), std::string::npos) << out;
  EXPECT_EQ(texts(heard(0)), notifies(gatewayTargets(), "", true));
}

// Header names match in any case; their values must match exactly.
TEST_F(SsdpTest, SearchRequestChecks) {
  startLan(0);
  const std::string head = "M-SEARCH * HTTP/1.1\r\n";
  const std::string host = "HOST: 239.255.255.250:1900\r\n", man = "MAN: \"ssdp:discover\"\r\n";
  const std::string mx = "MX: 1\r\n", st = "ST: upnp:rootdevice\r\n";
  const struct {
    const char* what;
    std::string request;
    bool answered;
  } cases[] = {
      {"other version", "M-SEARCH * HTTP/1.0\r\n" + host + man + mx + st + "\r\n", false},
      {"method in lower case", "m-search * HTTP/1.1\r\n" + host + man + mx + st + "\r\n", false},
      {"a NOTIFY", "NOTIFY * HTTP/1.1\r\n" + host + man + mx + st + "\r\n", false},
      {"HOST without port", head + "HOST: 239.255.255.250\r\n" + man + mx + st + "\r\n", false},
      {"HOST port 01900", head + "HOST: 239.255.255.250:01900\r\n" + man + mx + st + "\r\n", false},
      {"HOST missing", head + man + mx + st + "\r\n", false},
      {"MAN without quotes", head + host + "MAN: ssdp:discover\r\n" + mx + st + "\r\n", false},
      {"MAN missing", head + host + mx + st + "\r\n", false},
      {"MX missing", head + host + man + st + "\r\n", false},
      {"ST missing", head + host + man + mx + "\r\n", false},
      {"ST written S-T", head + host + man + mx + "S-T: upnp:rootdevice\r\n\r\n", false},
      {"names in lower case",
       head + "host: 239.255.255.250:1900\r\nman: \"ssdp:discover\"\r\nmx: 1\r\nst: upnp:rootdevice\r\n\r\n", true},
      {"names in mixed case",
       head + "Host: 239.255.255.250:1900\r\nMan: \"ssdp:discover\"\r\nMx: 1\r\nSt: upnp:rootdevice\r\n\r\n", true},
      {"MX 0", head + host + man + "MX: 0\r\n" + st + "\r\n", true},
      {"MX 120", head + host + man + "MX: 120\r\n" + st + "\r\n", true},
      {"MX empty", head + host + man + "MX:\r\n" + st + "\r\n", true},
      {"ST first", head + st + host + man + mx + "\r\n", true},
      {"no closing blank line", head + host + man + mx + st, true},
  };
  for (const auto& c : cases) {
    // The valid search that follows proves the first one was read before.
    EXPECT_TRUE(PeerNetwork::sendToGroup(mSearcher[0], c.request));
    testing::internal::CaptureStdout();
    const std::vector<Datagram> got = ask(0, search("uuid:" + kUdn));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "") << c.what;
    Targets expected = {gatewayTargets()[3]};
    if (c.answered) expected.insert(expected.begin(), gatewayTargets()[0]);
    EXPECT_EQ(texts(got), responses(expected, "10.9.0.1")) << c.what;
  }
}

TEST_F(SsdpTest, TargetsMatchExactlyAndSsdpAllAnswersEveryTargetInMapOrderFromPort1900) {
  addWanInterface();
  configure(mWan, kTypeExternal);
  startLan(0);
  startLan(1);
  const Targets all = allTargets(mWan);
  const struct {
    std::string target;
    Targets expected;
  } kCases[] = {
      {"upnp:rootdevice", {all[0]}},
      {kIgd, {all[2]}},
      {"urn:schemas-upnp-org:service:WANIPConnection:1", {wanTargets(mWan)[3]}},
      {"uuid:" + kUdn, {gatewayTargets()[3]}},
      {"urn:schemas-upnp-org:device:InternetGatewayDevice:2", {}},
      {"UPNP:ROOTDEVICE", {}},
      {"ssdp:all ", {}},
      {"", {}},
  };
  for (const auto& c : kCases)
    EXPECT_EQ(texts(ask(0, search(c.target))), responses(c.expected, "10.9.0.1")) << c.target;

  const size_t descriptors = openDescriptors();
  for (int link : {0, 1}) {
    const std::string address = PeerNetwork::routerAddress(link);
    const std::vector<Datagram> got = ask(link, search("ssdp:all"));
    EXPECT_EQ(texts(got), responses(all, address));
    for (const Datagram& d : got) {
      EXPECT_EQ(d.source, address);
      EXPECT_EQ(d.port, 1900);
    }
  }
  // Every reply socket was closed again.
  EXPECT_EQ(openDescriptors(), descriptors);
}

TEST_F(SsdpTest, RepliesLeaveFromTheInterfaceAddressEvenWhenItIsNotThePrimaryOne) {
  ASSERT_EQ(system("ip addr add 10.9.0.5/24 dev v0"), 0);  // secondary: the kernel would pick 10.9.0.1
  removeRouterAddress(mLanAddress[0]);
  addRouterAddress("10.9.0.5", mLan[0]);
  configure(mLan[0], kTypeInternal);
  EXPECT_EQ(texts(heard(0)), notifies(gatewayTargets(), "10.9.0.5", false));
  const std::vector<Datagram> got = ask(0, search("upnp:rootdevice"));
  EXPECT_EQ(texts(got), responses({gatewayTargets()[0]}, "10.9.0.5"));
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].source, "10.9.0.5");
  EXPECT_EQ(got[0].port, 1900);
}

TEST_F(SsdpTest, TypeSharedByTwoEmbeddedDevicesIsAnsweredTwiceInInsertionOrder) {
  startLan(0);
  Gateway& gateway = mDaemon->gateway;
  const std::string type = "schemas-upnp-org:device:Shared:1";
  for (const char* udn : {"B-FIRST", "A-SECOND"}) {
    Device device;
    device.info.deviceType = type;
    device.info.UDN = udn;
    addDeviceCopy(gateway.embeddedDevices, device);
  }
  gateway.refreshTargets();
  const Targets expected = {{"urn:" + type, "uuid:B-FIRST::urn:" + type},
                            {"urn:" + type, "uuid:A-SECOND::urn:" + type}};
  EXPECT_EQ(texts(ask(0, search("urn:" + type))), responses(expected, "10.9.0.1"));
}

TEST_F(SsdpTest, DatagramsAreReadFromTheirFirst4096Bytes) {
  startLan(0);
  const std::string front = "M-SEARCH * HTTP/1.1\r\nHOST: 239.255.255.250:1900\r\nMAN: \"ssdp:discover\"\r\n";
  // Pads with an X-PAD header so that `tail` ends exactly at byte `end`.
  auto padded = [&](const std::string& tail, size_t end) {
    const size_t fill = end - front.size() - tail.size() - std::string("X-PAD: \r\n").size();
    return front + "X-PAD: " + std::string(fill, 'p') + "\r\n" + tail;
  };
  const std::string mxAndSt = "MX: 1\r\nST: upnp:rootdevice\r";  // its final CR is byte 4096
  const std::string inside = padded(mxAndSt, 4096) + "\nX-MORE: " + std::string(2000, 'm') + "\r\n\r\n";
  EXPECT_EQ(texts(ask(0, inside)), responses({gatewayTargets()[0]}, "10.9.0.1"));

  // The CR that would complete the MX line is byte 4097.
  const std::string beyond = padded("ST: upnp:rootdevice\r\nMX: 1", 4096) + "\r\n\r\n";
  EXPECT_TRUE(ask(0, beyond).empty());
}

TEST_F(SsdpTest, TwoInternalInterfacesAnnounceTheirOwnLocationAndKeepTheirOwnTimers) {
  startLan(0);
  configure(mLan[1], kTypeInternal);
  EXPECT_TRUE(heard(0).empty());
  EXPECT_EQ(texts(heard(1)), notifies(gatewayTargets(), "10.9.1.1", false));
  InterfaceState* first = record(mLan[0]);
  InterfaceState* second = record(mLan[1]);
  ASSERT_TRUE(first->advertTimer.armed());
  ASSERT_TRUE(second->advertTimer.armed());

  // Fire the first interface's own timer now: its callback announces on that
  // interface alone and arms itself again.
  first->advertTimer.start(0);
  settle(50);
  EXPECT_EQ(texts(heard(0)), notifies(gatewayTargets(), "10.9.0.1", false));
  EXPECT_TRUE(heard(1).empty());
  EXPECT_TRUE(first->advertTimer.armed());
  EXPECT_TRUE(second->advertTimer.armed());

  second->advertTimer.start(0);
  settle(50);
  EXPECT_TRUE(heard(0).empty());
  EXPECT_EQ(texts(heard(1)), notifies(gatewayTargets(), "10.9.1.1", false));
}

TEST_F(SsdpTest, ExternalStartAndStopChangeTheAnnouncedSetOnEveryInterface) {
  startLan(0);
  startLan(1);
  addWanInterface();
  // Start: byebye for the old set, then alive for the new one.
  testing::internal::CaptureStdout();
  const uint32_t entry = configure(mWan, kTypeExternal);
  EXPECT_EQ(advertLines(testing::internal::GetCapturedStdout()),
            (Strings{"sendAdverts lan 4 byebye", "sendAdverts lan2 4 byebye", "sendAdverts lan 10 alive",
                     "sendAdverts lan2 10 alive"}));
  for (int link : {0, 1}) {
    const std::string address = PeerNetwork::routerAddress(link);
    Strings expected = notifies(gatewayTargets(), address, true);
    for (std::string& text : notifies(allTargets(mWan), address, false)) expected.push_back(std::move(text));
    EXPECT_EQ(texts(heard(link)), expected) << address;
  }

  // Stop: byebye for exactly the WAN branch.
  testing::internal::CaptureStdout();
  unconfigure(entry);
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("stop ext: wan\n"), std::string::npos) << out;
  EXPECT_EQ(advertLines(out), (Strings{"sendAdverts lan 6 byebye", "sendAdverts lan2 6 byebye"}));
  for (int link : {0, 1}) EXPECT_EQ(texts(heard(link)), notifies(wanTargets(mWan), "", true)) << link;
  // No alive burst follows; the next timer burst carries the smaller set.
  testing::internal::CaptureStdout();
  onAdvertTimer(mDaemon->gateway, *record(mLan[0]));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "sendAdverts lan 4 alive\n");
  EXPECT_EQ(texts(heard(0)), notifies(gatewayTargets(), "10.9.0.1", false));
  EXPECT_TRUE(record(mLan[0])->advertTimer.armed());
}

TEST_F(SsdpTest, TreeChangesReachOnlyStartedInternalInterfaces) {
  startLan(0);
  removeRouterAddress(mLanAddress[1]);
  configure(mLan[1], kTypeInternal);  // configured, but without an address it stays stopped
  ASSERT_FALSE(record(mLan[1])->started);
  addWanInterface();
  testing::internal::CaptureStdout();
  const uint32_t entry = configure(mWan, kTypeExternal);
  unconfigure(entry);
  EXPECT_EQ(advertLines(testing::internal::GetCapturedStdout()),
            (Strings{"sendAdverts lan 4 byebye", "sendAdverts lan 10 alive", "sendAdverts lan 6 byebye"}));
  EXPECT_EQ(heard(0).size(), 20u);
  EXPECT_TRUE(heard(1).empty());
}

TEST_F(SsdpTest, FailedSendsAreLoggedAndTheBurstGoesOn) {
  startLan(0);
  ASSERT_EQ(system("ip link set v0 down"), 0);
  testing::internal::CaptureStdout();
  onAdvertTimer(mDaemon->gateway, *record(mLan[0]));
  const std::string failure = "advert sendto failed: Network is unreachable\n";
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "sendAdverts lan 4 alive\n" + failure + failure + failure + failure);
  EXPECT_TRUE(record(mLan[0])->advertTimer.armed());
}

// A loopback pair for onSearch on a socket that no interface owns.
class UnownedSocketTest : public ::testing::Test {
 protected:
  void SetUp() override {
    mReceiver = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
    mSender = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(sa);
    ASSERT_EQ(bind(mReceiver, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)), 0);
    ASSERT_EQ(getsockname(mReceiver, reinterpret_cast<sockaddr*>(&sa), &length), 0);
    ASSERT_EQ(connect(mSender, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)), 0);
  }
  void TearDown() override {
    close(mReceiver);
    close(mSender);
  }
  void deliver(const std::string& text) {
    ASSERT_EQ(send(mSender, text.data(), text.size(), 0), static_cast<ssize_t>(text.size()));
    pollfd ready{mReceiver, POLLIN, 0};
    ASSERT_EQ(poll(&ready, 1, 1000), 1);
  }
  std::string searchOutput() {
    testing::internal::CaptureStdout();
    onSearch(mGateway, mReceiver);
    return testing::internal::GetCapturedStdout();
  }

  Gateway mGateway;
  int mReceiver = -1;
  int mSender = -1;
};

TEST_F(UnownedSocketTest, NothingToReadIsLoggedAndAnInvalidSearchDroppedBeforeTheOwnerIsLookedUp) {
  EXPECT_EQ(searchOutput(), "search recvfrom failed\n");
  deliver("");
  EXPECT_EQ(searchOutput(), "search recvfrom failed\n");
  deliver("M-SEARCH * HTTP/1.1\r\nHOST: 239.255.255.250:1900\r\nMAN: ssdp:discover\r\nMX: 1\r\nST: ssdp:all\r\n\r\n");
  EXPECT_EQ(searchOutput(), "");
}

TEST_F(UnownedSocketTest, ValidSearchOnAnUnownedSocketEndsTheProcess) {
  deliver(search("ssdp:all"));
  EXPECT_EXIT(
      {
        dup2(STDERR_FILENO, STDOUT_FILENO);  // the death test reads stderr
        onSearch(mGateway, mReceiver);
      },
      ::testing::ExitedWithCode(1), "findDevice fatal error");
}

}  // namespace
}  // namespace upnp::test
