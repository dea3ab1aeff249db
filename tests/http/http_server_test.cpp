// The HTTP server over real loopback sockets, serving a fake host from the
// test's own loop: two interfaces (127.0.0.1 and 127.0.0.2).

#include "http/http_server.h"

#include <memory>
#include <tuple>
#include <vector>

#include "http/response.h"
#include "tests/http/http_fixture.h"

namespace upnp::test {
namespace {

class HttpServerTest : public ::testing::Test {
 protected:
  HttpServerTest() {
    signal(SIGPIPE, SIG_IGN);  // as the daemon runs
    host.listeners = {{loSocket.fd(), &lo}, {lo2Socket.fd(), &lo2}};
    server.listen(loSocket.fd());
    server.listen(lo2Socket.fd());
  }

  // Everything the server wrote before closing; its log kept out of the output.
  HttpMessage exchange(const std::string& request, bool onLo2 = false) {
    Client client(onLo2 ? "127.0.0.2" : "127.0.0.1", onLo2 ? lo2Port : loPort, request);
    testing::internal::CaptureStdout();
    EXPECT_TRUE(loop.runUntil([&] { return client.drain(); }, 3000));
    testing::internal::GetCapturedStdout();
    return parseHttpMessage(client.received);
  }

  bus::Looper loop;
  ServedInterface lo{"lo", *IPAddr::parse("127.0.0.1"), 1}, lo2{"lo2", *IPAddr::parse("127.0.0.2"), 2};
  FakeHost host;
  HttpServer server{host};
  uint16_t loPort = 0, lo2Port = 0;
  net::Socket loSocket = listenOn("127.0.0.1", loPort), lo2Socket = listenOn("127.0.0.2", lo2Port);
};

TEST_F(HttpServerTest, GatewayXmlDescribesTheTreeForTheInterfaceAsked) {
  DeviceInfo& info = host.device.info;
  std::tie(info.deviceType, info.friendlyName, info.modelDescription, info.modelNumber, info.modelURL, info.serialNumber,
           info.UDN, info.UPC) = std::tuple("schemas-upnp-org:device:InternetGatewayDevice:1", "Router", "MD", "MN", "MU", "SN", "R", "UPC");
  info.icons.push_back({"image/gif", 16, 16, 8, "/a.gif"});
  host.device.services.push_back({"urn:s:T:1", "urn:i:T1", "/t.xml", "/upnp/control/t", "/upnp/event/t"});
  Device embedded;  // empty optional fields are left out
  std::tie(embedded.info.deviceType, embedded.info.UDN) = std::tuple("d:1", "E");
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
    EXPECT_EQ(response.headerNames.at(0), "CONTENT-LANGUAGE");
    EXPECT_EQ(header(response, "CONTENT-LANGUAGE") + "|" + header(response, "CONTENT-TYPE") + "|" +
                  header(response, "SERVER") + "|" + header(response, "CONNECTION"),
              "en-us|text/xml|" + serverString() + "|close");
    EXPECT_EQ(info.presentationURL, "http://" + address + "/");
  }
}

}  // namespace
}  // namespace upnp::test
