// The HTTP server end to end: real TCP sockets on loopback, the server driven
// by the test's own loop in the same thread, client sockets non-blocking.

#include "http/http_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "daemon/gateway.h"
#include "http/get_handler.h"
#include "http/http_message.h"
#include "http/http_request.h"
#include "http/response.h"
#include "platform/looper.h"
#include "tests/platform/temp_dir.h"

namespace upnp {
namespace {

namespace fs = std::filesystem;

const char* const kServedFiles[] = {"logo16.gif", "logo32.gif", "logo48.gif", "osinfo.xml"};

fs::path sourceEtc() { return fs::path(__FILE__).parent_path() / ".." / ".." / "etc"; }

std::string readAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// One client connection. The server runs on this thread, so the client never
// blocks: it writes small pieces that fit the socket buffer and reads with
// MSG_DONTWAIT while the test pumps the loop.
struct Client {
  int fd = -1;
  uint16_t localPort = 0;
  std::string received;
  bool closed = false;  // the server closed its end (EOF or reset)

  ~Client() {
    if (fd >= 0) close(fd);
  }
  // Reads what is there; true once the server has closed the connection.
  bool drain() {
    char chunk[4096];
    while (!closed) {
      const ssize_t n = recv(fd, chunk, sizeof(chunk), MSG_DONTWAIT);
      if (n > 0) {
        received.append(chunk, static_cast<size_t>(n));
      } else if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
        closed = true;
      } else {
        break;
      }
    }
    return closed;
  }
};

// A listening TCP socket on `address` with a port chosen by the kernel.
int listenOn(const IPAddr& address, uint16_t& port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = address.raw();
  EXPECT_EQ(0, bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)));
  EXPECT_EQ(0, listen(fd, 512));
  socklen_t length = sizeof(sa);
  getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &length);
  port = ntohs(sa.sin_port);
  return fd;
}

constexpr char k400[] = "HTTP/1.1 400 Bad Request\r\n\r\n";
constexpr char k404[] = "HTTP/1.1 404 Not Found\r\n\r\n";

class HttpServerTest : public ::testing::Test {
 protected:
  struct Listener {
    uint32_t id;
    uint16_t port;
  };

  void SetUp() override {
    signal(SIGPIPE, SIG_IGN);
    mDocDir = mRoot.path() + "/zelo/etc/upnp/";
    fs::create_directories(mDocDir);
    for (const char* name : kServedFiles) fs::copy_file(sourceEtc() / name, mDocDir + name);
    mGateway.setUp("TESTID");
    mLo = addInterface(1, "lo", "127.0.0.1");
    mLo2 = addInterface(2, "lo2", "127.0.0.2");
  }

  void TearDown() override {
    std::vector<int> open;
    for (const auto& [fd, connection] : mGateway.connections) open.push_back(fd);
    for (int fd : open) closeConnection(mGateway, fd);
    for (auto& [id, state] : mGateway.interfaces) {
      mLooper.runner().removeSocket(state->httpSocket);
      close(state->httpSocket);
    }
  }

  // A started internal interface with its own listening socket on `address`.
  Listener addInterface(uint32_t id, const char* name, const char* address) {
    UpnpInterfaceCfg cfg;
    cfg.interface = id;
    cfg.type = kTypeInternal;
    auto state = std::make_unique<InterfaceState>(cfg);
    state->name = name;
    state->address = *IPAddr::parse(address);
    state->started = true;
    Listener listener{id, 0};
    state->httpSocket = listenOn(state->address, listener.port);
    mLooper.runner().addSocket(state->httpSocket, bus::ThinRunner::kReadable,
                               [this](int s) { onHttpAccept(mGateway, s); });
    mGateway.interfaces[id] = std::move(state);
    return listener;
  }

  std::unique_ptr<Client> connectTo(const Listener& listener) {
    return connectTo(mGateway.interfaces[listener.id]->address, listener.port);
  }
  std::unique_ptr<Client> connectTo(const IPAddr& address, uint16_t port) {
    auto client = std::make_unique<Client>();
    client->fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = address.raw();
    sa.sin_port = htons(port);
    // Loopback completes the handshake in the kernel, before any accept.
    EXPECT_EQ(0, connect(client->fd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)));
    socklen_t length = sizeof(sa);
    getsockname(client->fd, reinterpret_cast<sockaddr*>(&sa), &length);
    client->localPort = ntohs(sa.sin_port);
    return client;
  }

  void send(Client& client, const std::string& text) {
    ASSERT_EQ(static_cast<ssize_t>(text.size()), ::send(client.fd, text.data(), text.size(), MSG_NOSIGNAL));
  }

  bool awaitClose(Client& client, uint32_t maxMs = 3000) {
    return mLooper.runUntil([&] { return client.drain(); }, maxMs);
  }

  // Sends `request` in one piece and returns everything the server wrote
  // before it closed the connection.
  std::string exchange(const std::string& request, const Listener* listener = nullptr) {
    auto client = connectTo(listener ? *listener : mLo);
    send(*client, request);
    EXPECT_TRUE(awaitClose(*client));
    return client->received;
  }

  HttpMessage get(const std::string& path, const std::string& extraHeaders = "") {
    return parseHttpMessage(exchange("GET " + path + " HTTP/1.1\r\nHOST: 127.0.0.1:2828\r\n" + extraHeaders + "\r\n"));
  }

  std::string prefixOf(const Client& client, const char* name = "lo") {
    return std::string(name) + "-127.0.0.1:" + std::to_string(client.localPort) + ": ";
  }

  bus::test::TempDir mRoot;
  bus::test::ScopedRoot mScopedRoot{mRoot.path()};
  std::string mDocDir;
  bus::Looper mLooper;  // declared before the gateway: connection timers cancel into its runner
  Gateway mGateway;
  Listener mLo{};
  Listener mLo2{};
};

// The description a control point gets on 127.0.0.1, written out in full.
std::string expectedDescription(const Gateway& gateway, const std::string& address) {
  const ServiceEntry& osInfo = gateway.services.at(0);
  std::string icons;
  for (const char* size : {"16", "32", "48"}) {
    icons += std::string("      <icon>\r\n") + "        <mimetype>image/gif</mimetype>\r\n" +
             "        <width>" + size + "</width>\r\n" + "        <height>" + size + "</height>\r\n" +
             "        <depth>8</depth>\r\n" + "        <url>/logo" + size + ".gif</url>\r\n" + "      </icon>\r\n";
  }
  return std::string("<?xml version=\"1.0\"?>\r\n") +
         "<root xmlns=\"urn:schemas-upnp-org:device-1-0\">\r\n"
         "  <specVersion>\r\n"
         "    <major>1</major>\r\n"
         "    <minor>0</minor>\r\n"
         "  </specVersion>\r\n"
         "  <device>\r\n"
         "    <deviceType>urn:schemas-upnp-org:device:InternetGatewayDevice:1</deviceType>\r\n"
         "    <friendlyName>Quenlark Router</friendlyName>\r\n"
         "    <manufacturer>Quenlark</manufacturer>\r\n"
         "    <manufacturerURL>" + gateway.info.manufacturerURL + "</manufacturerURL>\r\n"
         "    <modelName>Corvanet</modelName>\r\n"
         "    <UDN>uuid:UUID-QUENLARK-INTERNET-GATEWAY-DEVICE-TESTID</UDN>\r\n"
         "    <iconList>\r\n" + icons + "    </iconList>\r\n"
         "    <serviceList>\r\n"
         "      <service>\r\n"
         "        <serviceType>urn:schemas-microsoft-com:service:OSInfo:1</serviceType>\r\n"
         "        <serviceId>urn:microsoft-com:serviceId:OSInfo1</serviceId>\r\n"
         "        <SCPDURL>/osinfo.xml</SCPDURL>\r\n"
         "        <controlURL>" + osInfo.controlURL + "</controlURL>\r\n"
         "        <eventSubURL>" + osInfo.eventSubURL + "</eventSubURL>\r\n"
         "      </service>\r\n"
         "    </serviceList>\r\n"
         "    <presentationURL>http://" + address + "/</presentationURL>\r\n"
         "  </device>\r\n"
         "  <URLBase>http://" + address + ":2828</URLBase>\r\n"
         "</root>\r\n";
}

TEST_F(HttpServerTest, GatewayXmlIsTheDescriptionOfTheInterfaceAsked) {
  // HOST names neither interface: GET does not look at it.
  const std::string request = "GET /gateway.xml HTTP/1.1\r\nHOST: elsewhere.example\r\n\r\n";
  for (const auto& [listener, address] : {std::pair{&mLo, "127.0.0.1"}, std::pair{&mLo2, "127.0.0.2"}}) {
    SCOPED_TRACE(address);
    const HttpMessage response = parseHttpMessage(exchange(request, listener));
    ASSERT_TRUE(response.complete);
    EXPECT_EQ("HTTP/1.1 200 OK", response.firstLine);
    const std::vector<std::string> names = {"CONTENT-TYPE", "CONTENT-LENGTH", "DATE", "SERVER", "CONNECTION"};
    EXPECT_EQ(names, response.headerNames);
    EXPECT_EQ("text/xml", header(response, "CONTENT-TYPE"));
    EXPECT_EQ(std::to_string(response.body.size()), header(response, "CONTENT-LENGTH"));
    EXPECT_EQ(serverString(), header(response, "SERVER"));
    EXPECT_EQ("close", header(response, "CONNECTION"));
    EXPECT_EQ(expectedDescription(mGateway, address), response.body);
    // The address of the latest request stays in the gateway.
    EXPECT_EQ(std::string("http://") + address + "/", mGateway.info.presentationURL);
  }
  EXPECT_TRUE(mGateway.connections.empty());
}

TEST_F(HttpServerTest, AcceptLanguageOfAnyValueAndCaseAddsContentLanguageFirst) {
  for (const char* line : {"ACCEPT-LANGUAGE: de\r\n", "accept-language:\r\n", "Accept-Language: fr-CA, en\r\n"}) {
    SCOPED_TRACE(line);
    const HttpMessage response = get("/gateway.xml", line);
    ASSERT_FALSE(response.headerNames.empty());
    EXPECT_EQ("CONTENT-LANGUAGE", response.headerNames[0]);
    EXPECT_EQ("en-us", response.headerValues[0]);
  }
  EXPECT_FALSE(hasHeader(get("/logo16.gif"), "CONTENT-LANGUAGE"));
}

TEST_F(HttpServerTest, RegisteredFilesAreServedWithTheirContentType) {
  for (const std::string file : kServedFiles) {
    SCOPED_TRACE(file);
    const HttpMessage response = get("/" + file);
    EXPECT_EQ("HTTP/1.1 200 OK", response.firstLine);
    EXPECT_EQ(file.ends_with(".gif") ? "image/gif" : "text/xml", header(response, "CONTENT-TYPE"));
    const std::string content = readAll(sourceEtc() / file);
    ASSERT_FALSE(content.empty());
    EXPECT_EQ(std::to_string(content.size()), header(response, "CONTENT-LENGTH"));
    EXPECT_EQ(content, response.body);
  }
}

TEST_F(HttpServerTest, PathsOutsideTheFileTableGetTheBare404) {
  for (const char* path : {"/unknown", "/gateway.xml?x=1", "/Gateway.xml", "/osinfo.xml?", "/logo16.gif/",
                           "logo16.gif", "/../etc/upnp/osinfo.xml", ""}) {
    SCOPED_TRACE(path);
    testing::internal::CaptureStdout();
    EXPECT_EQ(k404, exchange(std::string("GET ") + path + " HTTP/1.1\r\nHOST: 127.0.0.1\r\n\r\n"));
    EXPECT_EQ("", testing::internal::GetCapturedStdout());
  }
}

TEST_F(HttpServerTest, FileThatCannotBeOpenedOrReadIsLoggedWithItsRouterPath) {
  fs::remove(mDocDir + "logo16.gif");
  fs::create_directory(mDocDir + "adir");
  mGateway.registerDocument("/adir.xml", "adir");
  const struct {
    const char* path;
    const char* log;
  } cases[] = {
      {"/logo16.gif", "open file /zelo/etc/upnp/logo16.gif: No such file or directory\n"},
      {"/adir.xml", "read file /zelo/etc/upnp/adir: Is a directory\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    testing::internal::CaptureStdout();
    const std::string response = exchange(std::string("GET ") + c.path + " HTTP/1.1\r\n\r\n");
    EXPECT_EQ(c.log, testing::internal::GetCapturedStdout());
    EXPECT_EQ(k404, response);
  }
}

TEST_F(HttpServerTest, FileIsServedFromOneReadOf16384Bytes) {
  std::string big(20000, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7 + i / 251);
  std::ofstream(mDocDir + "big.xml", std::ios::binary) << big;
  std::ofstream(mDocDir + "empty.gif", std::ios::binary).flush();
  mGateway.registerDocument("/osinfo.xml", "big.xml");  // registering a path again replaces its file
  mGateway.registerDocument("/empty", "empty.gif");

  const HttpMessage large = get("/osinfo.xml");
  EXPECT_EQ("16384", header(large, "CONTENT-LENGTH"));
  EXPECT_EQ(big.substr(0, 16384), large.body);

  const std::string empty = exchange("GET /empty HTTP/1.1\r\n\r\n");
  const HttpMessage parsed = parseHttpMessage(empty);
  EXPECT_EQ("HTTP/1.1 200 OK", parsed.firstLine);
  EXPECT_EQ("image/gif", header(parsed, "CONTENT-TYPE"));
  EXPECT_EQ("0", header(parsed, "CONTENT-LENGTH"));
  EXPECT_TRUE(empty.ends_with("CONNECTION: close\r\n\r\n"));
}

TEST_F(HttpServerTest, UnknownMethodsGetTheBare501AndAreLogged) {
  for (const char* method : {"HEAD", "get", "Post", "OPTIONS", "NOTIFY", ""}) {
    SCOPED_TRACE(method);
    auto client = connectTo(mLo);
    testing::internal::CaptureStdout();
    send(*client, std::string(method) + " /gateway.xml HTTP/1.1\r\nHOST: 127.0.0.1\r\n\r\n");
    ASSERT_TRUE(awaitClose(*client));
    EXPECT_EQ(prefixOf(*client) + "unknown http action: '" + method + "'\n", testing::internal::GetCapturedStdout());
    EXPECT_EQ("HTTP/1.1 501 Not Implemented\r\n\r\n", client->received);
  }
}

TEST_F(HttpServerTest, PostIsCheckedForPathThenHost) {
  const std::string control = mGateway.services.at(0).controlURL;
  const struct {
    std::string path;
    std::string hostLine;
    std::string response;
    std::string log;  // after the connection prefix; "" for none
  } cases[] = {
      {"/upnp/control/unknown", "HOST: 127.0.0.1\r\n", k404, ""},
      {control + "?x", "HOST: 127.0.0.1\r\n", k404, ""},
      {"/upnp/control/unknown", "HOST: evil.example\r\n", k404, ""},
      {control, "HOST: evil.example\r\n", k400, "POST: host mismatch 'evil.example'"},
      {control, "", k400, "POST: host mismatch ''"},
      {control, "HOST:\t127.0.0.1\r\n", k400, "POST: host mismatch '\t127.0.0.1'"},
      {control, "HOST: 127.0.0.2\r\n", k400, "POST: host mismatch '127.0.0.2'"},
      {control, "HOST: 127.0.0.1:2829\r\n", k400, "POST: host mismatch '127.0.0.1:2829'"},
      {control, "HOST: evil\r\nHOST: 127.0.0.1\r\n", k400, "POST: host mismatch 'evil'"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path + " / " + c.hostLine);
    auto client = connectTo(mLo);
    testing::internal::CaptureStdout();
    send(*client, "POST " + c.path + " HTTP/1.1\r\n" + c.hostLine + "CONTENT-LENGTH: 0\r\n\r\n");
    ASSERT_TRUE(awaitClose(*client));
    EXPECT_EQ(c.log.empty() ? "" : prefixOf(*client) + c.log + "\n", testing::internal::GetCapturedStdout());
    EXPECT_EQ(c.response, client->received);
  }
}

TEST_F(HttpServerTest, PostWithAMatchingHostReachesTheControlHandler) {
  const std::string control = mGateway.services.at(0).controlURL;
  const std::string body =
      "<?xml version=\"1.0\"?>\r\n"
      "<s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\" "
      "s:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\"><s:Body>"
      "<u:QueryStateVariable xmlns:u=\"urn:schemas-upnp-org:control-1-0\">"
      "<u:varName>OSBuildNumber</u:varName></u:QueryStateVariable></s:Body></s:Envelope>";
  for (const char* host : {"127.0.0.1", "127.0.0.1:2828"}) {
    SCOPED_TRACE(host);
    const HttpMessage response = parseHttpMessage(exchange(
        "POST " + control + " HTTP/1.1\r\nHOST: " + host +
        "\r\nCONTENT-TYPE: text/xml; charset=\"utf-8\"\r\n"
        "SOAPACTION: \"urn:schemas-upnp-org:control-1-0#QueryStateVariable\"\r\n"
        "CONTENT-LENGTH: " + std::to_string(body.size()) + "\r\n\r\n" + body));
    EXPECT_EQ("HTTP/1.1 200 OK", response.firstLine);
    EXPECT_NE(std::string::npos, response.body.find(">1234<")) << response.body;
  }
}

TEST_F(HttpServerTest, RequestSplitAcrossManyWritesIsAnsweredOnceComplete) {
  const std::string control = mGateway.services.at(0).controlURL;
  const std::string request = "POST " + control + " HTTP/1.1\r\nHost: evil\r\nContent-Length: 10\r\n\r\n0123456789";
  auto client = connectTo(mLo);
  for (size_t i = 0; i + 1 < request.size(); ++i) {
    send(*client, request.substr(i, 1));
    // Let the server read every byte on its own before the next arrives.
    mLooper.runUntil([] { return false; }, 2);
    ASSERT_FALSE(client->drain()) << "answered after byte " << i;
    ASSERT_TRUE(client->received.empty());
  }
  testing::internal::CaptureStdout();
  send(*client, request.substr(request.size() - 1));
  ASSERT_TRUE(awaitClose(*client));
  EXPECT_EQ(prefixOf(*client) + "POST: host mismatch 'evil'\n", testing::internal::GetCapturedStdout());
  EXPECT_EQ(k400, client->received);
}

TEST_F(HttpServerTest, PeerThatClosesEarlyIsForgottenSilently) {
  auto client = connectTo(mLo);
  send(*client, "GET /gateway.xml HTTP/1.1\r\n");
  ASSERT_TRUE(mLooper.runUntil([&] { return mGateway.connections.size() == 1; }, 2000));
  testing::internal::CaptureStdout();
  close(client->fd);
  client->fd = -1;
  EXPECT_TRUE(mLooper.runUntil([&] { return mGateway.connections.empty(); }, 2000));
  EXPECT_EQ("", testing::internal::GetCapturedStdout());
}

TEST_F(HttpServerTest, ManyOpenConnectionsAreEachServed) {
  constexpr int kCount = 200;
  std::vector<std::unique_ptr<Client>> clients;
  for (int i = 0; i < kCount; ++i) {
    clients.push_back(connectTo(i % 2 ? mLo2 : mLo));
    send(*clients.back(), "GET /logo" + std::string(i % 3 == 0 ? "16" : "48") + ".gif HTTP/1.1\r\n");
  }
  ASSERT_TRUE(mLooper.runUntil([&] { return mGateway.connections.size() == kCount; }, 5000));
  // With all of them idle, a newcomer is served at once.
  EXPECT_EQ("HTTP/1.1 200 OK", get("/osinfo.xml").firstLine);
  EXPECT_EQ(static_cast<size_t>(kCount), mGateway.connections.size());
  // Completed in reverse order of arrival.
  for (int i = kCount - 1; i >= 0; --i) send(*clients[i], "\r\n");
  ASSERT_TRUE(mLooper.runUntil(
      [&] {
        bool all = true;
        for (auto& c : clients) all = c->drain() && all;
        return all;
      },
      10000));
  for (int i = 0; i < kCount; ++i) {
    const HttpMessage response = parseHttpMessage(clients[i]->received);
    EXPECT_EQ("HTTP/1.1 200 OK", response.firstLine) << i;
    EXPECT_EQ(readAll(sourceEtc() / (i % 3 == 0 ? "logo16.gif" : "logo48.gif")), response.body) << i;
  }
  EXPECT_TRUE(mGateway.connections.empty());
}

// The one test that waits out the 10-second request timer: a silent client,
// one whose lines end in LF only and one with a header line without a colon
// all end the same way, without a response.
TEST_F(HttpServerTest, IncompleteRequestsAreClosedByTheRequestTimer) {
  std::vector<std::unique_ptr<Client>> clients;
  clients.push_back(connectTo(mLo));
  clients.push_back(connectTo(mLo));
  send(*clients.back(), "GET /gateway.xml HTTP/1.1\nHOST: 127.0.0.1\n\n");
  clients.push_back(connectTo(mLo2));
  send(*clients.back(), "GET /gateway.xml HTTP/1.1\r\nno colon here\r\n\r\n");
  ASSERT_TRUE(mLooper.runUntil([&] { return mGateway.connections.size() == 3; }, 2000));
  // Data does not restart the timer.
  mLooper.runUntil([] { return false; }, 5000);
  send(*clients[0], "GET /gateway.xml HTTP/1.1\r\n");
  testing::internal::CaptureStdout();
  const bool allClosed = mLooper.runUntil(
      [&] {
        bool all = true;
        for (auto& c : clients) all = c->drain() && all;
        return all;
      },
      7000);
  const std::string log = testing::internal::GetCapturedStdout();
  ASSERT_TRUE(allClosed);
  EXPECT_EQ("http request timeout\nhttp request timeout\nhttp request timeout\n", log);
  for (auto& c : clients) EXPECT_EQ("", c->received);
  EXPECT_TRUE(mGateway.connections.empty());
}

TEST_F(HttpServerTest, ReadableSocketOutsideTheTablesIsRefused) {
  int pair[2];
  ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, pair));
  ASSERT_EQ(1, write(pair[1], "x", 1));
  testing::internal::CaptureStdout();
  onHttpReadable(mGateway, pair[0]);
  EXPECT_EQ("http request on unknown socket\n", testing::internal::GetCapturedStdout());
  // Nothing was read.
  char byte = 0;
  EXPECT_EQ(1, recv(pair[0], &byte, 1, MSG_DONTWAIT));
  close(pair[0]);
  close(pair[1]);

  // A listening socket that no interface owns: the accepted socket is closed.
  uint16_t port = 0;
  const int listener = listenOn(*IPAddr::parse("127.0.0.1"), port);
  auto client = connectTo(*IPAddr::parse("127.0.0.1"), port);
  testing::internal::CaptureStdout();
  onHttpAccept(mGateway, listener);
  EXPECT_EQ("http accept on unknown socket\n", testing::internal::GetCapturedStdout());
  EXPECT_TRUE(awaitClose(*client, 2000));
  EXPECT_TRUE(mGateway.connections.empty());

  // accept on something that is not a listening socket fails.
  testing::internal::CaptureStdout();
  onHttpAccept(mGateway, client->fd);
  EXPECT_EQ("accept failed\n", testing::internal::GetCapturedStdout());
  close(listener);
}

TEST(RequestLineTest, SplitsMethodAndPath) {
  const struct {
    const char* line;
    const char* method;
    const char* path;
  } cases[] = {
      {"GET /gateway.xml HTTP/1.1", "GET", "/gateway.xml"}, {"GET /a?b=c HTTP/1.0", "GET", "/a?b=c"},
      {"GET /a b HTTP/1.1", "GET", "/a b"}, {"GET /a", "GET", "/a"}, {"GET  /a HTTP/1.1", "GET", " /a"},
      {"GET /a HTTP/1.1 HTTP/1.1", "GET", "/a"}, {"GET HTTP/1.1", "GET", "HTTP/1.1"}, {"GET  HTTP/1.1", "GET", ""},
      {"GET", "GET", ""}, {"", "", ""}, {" /x HTTP/1.1", "", "/x"},
  };
  for (const auto& c : cases) {
    std::string method = "stale";
    std::string path = "stale";
    splitRequestLine(c.line, method, path);
    EXPECT_EQ(c.method, method) << c.line;
    EXPECT_EQ(c.path, path) << c.line;
  }
}

TEST(ContentTypeTest, OnlyTheExactExtensionGifIsAnImage) {
  for (const char* name : {"logo16.gif", "a.b.gif", "gif"}) EXPECT_STREQ("image/gif", contentTypeOf(name)) << name;
  for (const char* name : {"logo.GIF", "logo.gif.bak", "osinfo.xml", ""})
    EXPECT_STREQ("text/xml", contentTypeOf(name)) << name;
}

}  // namespace
}  // namespace upnp
