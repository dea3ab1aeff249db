#include "http/soap_control.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "daemon/interface_state.h"
#include "http/http_request.h"
#include "http/http_server.h"
#include "model/service.h"
#include "model/soap/soap.h"
#include "model/state_variable.h"

namespace upnp {
namespace {

constexpr char kServiceType[] = "urn:schemas-upnp-org:service:WANIPConnection:1";
constexpr char kPrefix[] = "lan0-192.168.1.20:50123: ";
constexpr char kStyle[] = "http://schemas.xmlsoap.org/soap/encoding/";
constexpr char kBadRequest[] = "HTTP/1.1 400 Bad Request";
constexpr char kFaultLine[] = "HTTP/1.1 500 Internal Server Error";
constexpr char kOkLine[] = "HTTP/1.1 200 OK";

std::string soapAction(const std::string& action) {
  return std::string("\"") + kServiceType + "#" + action + "\"";
}

// A SOAP envelope around `inner`, with the given prefix and encodingStyle.
std::string envelope(const std::string& inner, const std::string& ns = "s",
                     const std::string& style = kStyle) {
  return "<?xml version=\"1.0\"?><" + ns + ":Envelope xmlns:" + ns +
         "=\"http://schemas.xmlsoap.org/soap/envelope/\" " + ns + ":encodingStyle=\"" + style +
         "\"><" + ns + ":Body>" + inner + "</" + ns + ":Body></" + ns + ":Envelope>";
}

std::string call(const std::string& action, const std::string& arguments) {
  return "<u:" + action + " xmlns:u=\"" + kServiceType + "\">" + arguments + "</u:" + action + ">";
}

std::string query(const std::string& name) {
  return "<u:QueryStateVariable xmlns:u=\"urn:schemas-upnp-org:control-1-0\"><u:varName>" + name +
         "</u:varName></u:QueryStateVariable>";
}

struct Answer {
  HttpMessage response;
  std::string log;
};

class SoapControlTest : public ::testing::Test {
 protected:
  SoapControlTest() : mInterface(UpnpInterfaceCfg{}), mService(kServiceType) {
    mInterface.name = "lan0";
    mConnection.peerAddress = *IPAddr::parse("192.168.1.20");
    mConnection.peerPort = 50123;
    mConnection.interface = &mInterface;
    defineVariables();
    defineActions();
  }

  void defineVariables() {
    addVariable("Count", VariableKind::UI4).setValue("7");
    addVariable("Port", VariableKind::UI2);
    setRange(addVariable("Ranged", VariableKind::UI4), 1, 10);
    setRange(addVariable("RangedPort", VariableKind::UI2), 0, 4000000);
    addVariable("Flag", VariableKind::BOOLEAN);
    mService.addVariable("Proto", std::make_unique<StateVariable>(std::vector<std::string>{"TCP", "UDP"}, false));
    addVariable("Text", VariableKind::STRING).setValue("hello");
    addVariable("Empty", VariableKind::STRING);
    addVariable("Provided", VariableKind::UI4).setProvider([] { return std::string("1234"); });
  }

  StateVariable& addVariable(const std::string& name, VariableKind kind) {
    auto variable = std::make_unique<StateVariable>(false, kind);
    StateVariable& ref = *variable;
    mService.addVariable(name, std::move(variable));
    return ref;
  }

  static void setRange(StateVariable& variable, uint32_t minimum, uint32_t maximum) {
    variable.hasRange = true;
    variable.minimum = minimum;
    variable.maximum = maximum;
  }

  void defineActions() {
    // One action per variable: Set<Variable> takes NewValue and answers one output.
    for (const char* name : {"Count", "Port", "Ranged", "RangedPort", "Flag", "Proto", "Text"}) {
      mService.addAction(std::string("Set") + name, {name}, {"NewValue"}, {"Text"}, {"NewResult"},
                         [this](ActionRequest& request) { return record(request, 0, 1); });
    }
    mService.addAction("AddMapping", {"Proto", "Port", "Text"}, {"NewProtocol", "NewPort", "NewDescription"},
                       {"Count", "Text"}, {"NewIndex", "NewEcho"},
                       [this](ActionRequest& request) { return record(request, 0, 2); });
    mService.addAction("Conflict", {}, {}, {}, {}, [this](ActionRequest& request) { return record(request, 718, 0); });
    mService.addAction("BadRet", {}, {}, {"Text"}, {"NewResult"},
                       [this](ActionRequest& request) { return record(request, 0, 2); });
    mService.addAction("BadInVar", {"Nope"}, {"NewValue"}, {}, {},
                       [this](ActionRequest& request) { return record(request, 0, 0); });
    // Handler-less: declared inputs (even with an unknown variable) are never examined.
    mService.addAction("GetInfo", {"Nope"}, {"NewIgnored"}, {"Count", "Provided", "Text"},
                       {"NewCount", "NewProvided", "NewText"}, nullptr);
    mService.addQueryAction("GetEmpty", {"Empty"});
    mService.addQueryAction("GetNope", {"Nope"});
  }

  uint32_t record(ActionRequest& request, uint32_t result, size_t outputs) {
    ++mCalls;
    mSeen = request;
    for (size_t i = 0; i < outputs; ++i) request.outputs.push_back("out" + std::to_string(i));
    return result;
  }

  Answer post(const std::string& body, const std::string& action, const char* contentType = "text/xml; charset=\"utf-8\"") {
    HttpRequest request;
    request.request.firstLine = "POST /upnp/control/abcdefghij/wanipconn-1 HTTP/1.1";
    if (contentType != nullptr) addHeader(request.request, "Content-Type", contentType);
    if (!action.empty()) addHeader(request.request, "SOAPAction", action);
    request.request.body = body;
    request.request.complete = true;
    request.method = "POST";
    request.path = "/upnp/control/abcdefghij/wanipconn-1";
    request.connection = &mConnection;
    Answer answer;
    ::testing::internal::CaptureStdout();
    answer.response = handlePost(request, mService);
    answer.log = ::testing::internal::GetCapturedStdout();
    return answer;
  }

  Answer callAction(const std::string& action, const std::string& arguments) {
    return post(envelope(call(action, arguments)), soapAction(action));
  }

  static void expectBare400(const Answer& answer) {
    EXPECT_EQ(answer.response.firstLine, kBadRequest);
    EXPECT_TRUE(answer.response.headerNames.empty());
    EXPECT_TRUE(answer.response.body.empty());
  }

  static void expectFault(const Answer& answer, uint32_t code) {
    EXPECT_EQ(answer.response.firstLine, kFaultLine);
    EXPECT_EQ(answer.response.body, soapFault(code).body);
  }

  InterfaceState mInterface;
  HttpConnection mConnection;
  Service mService;
  int mCalls = 0;
  ActionRequest mSeen;
};

// ---- the request and envelope checks ----

TEST_F(SoapControlTest, MalformedRequestsGetBare400WithTheirLogLine) {
  const std::string good = envelope(query("Count"));
  const std::string qa = "\"urn:schemas-upnp-org:control-1-0#QueryStateVariable\"";
  const std::string open = std::string("<s:Envelope xmlns:s=\"e\" s:encodingStyle=\"") + kStyle + "\">";
  const struct {
    const char* situation;
    std::string body;
    std::string action;
    std::string log;  // after the connection prefix
    const char* contentType = "text/xml";
  } cases[] = {
      {"no content type", good, qa, "POST method with bad CONTENT-TYPE: \n", nullptr},
      {"wrong content type", good, qa, "POST method with bad CONTENT-TYPE: application/soap+xml\n",
       "application/soap+xml"},
      {"content type differs in case", good, qa, "POST method with bad CONTENT-TYPE: TEXT/XML\n", "TEXT/XML"},
      {"content type checked before xml", "junk", "", "POST method with bad CONTENT-TYPE: text/html\n", "text/html"},
      {"root is not an envelope", "<s:Envelop xmlns:s=\"x\"/>", qa, "POST: XML bad node name: Envelop\n"},
      {"envelope name differs in case", "<envelope s:encodingStyle=\"x\"/>", qa,
       "POST: XML bad node name: envelope\n"},
      {"no encodingStyle", "<s:Envelope xmlns:s=\"e\"><s:Body>" + query("Count") + "</s:Body></s:Envelope>", qa,
       "POST: XML no encoding style\n"},
      {"encodingStyle without its slash", envelope(query("Count"), "s", "http://schemas.xmlsoap.org/soap/encoding"),
       qa, "POST: XML bad encoding style\n"},
      {"SOAP 1.2 encodingStyle", envelope(query("Count"), "s", "http://www.w3.org/2003/05/soap-encoding"), qa,
       "POST: XML bad encoding style\n"},
      {"first encodingStyle counts, whatever its prefix",
       std::string("<s:Envelope a:encodingStyle=\"wrong\" s:encodingStyle=\"") + kStyle + "\"><s:Body>" +
           query("Count") + "</s:Body></s:Envelope>",
       qa, "POST: XML bad encoding style\n"},
      {"no Body", open + "<s:Header/></s:Envelope>", qa, "POST: XML no body\n"},
      {"body name differs in case", open + "<s:body/></s:Envelope>", qa, "POST: XML no body\n"},
      {"no SOAPACTION", good, "", "POST: with no SOAPACTION\n"},
      {"query element missing", envelope("<u:Query/>"), qa, "POST: query variable xml bad\n"},
      {"varName missing", envelope("<u:QueryStateVariable><u:name>Count</u:name></u:QueryStateVariable>"), qa,
       "POST: query variable xml var name bad\n"},
      {"action element absent", envelope(call("GetInfoX", "")), soapAction("GetInfo"),
       "action: GetInfo\nPOST: XML has no such action\n"},
      {"action element differs in case", envelope(call("getinfo", "")), soapAction("GetInfo"),
       "action: GetInfo\nPOST: XML has no such action\n"},
      {"first Body counts", open + "<s:Body/><s:Body>" + call("GetInfo", "") + "</s:Body></s:Envelope>",
       soapAction("GetInfo"), "action: GetInfo\nPOST: XML has no such action\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.situation);
    Answer answer = post(c.body, c.action, c.contentType);
    expectBare400(answer);
    EXPECT_EQ(answer.log, kPrefix + c.log);
  }
}

TEST_F(SoapControlTest, BadXmlLogsTheParserReasonThenItsOwnLine) {
  for (const std::string& body : {std::string(), std::string("<s:Envelope>"), std::string("\x01\xff junk")}) {
    Answer answer = post(body, soapAction("GetInfo"));
    expectBare400(answer);
    EXPECT_EQ(answer.log.rfind("[ERR] parsing xml: ", 0), 0u) << answer.log;
    const std::string tail = std::string(kPrefix) + "POST: with bad xml\n";
    ASSERT_GE(answer.log.size(), tail.size());
    EXPECT_EQ(answer.log.substr(answer.log.size() - tail.size()), tail);
  }
}

TEST_F(SoapControlTest, SoapActionQuotingSelectsTheAction) {
  struct Case {
    std::string header;
    std::string element;  // the action element the request carries
    std::string logged;   // the action name as logged
    const char* status;
  };
  const std::vector<Case> cases = {
      {"\"urn:schemas-upnp-org:service:WANIPConnection:1#GetInfo\"", "GetInfo", "GetInfo", kOkLine},
      {"urn:schemas-upnp-org:service:WANIPConnection:1#GetInfo", "GetInfo", "GetInfo", kOkLine},
      // A leading quote alone still costs the last byte.
      {"\"urn:schemas-upnp-org:service:WANIPConnection:1#GetInfo", "GetInf", "GetInf", kFaultLine},
      {"\"urn:x#GetInfo", "GetInfo", "GetInf", nullptr},
      // The service type before '#' is never compared with the service's.
      {"\"urn:schemas-upnp-org:service:WANCommonInterfaceConfig:1#GetInfo\"", "GetInfo", "GetInfo", kOkLine},
      {"GetInfo", "GetInfo", "GetInfo", kOkLine},
      // Only the first '#' splits; no element can be named "b#GetInfo".
      {"\"a#b#GetInfo\"", "GetInfo", "b#GetInfo", nullptr},
      {"\"", "GetInfo", "", nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.header);
    Answer answer = post(envelope("<u:" + c.element + " xmlns:u=\"x\"/>"), c.header);
    EXPECT_EQ(answer.log.rfind(std::string(kPrefix) + "action: " + c.logged + "\n", 0), 0u) << answer.log;
    if (c.status != nullptr) {
      EXPECT_EQ(answer.response.firstLine, c.status);
    } else {
      expectBare400(answer);
      EXPECT_EQ(answer.log, std::string(kPrefix) + "action: " + c.logged + "\nPOST: XML has no such action\n");
    }
  }
}

TEST_F(SoapControlTest, OtherNamespacePrefixesAreAccepted) {
  const std::string body = envelope("<m:GetInfo xmlns:m=\"" + std::string(kServiceType) + "\"/>", "SOAP-ENV");
  Answer answer = post(body, soapAction("GetInfo"));
  EXPECT_EQ(answer.response.firstLine, kOkLine);
  // Without any prefix at all, too.
  const std::string plain = std::string("<Envelope encodingStyle=\"") + kStyle + "\"><Body><GetInfo/></Body></Envelope>";
  EXPECT_EQ(post(plain, soapAction("GetInfo")).response.firstLine, kOkLine);
}

// ---- QueryStateVariable ----

TEST_F(SoapControlTest, QueryStateVariableAnswersTheValue) {
  const std::string action = "\"urn:schemas-upnp-org:control-1-0#QueryStateVariable\"";
  Answer answer = post(envelope(query("Count")), action);
  EXPECT_EQ(answer.response.firstLine, kOkLine);
  xml::XmlElement expected("u:QueryStateVariableResponse", "");
  expected.addAttribute("xmlns:u", "urn:schemas-upnp-org:control-1-0");
  expected.addChild("return", "7");
  EXPECT_EQ(answer.response.body, soapResponse(200, expected).body);
  EXPECT_EQ(answer.log, std::string(kPrefix) + "query variable: Count=7\n");

  // Unquoted works too; a provider is asked on every read.
  answer = post(envelope(query("Provided")), "urn:schemas-upnp-org:control-1-0#QueryStateVariable");
  EXPECT_NE(answer.response.body.find("<return>1234</return>"), std::string::npos);
  EXPECT_EQ(answer.log, std::string(kPrefix) + "query variable: Provided=1234\n");
}

// ---- action calls ----

TEST_F(SoapControlTest, HandlerLessActionAnswersFromVariablesAndIgnoresInputs) {
  Answer answer = callAction("GetInfo", "<NewIgnored>garbage</NewIgnored>");
  EXPECT_EQ(answer.response.firstLine, kOkLine);
  xml::XmlElement expected("u:GetInfoResponse", "");
  expected.addAttribute("xmlns:u", kServiceType);
  expected.addChild("NewCount", "7");
  expected.addChild("NewProvided", "1234");
  expected.addChild("NewText", "hello");
  EXPECT_EQ(answer.response.body, soapResponse(200, expected).body);
  EXPECT_EQ(answer.log, std::string(kPrefix) +
                            "action: GetInfo\n  ret: NewCount=7\n  ret: NewProvided=1234\n  ret: NewText=hello\n");
}

TEST_F(SoapControlTest, HandlerGetsInputsInDeclaredOrderAndPeerAddress) {
  // Arguments out of order, an extra one, and a duplicate whose first copy counts.
  Answer answer = callAction("AddMapping",
                             "<NewDescription>web</NewDescription><Extra>1</Extra><NewPort>8080</NewPort>"
                             "<NewProtocol>TCP</NewProtocol><NewPort>99999</NewPort>");
  EXPECT_EQ(answer.response.firstLine, kOkLine);
  EXPECT_EQ(mCalls, 1);
  EXPECT_EQ(mSeen.inputs, (std::vector<std::string>{"TCP", "8080", "web"}));
  EXPECT_EQ(mSeen.requester, *IPAddr::parse("192.168.1.20"));
  EXPECT_EQ(answer.log, std::string(kPrefix) +
                            "action: AddMapping\n  arg: NewProtocol=TCP\n  arg: NewPort=8080\n"
                            "  arg: NewDescription=web\n  ret: NewIndex=out0\n  ret: NewEcho=out1\n");
  xml::XmlElement expected("u:AddMappingResponse", "");
  expected.addAttribute("xmlns:u", kServiceType);
  expected.addChild("NewIndex", "out0");
  expected.addChild("NewEcho", "out1");
  EXPECT_EQ(answer.response.body, soapResponse(200, expected).body);
}

// Each fault with its code, its log line and no handler call where the call
// itself was refused.
TEST_F(SoapControlTest, RefusedCallsAnswerTheirFault) {
  const std::string queryAction = "\"urn:schemas-upnp-org:control-1-0#QueryStateVariable\"";
  const struct {
    const char* situation;
    std::string body;
    std::string action;
    uint32_t code;
    std::string log;  // after the connection prefix
    int calls;
  } cases[] = {
      {"queried variable without value", envelope(query("Empty")), queryAction, 404,
       "POST: variable has no value: Empty\n", 0},
      {"queried variable unknown", envelope(query("NoSuchThing")), queryAction, 404,
       "POST: no such variable registered: NoSuchThing\n", 0},
      {"queried name differs in case", envelope(query("count")), queryAction, 404,
       "POST: no such variable registered: count\n", 0},
      // Another namespace before '#' makes it an ordinary action call.
      {"query under another namespace", envelope(query("Count")),
       "\"urn:schemas-upnp-org:control-1-1#QueryStateVariable\"", 401,
       "action: QueryStateVariable\nPOST: no such action registered\n", 0},
      {"unknown action", envelope(call("Reboot", "")), soapAction("Reboot"), 401,
       "action: Reboot\nPOST: no such action registered\n", 0},
      {"handler-less action, variable without value", envelope(call("GetEmpty", "")), soapAction("GetEmpty"), 401,
       "action: GetEmpty\nbad val\n", 0},
      {"handler-less action, unknown variable", envelope(call("GetNope", "")), soapAction("GetNope"), 401,
       "action: GetNope\nbad var\n", 0},
      {"argument missing (names compare case-sensitively)",
       envelope(call("AddMapping", "<NewProtocol>TCP</NewProtocol><newport>1</newport>")), soapAction("AddMapping"),
       402, "action: AddMapping\n  arg: NewProtocol=TCP\nPOST: action xml doesn't have var: NewPort\n", 0},
      {"input with unknown variable", envelope(call("BadInVar", "<NewValue>1</NewValue>")), soapAction("BadInVar"),
       401, "action: BadInVar\nPOST: bad variable\n", 0},
      {"handler answers 718", envelope(call("Conflict", "")), soapAction("Conflict"), 718, "action: Conflict\n", 1},
      {"handler returns too many outputs", envelope(call("BadRet", "")), soapAction("BadRet"), 401,
       "action: BadRet\nbad ret\n", 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.situation);
    mCalls = 0;
    Answer answer = post(c.body, c.action);
    expectFault(answer, c.code);
    EXPECT_EQ(answer.log, kPrefix + c.log);
    EXPECT_EQ(mCalls, c.calls);
  }
}

// ---- input checks by kind ----

TEST_F(SoapControlTest, InputValuesAreCheckedByKind) {
  const struct {
    const char* action;
    std::vector<std::string> accepted;
    std::vector<std::string> refused;
  } cases[] = {
      // UI4: strtoul must consume the whole text (leading white space skipped,
      // nothing at all read as 0) and the number must fit 32 bits; "-1" wraps
      // to the largest unsigned long.
      {"SetCount", {"0", "4294967295", "", " 5", "+5", "-0", "007"},
       {"4294967296", "18446744073709551615", "99999999999999999999999", "12ab", "0x10", "1e3", "5 ", " ", "-1",
        "-"}},
      {"SetPort", {"65535", ""}, {"65536", "80http"}},
      {"SetRangedPort", {"65535"}, {"65536"}},  // a wider range does not lift the UI2 bound
      {"SetRanged", {"1", "10"}, {"0", "11", "", "-1"}},
      {"SetFlag", {"1", "0", "true", "false", "yes", "no"}, {"True", "TRUE", "No", "2", "", "true "}},
      {"SetProto", {"TCP", "UDP"}, {"tcp", "TCP ", ""}},  // allowed values: exact, case-sensitive
      {"SetText", {"", "anything at all"}, {}},
  };
  for (const auto& c : cases) {
    for (bool accepted : {true, false}) {
      for (const std::string& value : accepted ? c.accepted : c.refused) {
        SCOPED_TRACE(std::string(c.action) + " '" + value + "'");
        mCalls = 0;
        Answer answer = callAction(c.action, "<NewValue>" + value + "</NewValue>");
        const std::string head = kPrefix + std::string("action: ") + c.action + "\n  arg: NewValue=" + value + "\n";
        if (accepted) {
          EXPECT_EQ(answer.response.firstLine, kOkLine);
          EXPECT_EQ(mSeen.inputs, std::vector<std::string>{value});  // the text unchanged, not the number
          EXPECT_EQ(answer.log, head + "  ret: NewResult=out0\n");
        } else {
          expectFault(answer, 402);
          EXPECT_EQ(answer.log, head + "POST: action xml bad variable value\n");
        }
        EXPECT_EQ(mCalls, accepted ? 1 : 0);
      }
    }
  }
}

// ---- hostile input ----

TEST_F(SoapControlTest, HostileEnvelopesAreAnswered) {
  const std::string action = soapAction("SetText");
  std::string deep;
  for (int i = 0; i < 5000; ++i) deep += "<a>";
  std::string manyArgs;
  while (manyArgs.size() < 32000) manyArgs += "<NewOther>x</NewOther>";
  std::string junk;
  for (int i = 0; i < 256; ++i) junk += static_cast<char>(i);
  const std::string laughs =
      "<?xml version=\"1.0\"?><!DOCTYPE s [<!ENTITY a \"aaaaaaaaaa\"><!ENTITY b \"&a;&a;&a;&a;&a;&a;&a;&a;\">"
      "<!ENTITY c \"&b;&b;&b;&b;&b;&b;&b;&b;\">]>" +
      envelope(call("SetText", "<NewValue>&c;</NewValue>"));
  const std::string external = "<!DOCTYPE s [<!ENTITY x SYSTEM \"file:///etc/passwd\">]>" +
                               envelope(call("SetText", "<NewValue>&x;</NewValue>"));

  const std::vector<std::string> bad = {envelope(deep), deep, junk, laughs, external,
                                         envelope(call("SetText", "<NewValue>\x01</NewValue>"))};
  for (const std::string& body : bad) {
    Answer answer = post(body, action);
    expectBare400(answer);
    EXPECT_EQ(mCalls, 0);
  }

  // Many arguments: the one that matters is found, the rest ignored.
  Answer answer = post(envelope(call("SetText", manyArgs + "<NewValue>v</NewValue>")), action);
  EXPECT_EQ(answer.response.firstLine, kOkLine);
  EXPECT_EQ(mSeen.inputs, std::vector<std::string>{"v"});

  // A very long action name and argument text are carried, not truncated.
  const std::string longText(30000, 'x');
  answer = post(envelope(call("SetText", "<NewValue>" + longText + "</NewValue>")), action);
  EXPECT_EQ(answer.response.firstLine, kOkLine);
  EXPECT_EQ(mSeen.inputs, std::vector<std::string>{longText});
  answer = callAction("SetCount", "<NewValue>" + std::string(30000, '9') + "</NewValue>");
  expectFault(answer, 402);
}

TEST_F(SoapControlTest, EveryTruncationOfAGoodRequestIsAnswered) {
  const std::string body = envelope(call("AddMapping",
                                         "<NewProtocol>TCP</NewProtocol><NewPort>80</NewPort>"
                                         "<NewDescription>d</NewDescription>"));
  for (size_t length = 0; length < body.size(); ++length) {
    Answer answer = post(body.substr(0, length), soapAction("AddMapping"));
    EXPECT_EQ(answer.response.firstLine, kBadRequest) << length;
  }
  EXPECT_EQ(post(body, soapAction("AddMapping")).response.firstLine, kOkLine);
  EXPECT_EQ(mCalls, 1);
}

}  // namespace
}  // namespace upnp
