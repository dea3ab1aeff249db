#include "ssdp/ssdp.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "http/response.h"
#include "platform/looper.h"
#include "tests/ssdp/peer_network.h"

namespace upnp::test {
namespace {

using Strings = std::vector<std::string>;
using Targets = std::vector<std::pair<std::string, std::string>>;

std::string location(const std::string& address) { return "http://" + address + ":2828/gateway.xml"; }

// The datagrams of a burst or an answer, byte for byte.
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
Strings responses(const Targets& targets, const std::string& address) {
  Strings texts;
  for (const auto& [type, usn] : targets)
    texts.push_back("HTTP/1.1 200 OK\r\nCACHE-CONTROL: max-age=3600\r\nEXT: \r\nLOCATION: " + location(address) +
                    "\r\nSERVER: " + serverString() + "\r\nST: " + type + "\r\nUSN: " + usn + "\r\n\r\n");
  return texts;
}
Strings texts(const std::vector<Datagram>& datagrams, const std::string& source) {
  Strings out;
  for (const Datagram& d : datagrams) {
    EXPECT_EQ(d.source, source);
    out.push_back(d.text);
  }
  return out;
}
std::string search(const std::string& target) {
  return "M-SEARCH * HTTP/1.1\r\nHOST: 239.255.255.250:1900\r\nMAN: \"ssdp:discover\"\r\nMX: 2\r\nST: " + target +
         "\r\n\r\n";
}

const Targets kTargets = {{"upnp:rootdevice", "uuid:ROOT::upnp:rootdevice"},
                          {"urn:x:device:Shared:1", "uuid:B-FIRST::urn:x:device:Shared:1"},
                          {"urn:x:device:Shared:1", "uuid:A-SECOND::urn:x:device:Shared:1"},
                          {"uuid:ROOT", "uuid:ROOT"}};

// An SsdpInterface on the router side of link 0, at a secondary address of
// v0 (the kernel would pick 10.9.0.1 for it), with a LAN host on the peer side.
class SsdpTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!mNet.enter(1)) GTEST_SKIP() << "needs root for private network namespaces";
    ASSERT_EQ(system("ip addr add 10.9.0.5/24 dev v0"), 0);
    mInterface = {"lan", *IPAddr::parse("10.9.0.5"), if_nametoindex("v0")};
    for (const auto& target : kTargets) mTargets.insert(target);
    mListener = mNet.peerSocket(0, true);
    mSearcher = mNet.peerSocket(0, false);
    ASSERT_TRUE(mListener.valid() && mSearcher.valid());
    ASSERT_TRUE(mSsdp.open());
  }

  // Sends `request` from the LAN host and returns the replies it got.
  std::vector<Datagram> ask(const std::string& request) {
    EXPECT_TRUE(PeerNetwork::sendToGroup(mSearcher, request));
    mLoop.runUntil([] { return false; }, 100);
    return PeerNetwork::drain(mSearcher, 50);
  }

  PeerNetwork mNet;
  bus::Looper mLoop;
  ServedInterface mInterface;
  SsdpTargets mTargets;
  SsdpInterface mSsdp{mInterface, mTargets};
  net::Socket mListener, mSearcher;
};

TEST_F(SsdpTest, BurstsAreOneNotifyPerTargetInMapOrderNamingTheInterfaceAddress) {
  SsdpTargets two = {{"upnp:rootdevice", "uuid:R::upnp:rootdevice"}, {"uuid:R", "uuid:R"}};
  mSsdp.sendAdverts(two, false);
  const std::vector<Datagram> alive = PeerNetwork::drain(mListener);
  ASSERT_EQ(alive.size(), 2u);
  EXPECT_EQ(alive[0].text,
            "NOTIFY * HTTP/1.1\r\nHOST: 239.255.255.250:1900\r\nCACHE-CONTROL: max-age=3600\r\n"
            "LOCATION: http://10.9.0.5:2828/gateway.xml\r\nNT: upnp:rootdevice\r\nNTS: ssdp:alive\r\nSERVER: " +
                serverString() + "\r\nUSN: uuid:R::upnp:rootdevice\r\n\r\n");
  // The group socket is not bound to an address: the kernel picks v0's primary one.
  EXPECT_EQ(texts(alive, "10.9.0.1:1900"), notifies({two.begin(), two.end()}, "10.9.0.5", false));
  // Byebye carries no CACHE-CONTROL, LOCATION or SERVER.
  mSsdp.sendAdverts(mTargets, true);
  EXPECT_EQ(texts(PeerNetwork::drain(mListener), "10.9.0.1:1900"), notifies(kTargets, "", true));
}

TEST_F(SsdpTest, SearchesAreAnsweredFromTheInterfaceAddressAndPort1900WithTheMatchingTargets) {
  ASSERT_EQ(texts(ask(search("upnp:rootdevice")), "10.9.0.5:1900"),
            Strings{"HTTP/1.1 200 OK\r\nCACHE-CONTROL: max-age=3600\r\nEXT: \r\n"
                    "LOCATION: http://10.9.0.5:2828/gateway.xml\r\nSERVER: " +
                    serverString() + "\r\nST: upnp:rootdevice\r\nUSN: uuid:ROOT::upnp:rootdevice\r\n\r\n"});
  const struct {
    std::string target;
    Targets expected;
  } cases[] = {
      {"ssdp:all", {kTargets[0], kTargets[1], kTargets[2], kTargets[3]}},
      {"urn:x:device:Shared:1", {kTargets[1], kTargets[2]}},  // insertion order
      {"uuid:ROOT", {kTargets[3]}},
      {"UPNP:ROOTDEVICE", {}},
      {"ssdp:all ", {}},
      {"uuid:ROO", {}},
      {"", {}},
  };
  for (const auto& c : cases)
    EXPECT_EQ(texts(ask(search(c.target)), "10.9.0.5:1900"), responses(c.expected, "10.9.0.5")) << c.target;
  // The targets are read at each search.
  mTargets.insert({"urn:x:service:Late:1", "uuid:ROOT::urn:x:service:Late:1"});
  EXPECT_EQ(ask(search("urn:x:service:Late:1")).size(), 1u);
}

// Header names match in any case; their values must match exactly.
TEST_F(SsdpTest, MalformedSearchesAreIgnored) {
  const std::string head = "M-SEARCH * HTTP/1.1\r\n";
  const std::string host = "HOST: 239.255.255.250:1900\r\n", man = "MAN: \"ssdp:discover\"\r\n";
  const std::string mx = "MX: 1\r\n", st = "ST: upnp:rootdevice\r\n";
  const std::string front = head + host + man;
  // Pads with an X-PAD header so that `tail` ends exactly at byte `end`.
  const auto padded = [&](const std::string& tail, size_t end) {
    return front + "X-PAD: " + std::string(end - front.size() - tail.size() - 9, 'p') + "\r\n" + tail;
  };
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
      {"MX missing", front + st + "\r\n", false},
      {"ST missing", front + mx + "\r\n", false},
      {"ST written S-T", front + mx + "S-T: upnp:rootdevice\r\n\r\n", false},
      {"empty", "", false},
      {"MX line completed at byte 4097", padded("ST: upnp:rootdevice\r\nMX: 1", 4096) + "\r\n\r\n", false},
      {"names in mixed case",
       head + "host: 239.255.255.250:1900\r\nMan: \"ssdp:discover\"\r\nmX: 1\r\nSt: upnp:rootdevice\r\n\r\n", true},
      {"MX empty", front + "MX:\r\n" + st + "\r\n", true},
      {"ST first", head + st + host + man + mx + "\r\n", true},
      {"no closing blank line", front + mx + st, true},
      {"ST line ends at byte 4096", padded("MX: 1\r\nST: upnp:rootdevice\r", 4096) + "\nX: " + std::string(2000, 'm'),
       true},
  };
  for (const auto& c : cases) {
    // The valid search that follows proves the first one was read before.
    EXPECT_TRUE(PeerNetwork::sendToGroup(mSearcher, c.request));
    Targets expected = {kTargets[3]};
    if (c.answered) expected.insert(expected.begin(), kTargets[0]);
    EXPECT_EQ(texts(ask(search("uuid:ROOT")), "10.9.0.5:1900"), responses(expected, "10.9.0.5")) << c.what;
  }
}

TEST_F(SsdpTest, ClosedInterfaceIsSilentAndATakenPortFailsTheOpen) {
  mSsdp.close();
  EXPECT_FALSE(mSsdp.isOpen());
  EXPECT_TRUE(ask(search("ssdp:all")).empty());
  // Someone else holds port 1900 without SO_REUSEADDR.
  net::Socket blocker(socket(AF_INET, SOCK_DGRAM, 0));
  const sockaddr_in any = net::socketAddress(IPAddr(), 1900);
  ASSERT_EQ(bind(blocker.fd(), reinterpret_cast<const sockaddr*>(&any), sizeof(any)), 0);
  EXPECT_FALSE(mSsdp.open());
  EXPECT_FALSE(mSsdp.isOpen());
  blocker.reset();
  ASSERT_TRUE(mSsdp.open());
  EXPECT_EQ(ask(search("ssdp:all")).size(), kTargets.size());
}

}  // namespace
}  // namespace upnp::test
