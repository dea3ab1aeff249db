// The HTTP server over real loopback sockets, serving a fake host from the
// test's own loop: two interfaces (127.0.0.1 and 127.0.0.2), files in a
// temporary directory, one service under a control and an event URL.

#include "http/http_server.h"

#include <sys/stat.h>

#include <fstream>
#include <memory>
#include <vector>

#include "http/response.h"
#include "tests/http/fake_clock.h"
#include "tests/http/http_fixture.h"
#include "tests/platform/temp_dir.h"

namespace upnp::test {
namespace {

using namespace std::chrono_literals;

const std::string kControl = "/upnp/control/t", kEvent = "/upnp/event/t";
const std::string kGif("GIF89a\0\xff\r\n", 10);

std::string post(const std::string& path, const std::string& hostLines) {
  const std::string body =
      "<s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\" "
      "s:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\"><s:Body><u:QueryStateVariable "
      "xmlns:u=\"urn:schemas-upnp-org:control-1-0\"><u:varName>Count</u:varName></u:QueryStateVariable>"
      "</s:Body></s:Envelope>";
  return "POST " + path + " HTTP/1.1\r\n" + hostLines +
         "CONTENT-TYPE: text/xml\r\nSOAPACTION: \"urn:schemas-upnp-org:control-1-0#QueryStateVariable\"\r\n"
         "CONTENT-LENGTH: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

class HttpServerTest : public ::testing::Test {
 protected:
  HttpServerTest() {
    signal(SIGPIPE, SIG_IGN);  // as the daemon runs
    host.dir = dir.path() + "/";
    std::ofstream(host.dir + "a.gif", std::ios::binary) << kGif;
    std::ofstream(host.dir + "big.xml", std::ios::binary) << kBigFile;
    std::ofstream(host.dir + "empty.gif", std::ios::binary).flush();
    mkdir((host.dir + "adir").c_str(), 0700);
    host.files = {{"/a.gif", "a.gif"}, {"/big.xml", "big.xml"}, {"/empty", "empty.gif"},
                  {"/gone.xml", "gone.xml"}, {"/adir.xml", "adir"}};
    auto count = std::make_unique<StateVariable>(false, VariableKind::UI4);
    count->setValue("1234");
    service.addVariable("Count", std::move(count));
    host.control[kControl] = host.events[kEvent] = &service;
    host.listeners = {{loSocket.fd(), &lo}, {lo2Socket.fd(), &lo2}};
    server.listen(loSocket.fd());
    server.listen(lo2Socket.fd());
  }

  template <class Pred>
  bool runUntil(Pred done, uint32_t maxMs = 3000) {
    return loop.runUntil(done, maxMs);
  }
  // Everything the server wrote before closing; its log kept out of the output.
  HttpMessage exchange(const std::string& request, bool onLo2 = false) {
    Client client(onLo2 ? "127.0.0.2" : "127.0.0.1", onLo2 ? lo2Port : loPort, request);
    testing::internal::CaptureStdout();
    EXPECT_TRUE(runUntil([&] { return client.drain(); }));
    testing::internal::GetCapturedStdout();
    return parseHttpMessage(client.received);
  }

  bus::Looper loop;
  bus::test::TempDir dir;
  ServedInterface lo{"lo", *IPAddr::parse("127.0.0.1"), 1}, lo2{"lo2", *IPAddr::parse("127.0.0.2"), 2};
  FakeHost host;
  Service service{"urn:s:T:1"};
  HttpServer server{host};
  uint16_t loPort = 0, lo2Port = 0;
  net::Socket loSocket = listenOn("127.0.0.1", loPort), lo2Socket = listenOn("127.0.0.2", lo2Port);
};

TEST_F(HttpServerTest, GatewayXmlDescribesTheTreeForTheInterfaceAsked) {
  DeviceInfo& info = host.device.info;
  info.deviceType = "schemas-upnp-org:device:InternetGatewayDevice:1";
  info.friendlyName = "Router";
  info.modelDescription = "MD";
  info.modelNumber = "MN";
  info.modelURL = "MU";
  info.serialNumber = "SN";
  info.UDN = "R";
  info.UPC = "UPC";
  info.icons.push_back({"image/gif", 16, 16, 8, "/a.gif"});
  host.device.services.push_back({"urn:s:T:1", "urn:i:T1", "/t.xml", kControl, kEvent});
  Device embedded;  // empty optional fields are left out
  embedded.info.deviceType = "d:1";
  embedded.info.UDN = "E";
  embedded.info.manufacturerURL.clear();
  host.device.embeddedDevices.push_back(embedded);
  for (const bool onLo2 : {false, true}) {
    const std::string address = onLo2 ? "127.0.0.2" : "127.0.0.1";
    // GET does not look at HOST; ACCEPT-LANGUAGE of any value is answered first.
    const HttpMessage response = exchange("GET /gateway.xml HTTP/1.1\r\nHOST: elsewhere\r\naccept-language: de\r\n\r\n", onLo2);
    ASSERT_TRUE(response.complete);
    EXPECT_EQ(response.firstLine, "HTTP/1.1 200 OK");
    EXPECT_EQ(response.body,
              "<?xml version=\"1.0\"?>\r\n<root xmlns=\"urn:schemas-upnp-org:device-1-0\">\r\n"
              "  <specVersion>\r\n    <major>1</major>\r\n    <minor>0</minor>\r\n  </specVersion>\r\n"
              "  <device>\r\n    <deviceType>urn:schemas-upnp-org:device:InternetGatewayDevice:1</deviceType>\r\n"
              "    <friendlyName>Router</friendlyName>\r\n    <manufacturer>Quenlark</manufacturer>\r\n"
              "    <manufacturerURL>http://www.quenlark.com/</manufacturerURL>\r\n"
              "    <modelDescription>MD</modelDescription>\r\n    <modelName>Corvanet</modelName>\r\n"
              "    <modelNumber>MN</modelNumber>\r\n    <modelURL>MU</modelURL>\r\n"
              "    <serialNumber>SN</serialNumber>\r\n    <UDN>uuid:R</UDN>\r\n    <UPC>UPC</UPC>\r\n"
              "    <iconList>\r\n      <icon>\r\n        <mimetype>image/gif</mimetype>\r\n"
              "        <width>16</width>\r\n        <height>16</height>\r\n        <depth>8</depth>\r\n"
              "        <url>/a.gif</url>\r\n      </icon>\r\n    </iconList>\r\n"
              "    <serviceList>\r\n      <service>\r\n        <serviceType>urn:s:T:1</serviceType>\r\n"
              "        <serviceId>urn:i:T1</serviceId>\r\n        <SCPDURL>/t.xml</SCPDURL>\r\n"
              "        <controlURL>/upnp/control/t</controlURL>\r\n        <eventSubURL>/upnp/event/t</eventSubURL>\r\n"
              "      </service>\r\n    </serviceList>\r\n"
              "    <deviceList>\r\n      <device>\r\n        <deviceType>urn:d:1</deviceType>\r\n"
              "        <friendlyName></friendlyName>\r\n        <manufacturer>Quenlark</manufacturer>\r\n"
              "        <modelName>Corvanet</modelName>\r\n        <UDN>uuid:E</UDN>\r\n"
              "        <serviceList></serviceList>\r\n      </device>\r\n    </deviceList>\r\n"
              "    <presentationURL>http://" + address + "/</presentationURL>\r\n  </device>\r\n"
              "  <URLBase>http://" + address + ":2828</URLBase>\r\n</root>\r\n");
    ASSERT_FALSE(response.headerNames.empty());
    EXPECT_EQ(response.headerNames[0], "CONTENT-LANGUAGE");
    EXPECT_EQ(header(response, "CONTENT-LANGUAGE") + "|" + header(response, "CONTENT-TYPE") + "|" +
                  header(response, "SERVER") + "|" + header(response, "CONNECTION"),
              "en-us|text/xml|" + serverString() + "|close");
    EXPECT_EQ(info.presentationURL, "http://" + address + "/");
  }
}

// The type comes from the file's name; registered files that are missing or
// cannot be read, and anything unregistered, get the bare 404.
TEST_F(HttpServerTest, ServesRegisteredFilesFromOneRead) {
  const std::pair<const char*, std::string> cases[] = {
      {"/a.gif", "image/gif " + kGif}, {"/big.xml", "text/xml " + kBigFile.substr(0, kMaxFileBytes)}, {"/empty", "image/gif "},
      {"/gone.xml", ""}, {"/adir.xml", ""}, {"/unknown", ""}, {"/a.gif?x=1", ""}, {"a.gif", ""},
  };
  for (const auto& [path, expected] : cases) {
    const HttpMessage response = exchange(std::string("GET ") + path + " HTTP/1.1\r\n\r\n");
    EXPECT_EQ(response.firstLine, expected.empty() ? "HTTP/1.1 404 Not Found" : "HTTP/1.1 200 OK") << path;
    if (expected.empty()) {
      EXPECT_EQ(response.body, "") << path;
      continue;
    }
    EXPECT_EQ(header(response, "CONTENT-TYPE") + " " + response.body, expected) << path;
    EXPECT_EQ(header(response, "CONTENT-LENGTH"), std::to_string(response.body.size()));
    EXPECT_FALSE(hasHeader(response, "CONTENT-LANGUAGE"));
  }
}

TEST_F(HttpServerTest, DispatchesByMethodThenPathThenHost) {
  const struct {
    std::string request;
    const char* status;
    bool onLo2 = false;
  } cases[] = {
      {post(kControl, "HOST: 127.0.0.1\r\n"), "200 OK"},
      {post(kControl, "HOST: 127.0.0.1:2828\r\n"), "200 OK"},
      {post(kControl, "HOST: 127.0.0.2\r\n"), "200 OK", true},
      {post(kControl, "HOST: 127.0.0.2\r\n"), "400 Bad Request"},  // another interface's address
      {post(kControl, "HOST: 127.0.0.1:2829\r\n"), "400 Bad Request"},
      {post(kControl, "HOST: evil\r\nHOST: 127.0.0.1\r\n"), "400 Bad Request"},
      {post(kControl, ""), "400 Bad Request"},
      {post("/upnp/control/x", "HOST: evil\r\n"), "404 Not Found"},
      {post(kControl + "?x", "HOST: 127.0.0.1\r\n"), "404 Not Found"},
      {post(kEvent, "HOST: 127.0.0.1\r\n"), "404 Not Found"},
      {"SUBSCRIBE " + kControl + " HTTP/1.1\r\nHOST: 127.0.0.1\r\nNT: upnp:event\r\n\r\n", "404 Not Found"},
      {"UNSUBSCRIBE " + kEvent + " HTTP/1.1\r\nHOST: evil\r\nSID: uuid:x\r\n\r\n", "400 Bad Request"},
      {"UNSUBSCRIBE " + kEvent + " HTTP/1.1\r\nHOST: 127.0.0.1:2828\r\nSID: uuid:x\r\n\r\n", "412 Precondition Failed"},
      {"HEAD /a.gif HTTP/1.1\r\n\r\n", "501 Not Implemented"},
      {"Post " + kControl + " HTTP/1.1\r\nHOST: 127.0.0.1\r\n\r\n", "501 Not Implemented"},
      {"\r\n\r\n", "501 Not Implemented"},
  };
  for (const auto& c : cases) {
    const HttpMessage response = exchange(c.request, c.onLo2);
    EXPECT_EQ(response.firstLine, std::string("HTTP/1.1 ") + c.status) << c.request.substr(0, 60);
    EXPECT_EQ(response.body.find("<return>1234</return>") != std::string::npos, c.status[0] == '2');
  }
}

// Silent, LF-only, colon-less and trickling clients all end 10 s after
// accept, unanswered: data does not restart the timer.
TEST_F(HttpServerTest, IncompleteRequestsEndAtTheRequestTimer) {
  std::vector<std::unique_ptr<Client>> clients;
  for (const char* text :
       {"", "GET /a.gif HTTP/1.1\nHOST: x\n\n", "GET /a.gif HTTP/1.1\r\nno colon\r\n\r\n", "GET /a.gif HTTP/1.1\r\n"})
    clients.push_back(std::make_unique<Client>("127.0.0.1", loPort, text));
  ASSERT_TRUE(runUntil([&] { return server.connectionCount() == 4; }));
  testing::internal::CaptureStdout();
  advanceClock(9900ms);
  clients[3]->send("HOST: 127.0.0.1\r\n");
  runUntil([] { return false; }, 50);
  EXPECT_EQ(server.connectionCount(), 4u);
  advanceClock(200ms);
  EXPECT_TRUE(runUntil([&] {
    bool all = true;
    for (auto& client : clients) all = client->drain() && all;
    return all;
  }));
  testing::internal::GetCapturedStdout();
  for (auto& client : clients) EXPECT_EQ(client->received, "");
  EXPECT_EQ(server.connectionCount(), 0u);
}

TEST_F(HttpServerTest, ConnectionsEndWithThePeerOrTheirInterfaceOnly) {
  Client early("127.0.0.1", loPort, "GET /a.gif HTTP/1.1\r\n"), onLo("127.0.0.1", loPort), onLo2("127.0.0.2", lo2Port);
  ASSERT_TRUE(runUntil([&] { return server.connectionCount() == 3; }));
  early.socket.reset();
  ASSERT_TRUE(runUntil([&] { return server.connectionCount() == 2; }));
  server.closeConnectionsOf(lo);
  EXPECT_EQ(server.connectionCount(), 1u);
  EXPECT_TRUE(runUntil([&] { return onLo.drain(); }));
  EXPECT_FALSE(onLo2.drain());
  // Accepted on a socket the host does not know: closed at once.
  uint16_t port = 0;
  net::Socket stray = listenOn("127.0.0.1", port);
  server.listen(stray.fd());
  Client unknown("127.0.0.1", port);
  testing::internal::CaptureStdout();
  EXPECT_TRUE(runUntil([&] { return unknown.drain(); }));
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(server.connectionCount(), 1u);
}

}  // namespace
}  // namespace upnp::test
