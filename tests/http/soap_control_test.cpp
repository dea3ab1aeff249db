// SOAP control requests, handed to handlePost as the dispatcher hands them.

#include "http/soap_control.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "http/response.h"
#include "model/service.h"
#include "tests/http/http_fixture.h"

namespace upnp::test {
namespace {

using Strings = std::vector<std::string>;

constexpr char kType[] = "urn:schemas-upnp-org:service:WANIPConnection:1";
constexpr char kQuery[] = "\"urn:schemas-upnp-org:control-1-0#QueryStateVariable\"";
constexpr char kStyle[] = "http://schemas.xmlsoap.org/soap/encoding/";

std::string envelope(const std::string& inner, const std::string& style = kStyle) {
  return "<?xml version=\"1.0\"?><s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\" "
         "s:encodingStyle=\"" + style + "\"><s:Body>" + inner + "</s:Body></s:Envelope>";
}
std::string call(const std::string& action, const std::string& arguments = "") {
  return "<u:" + action + " xmlns:u=\"" + kType + "\">" + arguments + "</u:" + action + ">";
}
std::string query(const std::string& name) {
  return "<u:QueryStateVariable xmlns:u=\"urn:schemas-upnp-org:control-1-0\"><u:varName>" + name +
         "</u:varName></u:QueryStateVariable>";
}
std::string soapAction(const std::string& action) { return std::string("\"") + kType + "#" + action + "\""; }

class SoapControlTest : public ::testing::Test {
 protected:
  SoapControlTest() {
    connection.peerAddress = *IPAddr::parse("192.168.1.20");
    connection.interface = &lan;
    variable("Count", VariableKind::UI4).setValue("7");
    variable("Port", VariableKind::UI2);
    StateVariable &ranged = variable("Ranged", VariableKind::UI4), &wide = variable("RangedPort", VariableKind::UI2);
    std::tie(ranged.hasRange, ranged.minimum, ranged.maximum, wide.hasRange, wide.minimum, wide.maximum) =
        std::tuple(true, 1u, 10u, true, 0u, 4000000u);
    variable("Flag", VariableKind::BOOLEAN);
    service.addVariable("Proto", std::make_unique<StateVariable>(Strings{"TCP", "UDP"}, false));
    variable("Text", VariableKind::STRING).setValue("a<b&c");
    variable("Empty", VariableKind::STRING);
    variable("Provided", VariableKind::UI4).setProvider([] { return std::string("1234"); });
    for (const char* name : {"Count", "Port", "Ranged", "RangedPort", "Flag", "Proto", "Text"})
      service.addAction(std::string("Set") + name, {name}, {"NewValue"}, {"Text"}, {"NewResult"}, handler(UpnpError::None, 1));
    service.addAction("AddMapping", {"Proto", "Port", "Text"}, {"NewProtocol", "NewPort", "NewDescription"},
                      {"Count", "Text"}, {"NewIndex", "NewEcho"}, handler(UpnpError::None, 2));
    service.addAction("Conflict", {}, {}, {}, {}, handler(UpnpError::ConflictInMappingEntry, 0));
    service.addAction("BadRet", {}, {}, {"Text"}, {"NewResult"}, handler(UpnpError::None, 2));
    service.addAction("BadInVar", {"Nope"}, {"NewValue"}, {}, {}, handler(UpnpError::None, 0));
    // Handler-less: the declared input (with an unknown variable) is never examined.
    service.addAction("GetInfo", {"Nope"}, {"NewIgnored"}, {"Count", "Provided", "Text"},
                      {"NewCount", "NewProvided", "NewText"}, nullptr);
    service.addQueryAction("GetEmpty", {"Empty"});
    service.addQueryAction("GetNope", {"Nope"});
  }

  StateVariable& variable(const std::string& name, VariableKind kind) {
    service.addVariable(name, std::make_unique<StateVariable>(false, kind));
    return *service.stateVariables.at(name);
  }
  ActionHandler handler(UpnpError result, size_t outputs) {
    return [this, result, outputs](ActionRequest& request) {
      ++calls;
      seen = request;
      for (size_t i = 0; i < outputs; ++i) request.outputs.push_back("out" + std::to_string(i));
      return result;
    };
  }

  HttpMessage post(const std::string& body, const std::string& action, const char* type = "text/xml; charset=\"utf-8\"") {
    const std::string head = "POST /ctl HTTP/1.1\r\n" + (type ? "Content-Type: " + std::string(type) + "\r\n" : "");
    const HttpRequest request = requestOf(head + (action.empty() ? "" : "SOAPAction: " + action + "\r\n") + "\r\n" + body, connection);
    testing::internal::CaptureStdout();
    HttpMessage response = handlePost(request, service);
    log = testing::internal::GetCapturedStdout();
    return response;
  }
  static void expectFault(const HttpMessage& response, uint32_t code) {
    EXPECT_TRUE(response.firstLine == "HTTP/1.1 500 Internal Server Error" &&
                response.body.find("<errorCode>" + std::to_string(code) + "</errorCode>") != std::string::npos) << response.body;
  }

  ServedInterface lan;
  HttpConnection connection;
  Service service{kType};
  int calls = 0;
  ActionRequest seen;
  std::string log;  // what the last post wrote
};

// The checks run in a fixed order; the log line tells which one refused.
TEST_F(SoapControlTest, MalformedRequestsGetTheBare400OfTheFirstFailedCheck) {
  const std::string good = envelope(query("Count"));
  const std::string open = std::string("<s:Envelope xmlns:s=\"e\" s:encodingStyle=\"") + kStyle + "\">";
  const struct {
    std::string body, action;
    const char* log;  // the last line, after the connection prefix
    const char* type = "text/xml";
  } cases[] = {
      {good, kQuery, "POST method with bad CONTENT-TYPE: ", nullptr},
      {good, kQuery, "POST method with bad CONTENT-TYPE: TEXT/XML", "TEXT/XML"},
      {"<s:Envelope>", kQuery, "POST: with bad xml"},
      {"<s:Envelop xmlns:s=\"x\"/>", kQuery, "POST: XML bad node name: Envelop"},
      {"<s:Envelope xmlns:s=\"e\"><s:Body>" + query("Count") + "</s:Body></s:Envelope>", kQuery, "POST: XML no encoding style"},
      {envelope(query("Count"), "http://schemas.xmlsoap.org/soap/encoding"), kQuery, "POST: XML bad encoding style"},
      {open + "<s:Header/></s:Envelope>", "", "POST: XML no body"},
      {good, "", "POST: with no SOAPACTION"},
      {envelope("<u:Query/>"), kQuery, "POST: query variable xml bad"},
      {envelope("<u:QueryStateVariable><u:name>Count</u:name></u:QueryStateVariable>"), kQuery,
       "POST: query variable xml var name bad"},
      {envelope(call("getinfo")), soapAction("GetInfo"), "POST: XML has no such action"},
  };
  for (const auto& c : cases) {
    const HttpMessage response = post(c.body, c.action, c.type);
    EXPECT_EQ(response.firstLine + response.body, "HTTP/1.1 400 Bad Request") << c.log;
    EXPECT_TRUE(log.ends_with(std::string(c.log) + "\n")) << log;
  }
  // Any prefixes or none; SOAPACTION names the action after the first '#', unquoted or not.
  EXPECT_EQ(post(std::string("<Envelope encodingStyle=\"") + kStyle + "\"><Body><GetInfo/></Body></Envelope>", "GetInfo")
                .firstLine, "HTTP/1.1 200 OK");
  EXPECT_EQ(post(envelope("<m:GetInf xmlns:m=\"x\"/>"), "\"urn:x#GetInfo").firstLine, "HTTP/1.1 500 Internal Server Error");
  EXPECT_EQ(post(envelope("<m:GetInfo xmlns:m=\"x\"/>"), "\"a#b#GetInfo\"").firstLine, "HTTP/1.1 400 Bad Request");
}

// The whole response as written, with DATE and SERVER blanked; texts escaped.
TEST_F(SoapControlTest, HandlerLessActionAnswersFromItsVariables) {
  HttpMessage response = post(envelope(call("GetInfo", "<NewIgnored>junk</NewIgnored>")), soapAction("GetInfo"));
  ASSERT_EQ(response.headerNames, (Strings{"CONTENT-LENGTH", "CONTENT-TYPE", "DATE", "EXT", "SERVER"}));
  EXPECT_TRUE(response.headerValues[4] == serverString() && response.headerValues[2].ends_with(" GMT")) << response.headerValues[2];
  response.headerValues[2] = response.headerValues[4] = "-";
  const std::string body =
      "<s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\" "
      "s:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\">\r\n"
      "  <s:Body>\r\n    <u:GetInfoResponse xmlns:u=\"urn:schemas-upnp-org:service:WANIPConnection:1\">\r\n"
      "      <NewCount>7</NewCount>\r\n      <NewProvided>1234</NewProvided>\r\n      <NewText>a&lt;b&amp;c</NewText>\r\n"
      "    </u:GetInfoResponse>\r\n  </s:Body>\r\n</s:Envelope>\r\n";
  EXPECT_EQ(toText(response), "HTTP/1.1 200 OK\r\nCONTENT-LENGTH: " + std::to_string(body.size()) +
                                  "\r\nCONTENT-TYPE: text/xml; charset=\"utf-8\"\r\nDATE: -\r\nEXT: \r\nSERVER: -\r\n\r\n" + body);
  // Inputs in declared order, with the requester: out of order, an extra
  // argument, a duplicate whose first copy counts.
  response = post(envelope(call("AddMapping", "<NewDescription>web</NewDescription><Extra>1</Extra><NewPort>8080</NewPort>"
                                              "<NewProtocol>TCP</NewProtocol><NewPort>99999</NewPort>")),
                  soapAction("AddMapping"));
  ASSERT_TRUE(response.firstLine == "HTTP/1.1 200 OK" && seen.inputs.size() == 3u);
  EXPECT_EQ(seen.inputs[0].text + seen.inputs[1].text + seen.inputs[2].text, "TCP8080web");
  EXPECT_EQ(seen.inputs[1].number, 8080u);
  EXPECT_EQ(seen.requester, *IPAddr::parse("192.168.1.20"));
  EXPECT_NE(response.body.find("<NewIndex>out0</NewIndex>\r\n      <NewEcho>out1</NewEcho>"), std::string::npos);
}

TEST_F(SoapControlTest, RefusedCallsAnswerTheirFault) {
  const struct {
    std::string body, action;
    uint32_t code;
    int calls;
  } cases[] = {
      {envelope(query("Empty")), kQuery, 404, 0},  // no value
      {envelope(query("count")), kQuery, 404, 0},
      {envelope(query("Count")), "\"urn:schemas-upnp-org:control-1-1#QueryStateVariable\"", 401, 0},
      {envelope(call("Reboot")), soapAction("Reboot"), 401, 0},
      {envelope(call("GetEmpty")), soapAction("GetEmpty"), 401, 0},
      {envelope(call("GetNope")), soapAction("GetNope"), 401, 0},
      {envelope(call("AddMapping", "<NewProtocol>TCP</NewProtocol><newport>1</newport>")), soapAction("AddMapping"), 402, 0},
      {envelope(call("BadInVar", "<NewValue>1</NewValue>")), soapAction("BadInVar"), 401, 0},
      {envelope(call("Conflict")), soapAction("Conflict"), 718, 1},
      {envelope(call("BadRet")), soapAction("BadRet"), 401, 1},  // more outputs than declared
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.body);
    calls = 0;
    expectFault(post(c.body, c.action), c.code);
    EXPECT_EQ(calls, c.calls);
  }
  // Inputs by kind: strtoul must consume the whole text; UI2 keeps its bound within a wider range.
  const std::pair<const char*, const char*> values[] = {{"SetCount", "4294967296"}, {"SetCount", "12ab"}, {"SetCount", "-1"},
      {"SetRangedPort", "65536"}, {"SetRanged", "11"}, {"SetRanged", "0"}, {"SetFlag", "True"}, {"SetProto", "tcp"}};
  calls = 0;
  for (const auto& [action, value] : values)
    expectFault(post(envelope(call(action, std::string("<NewValue>") + value + "</NewValue>")), soapAction(action)), 402);
  EXPECT_EQ(calls, 0);
  for (const auto& [action, value, number] : {std::tuple{"SetCount", "\t+5", 5u}, {"SetRanged", "10", 10u}, {"SetPort", "65535", 65535u}}) {
    EXPECT_EQ(post(envelope(call(action, std::string("<NewValue>") + value + "</NewValue>")), soapAction(action)).firstLine, "HTTP/1.1 200 OK");
    EXPECT_EQ(seen.inputs.at(0).number, number);
  }
  // QueryStateVariable, quoted or not, asks a provider on every read.
  EXPECT_NE(post(envelope(query("Count")), kQuery).body.find("<return>7</return>"), std::string::npos);
  const std::string unquoted = std::string(kQuery).substr(1, std::string(kQuery).size() - 2);
  EXPECT_NE(post(envelope(query("Provided")), unquoted).body.find("<return>1234</return>"), std::string::npos);
}

TEST_F(SoapControlTest, HostileOrTruncatedEnvelopesNeverReachAHandler) {
  std::string deep, junk;
  for (int i = 0; i < 5000; ++i) deep += "<a>";
  for (int i = 0; i < 256; ++i) junk += static_cast<char>(i);
  const Strings hostile = {
      envelope(deep), deep, junk, envelope(call("SetText", "<NewValue>\x01</NewValue>")),
      "<?xml version=\"1.0\"?><!DOCTYPE s [<!ENTITY a \"aaaaaaaaaa\"><!ENTITY b \"&a;&a;&a;&a;&a;&a;&a;&a;\">"
      "<!ENTITY c \"&b;&b;&b;&b;&b;&b;&b;&b;\">]>" + envelope(call("SetText", "<NewValue>&c;</NewValue>")),
      "<!DOCTYPE s [<!ENTITY x SYSTEM \"file:///etc/passwd\">]>" + envelope(call("SetText", "<NewValue>&x;</NewValue>")),
  };
  for (const std::string& body : hostile) EXPECT_EQ(post(body, soapAction("SetText")).firstLine, "HTTP/1.1 400 Bad Request");
  const std::string body =
      envelope(call("AddMapping", "<NewProtocol>TCP</NewProtocol><NewPort>80</NewPort><NewDescription>d</NewDescription>"));
  for (size_t length = 0; length < body.size(); ++length)
    EXPECT_EQ(post(body.substr(0, length), soapAction("AddMapping")).firstLine, "HTTP/1.1 400 Bad Request") << length;
  EXPECT_EQ(calls, 0);
}

}  // namespace
}  // namespace upnp::test
