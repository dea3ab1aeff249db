#include "ssdp/ssdp.h"

#include <gtest/gtest.h>

#include "http/response.h"
#include "platform/looper.h"
#include "tests/ssdp/peer_network.h"

namespace upnp::test {
namespace {

using Strings = std::vector<std::string>;

const Strings kTargets = {"upnp:rootdevice", "uuid:ROOT::upnp:rootdevice", "urn:x:device:Shared:1",
                          "uuid:B-FIRST::urn:x:device:Shared:1", "urn:x:device:Shared:1",
                          "uuid:A-SECOND::urn:x:device:Shared:1", "uuid:ROOT", "uuid:ROOT"};

// An SsdpInterface on the router side of link 0, at a secondary address of
// v0 (the kernel would pick 10.9.0.1 for it), with a LAN host on the peer side.
class SsdpTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!mNet.enter(1)) GTEST_SKIP() << "needs root for private network namespaces";
    ASSERT_EQ(system("ip addr add 10.9.0.5/24 dev v0"), 0);
    mInterface = {"lan", *IPAddr::parse("10.9.0.5"), if_nametoindex("v0")};
    for (size_t i = 0; i < kTargets.size(); i += 2) mTargets.insert({kTargets[i], kTargets[i + 1]});
    mListener = mNet.peerSocket(0, true);
    mSearcher = mNet.peerSocket(0, false);
    ASSERT_TRUE(mListener.valid() && mSearcher.valid() && mSsdp.open());
  }
  // Sends `request` from the LAN host; the USNs of the replies, which must come from 10.9.0.5:1900.
  Strings ask(const std::string& request, std::vector<Datagram>* replies = nullptr) {
    EXPECT_TRUE(PeerNetwork::sendToGroup(mSearcher, request));
    mLoop.runUntil([] { return false; }, 100);
    Strings usns;
    for (const Datagram& d : PeerNetwork::drain(mSearcher, 50)) {
      EXPECT_EQ(d.source, "10.9.0.5:1900");
      usns.push_back(d.text.substr(d.text.find("USN: ") + 5, d.text.find("\r\n\r\n") - d.text.find("USN: ") - 5));
      if (replies) replies->push_back(d);
    }
    return usns;
  }
  static std::string search(const std::string& target) {
    return "M-SEARCH * HTTP/1.1\r\nHOST: 239.255.255.250:1900\r\nMAN: \"ssdp:discover\"\r\nMX: 2\r\nST: " + target + "\r\n\r\n";
  }

  PeerNetwork mNet;
  bus::Looper mLoop;
  ServedInterface mInterface;
  SsdpTargets mTargets;
  SsdpInterface mSsdp{mInterface, mTargets};
  net::Socket mListener, mSearcher;
};

TEST_F(SsdpTest, AdvertsNameTheInterfaceAddressAndATakenPortFailsTheOpen) {
  mSsdp.sendAdverts({{"upnp:rootdevice", "uuid:R::upnp:rootdevice"}}, false);
  const std::vector<Datagram> alive = PeerNetwork::drain(mListener);
  ASSERT_EQ(alive.size(), 1u);
  EXPECT_EQ(alive[0].text,
            "NOTIFY * HTTP/1.1\r\nHOST: 239.255.255.250:1900\r\nCACHE-CONTROL: max-age=3600\r\n"
            "LOCATION: http://10.9.0.5:2828/gateway.xml\r\nNT: upnp:rootdevice\r\nNTS: ssdp:alive\r\nSERVER: " +
                serverString() + "\r\nUSN: uuid:R::upnp:rootdevice\r\n\r\n");
  EXPECT_EQ(alive[0].source, "10.9.0.1:1900");  // the group socket is bound to no address
  mSsdp.sendAdverts(mTargets, true);
  const std::vector<Datagram> byebye = PeerNetwork::drain(mListener);
  ASSERT_EQ(byebye.size(), 4u);
  EXPECT_EQ(byebye[3].text, "NOTIFY * HTTP/1.1\r\nHOST: 239.255.255.250:1900\r\nNT: uuid:ROOT\r\nNTS: ssdp:byebye\r\nUSN: uuid:ROOT\r\n\r\n");

}

TEST_F(SsdpTest, SearchesAreAnsweredWithTheMatchingTargets) {
  std::vector<Datagram> replies;
  ASSERT_EQ(ask(search("upnp:rootdevice"), &replies).size(), 1u);
  EXPECT_EQ(replies[0].text, "HTTP/1.1 200 OK\r\nCACHE-CONTROL: max-age=3600\r\nEXT: \r\n"
                             "LOCATION: http://10.9.0.5:2828/gateway.xml\r\nSERVER: " +
                                 serverString() + "\r\nST: upnp:rootdevice\r\nUSN: uuid:ROOT::upnp:rootdevice\r\n\r\n");
  const std::pair<const char*, Strings> cases[] = {
      {"ssdp:all", {kTargets[1], kTargets[3], kTargets[5], kTargets[7]}},
      {"urn:x:device:Shared:1", {kTargets[3], kTargets[5]}},  // insertion order
      {"uuid:ROOT", {"uuid:ROOT"}}, {"UPNP:ROOTDEVICE", {}}, {"ssdp:all ", {}}, {"uuid:ROO", {}}, {"", {}}};
  for (const auto& [target, usns] : cases) EXPECT_EQ(ask(search(target)), usns) << target;
}

// Header names match in any case; their values must match exactly.
TEST_F(SsdpTest, MalformedSearchesAreIgnored) {
  const std::string head = "M-SEARCH * HTTP/1.1\r\n", host = "HOST: 239.255.255.250:1900\r\n",
                    man = "MAN: \"ssdp:discover\"\r\n", mx = "MX: 1\r\n", st = "ST: upnp:rootdevice\r\n";
  const std::string front = head + host + man;
  // Pads with an X-PAD header so that `tail` ends exactly at byte `end`.
  const auto padded = [&](const std::string& tail, size_t end) {
    return front + "X-PAD: " + std::string(end - front.size() - tail.size() - 9, 'p') + "\r\n" + tail;
  };
  const std::pair<std::string, bool> cases[] = {
      {"M-SEARCH * HTTP/1.0\r\n" + host + man + mx + st + "\r\n", false},
      {head + "HOST: 239.255.255.250\r\n" + man + mx + st + "\r\n", false},
      {head + "HOST: 239.255.255.250:01900\r\n" + man + mx + st + "\r\n", false},
      {head + host + "MAN: ssdp:discover\r\n" + mx + st + "\r\n", false},
      {head + host + mx + st + "\r\n", false},
      {front + st + "\r\n", false},
      {front + mx + "S-T: upnp:rootdevice\r\n\r\n", false},
      {"", false},
      {padded("ST: upnp:rootdevice\r\nMX: 1", 4096) + "\r\n\r\n", false},  // MX line completed at byte 4097
      {head + "host: 239.255.255.250:1900\r\nMan: \"ssdp:discover\"\r\nmX: 1\r\nSt: upnp:rootdevice\r\n\r\n", true},
      {front + "MX:\r\n" + st + "\r\n", true},
      {front + mx + st, true},  // no closing blank line
      {padded("MX: 1\r\nST: upnp:rootdevice\r", 4096) + "\nX: " + std::string(2000, 'm'), true},
  };
  for (size_t i = 0; i < std::size(cases); ++i) {
    // The valid search that follows proves the first one was read before.
    EXPECT_TRUE(PeerNetwork::sendToGroup(mSearcher, cases[i].first));
    Strings expected = {"uuid:ROOT"};
    if (cases[i].second) expected.insert(expected.begin(), kTargets[1]);
    EXPECT_EQ(ask(search("uuid:ROOT")), expected) << "case " << i;
  }
}

}  // namespace
}  // namespace upnp::test
