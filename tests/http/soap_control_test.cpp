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
    StateVariable& ranged = addVariable("Ranged", VariableKind::UI4);
    ranged.hasRange = true;
    ranged.minimum = 1;
    ranged.maximum = 10;
    StateVariable& rangedPort = addVariable("RangedPort", VariableKind::UI2);
    rangedPort.hasRange = true;
    rangedPort.minimum = 0;
    rangedPort.maximum = 4000000;  // the ui2 bound still applies
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

  void defineActions() {
    // One action per variable: Set<Variable> takes NewValue and echoes "done".
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

struct EnvelopeCase {
  const char* description;
  std::string body;
  std::string action;
  const char* contentType;
  std::string log;  // exact, or the tail after the parser's own line for bad XML
};

TEST_F(SoapControlTest, MalformedRequestsGetBare400WithTheirLogLine) {
  const std::string good = envelope(query("Count"));
  const std::string queryAction = "\"urn:schemas-upnp-org:control-1-0#QueryStateVariable\"";
  const std::string p = kPrefix;
  const std::vector<EnvelopeCase> cases = {
      {"no content type", good, queryAction, nullptr, p + "POST method with bad CONTENT-TYPE: \n"},
      {"wrong content type", good, queryAction, "application/soap+xml",
       p + "POST method with bad CONTENT-TYPE: application/soap+xml\n"},
      {"content type differs in case", good, queryAction, "TEXT/XML", p + "POST method with bad CONTENT-TYPE: TEXT/XML\n"},
      {"content type checked before xml", "junk", "", "text/html", p + "POST method with bad CONTENT-TYPE: text/html\n"},
      {"root is not an envelope", "<s:Envelop xmlns:s=\"x\"/>", queryAction, "text/xml",
       p + "POST: XML bad node name: Envelop\n"},
      {"envelope name differs in case", "<envelope s:encodingStyle=\"x\"/>", queryAction, "text/xml",
       p + "POST: XML bad node name: envelope\n"},
      {"no encodingStyle",
       "<s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\"><s:Body>" + query("Count") +
           "</s:Body></s:Envelope>",
       queryAction, "text/xml", p + "POST: XML no encoding style\n"},
      {"encodingStyle without its slash", envelope(query("Count"), "s", "http://schemas.xmlsoap.org/soap/encoding"),
       queryAction, "text/xml", p + "POST: XML bad encoding style\n"},
      {"SOAP 1.2 encodingStyle", envelope(query("Count"), "s", "http://www.w3.org/2003/05/soap-encoding"), queryAction,
       "text/xml", p + "POST: XML bad encoding style\n"},
      {"no Body",
       std::string("<s:Envelope xmlns:s=\"e\" s:encodingStyle=\"") + kStyle + "\"><s:Header/></s:Envelope>",
       queryAction, "text/xml", p + "POST: XML no body\n"},
      {"body name differs in case",
       std::string("<s:Envelope xmlns:s=\"e\" s:encodingStyle=\"") + kStyle + "\"><s:body/></s:Envelope>",
       queryAction, "text/xml", p + "POST: XML no body\n"},
      {"no SOAPACTION", good, "", "text/xml", p + "POST: with no SOAPACTION\n"},
      {"query element missing", envelope("<u:Query/>"), queryAction, "text/xml", p + "POST: query variable xml bad\n"},
      {"varName missing", envelope("<u:QueryStateVariable><u:name>Count</u:name></u:QueryStateVariable>"),
       queryAction, "text/xml", p + "POST: query variable xml var name bad\n"},
      {"action element absent", envelope(call("GetInfoX", "")), soapAction("GetInfo"), "text/xml",
       p + "action: GetInfo\nPOST: XML has no such action\n"},
      {"action element differs in case", envelope(call("getinfo", "")), soapAction("GetInfo"), "text/xml",
       p + "action: GetInfo\nPOST: XML has no such action\n"},
  };
  for (const EnvelopeCase& c : cases) {
    SCOPED_TRACE(c.description);
    Answer answer = post(c.body, c.action, c.contentType);
    expectBare400(answer);
    EXPECT_EQ(answer.log, c.log);
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

TEST_F(SoapControlTest, LeadingQuoteOnlyLosesLastCharacterAndMissesTheAction) {
  Answer answer = post(envelope(call("GetInfo", "")), "\"urn:x#GetInfo");
  expectBare400(answer);
  EXPECT_EQ(answer.log, std::string(kPrefix) + "action: GetInf\nPOST: XML has no such action\n");
}

TEST_F(SoapControlTest, OtherNamespacePrefixesAreAccepted) {
  const std::string body = envelope("<m:GetInfo xmlns:m=\"" + std::string(kServiceType) + "\"/>", "SOAP-ENV");
  Answer answer = post(body, soapAction("GetInfo"));
  EXPECT_EQ(answer.response.firstLine, kOkLine);
  // Without any prefix at all, too.
  const std::string plain = std::string("<Envelope encodingStyle=\"") + kStyle + "\"><Body><GetInfo/></Body></Envelope>";
  EXPECT_EQ(post(plain, soapAction("GetInfo")).response.firstLine, kOkLine);
}

TEST_F(SoapControlTest, FirstEncodingStyleAndFirstBodyCount) {
  const std::string twoStyles = std::string("<s:Envelope xmlns:s=\"e\" a:encodingStyle=\"wrong\" s:encodingStyle=\"") +
                                kStyle + "\"><s:Body>" + call("GetInfo", "") + "</s:Body></s:Envelope>";
  Answer answer = post(twoStyles, soapAction("GetInfo"));
  expectBare400(answer);
  EXPECT_EQ(answer.log, std::string(kPrefix) + "POST: XML bad encoding style\n");

  const std::string twoBodies = std::string("<s:Envelope xmlns:s=\"e\" s:encodingStyle=\"") + kStyle +
                                "\"><s:Body/><s:Body>" + call("GetInfo", "") + "</s:Body></s:Envelope>";
  answer = post(twoBodies, soapAction("GetInfo"));
  expectBare400(answer);
  EXPECT_EQ(answer.log, std::string(kPrefix) + "action: GetInfo\nPOST: XML has no such action\n");
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

TEST_F(SoapControlTest, QueryStateVariableFaults404) {
  const std::string action = "\"urn:schemas-upnp-org:control-1-0#QueryStateVariable\"";
  Answer answer = post(envelope(query("Empty")), action);
  expectFault(answer, 404);
  EXPECT_EQ(answer.log, std::string(kPrefix) + "POST: variable has no value: Empty\n");

  answer = post(envelope(query("NoSuchThing")), action);
  expectFault(answer, 404);
  EXPECT_EQ(answer.log, std::string(kPrefix) + "POST: no such variable registered: NoSuchThing\n");

  // Names compare case-sensitively.
  answer = post(envelope(query("count")), action);
  expectFault(answer, 404);
}

TEST_F(SoapControlTest, QueryActionStringMustMatchExactly) {
  // Another namespace before '#' makes it an ordinary action call.
  Answer answer = post(envelope(query("Count")), "\"urn:schemas-upnp-org:control-1-1#QueryStateVariable\"");
  expectFault(answer, 401);
  EXPECT_EQ(answer.log,
            std::string(kPrefix) + "action: QueryStateVariable\nPOST: no such action registered\n");
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

TEST_F(SoapControlTest, HandlerLessActionFaults401OnMissingVariableOrValue) {
  Answer answer = callAction("GetEmpty", "");
  expectFault(answer, 401);
  EXPECT_EQ(answer.log, std::string(kPrefix) + "action: GetEmpty\nbad val\n");
  answer = callAction("GetNope", "");
  expectFault(answer, 401);
  EXPECT_EQ(answer.log, std::string(kPrefix) + "action: GetNope\nbad var\n");
}

TEST_F(SoapControlTest, UnknownActionFaults401) {
  Answer answer = callAction("Reboot", "");
  expectFault(answer, 401);
  EXPECT_EQ(answer.log, std::string(kPrefix) + "action: Reboot\nPOST: no such action registered\n");
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

TEST_F(SoapControlTest, MissingArgumentFaults402BeforeTheHandler) {
  Answer answer = callAction("AddMapping", "<NewProtocol>TCP</NewProtocol><newport>1</newport>");
  expectFault(answer, 402);
  EXPECT_EQ(mCalls, 0);
  EXPECT_EQ(answer.log, std::string(kPrefix) +
                            "action: AddMapping\n  arg: NewProtocol=TCP\n"
                            "POST: action xml doesn't have var: NewPort\n");
}

TEST_F(SoapControlTest, InputWithUnknownVariableFaults401) {
  Answer answer = callAction("BadInVar", "<NewValue>1</NewValue>");
  expectFault(answer, 401);
  EXPECT_EQ(mCalls, 0);
  EXPECT_EQ(answer.log, std::string(kPrefix) + "action: BadInVar\nPOST: bad variable\n");
}

TEST_F(SoapControlTest, HandlerErrorIsTheFault) {
  Answer answer = callAction("Conflict", "");
  expectFault(answer, 718);
  EXPECT_NE(answer.response.body.find("<errorDescription>ConflictInMappingEntry</errorDescription>"),
            std::string::npos);
  EXPECT_EQ(answer.log, std::string(kPrefix) + "action: Conflict\n");
}

TEST_F(SoapControlTest, WrongNumberOfOutputsFaults401) {
  Answer answer = callAction("BadRet", "");
  expectFault(answer, 401);
  EXPECT_EQ(answer.log, std::string(kPrefix) + "action: BadRet\nbad ret\n");
}

// ---- input checks by kind ----

struct InputCase {
  const char* action;
  std::string value;
  bool accepted;
};

TEST_F(SoapControlTest, InputValuesAreCheckedByKind) {
  const std::vector<InputCase> cases = {
      // UI4: strtoul must consume the whole text, and the number must fit 32 bits.
      {"SetCount", "0", true},
      {"SetCount", "4294967295", true},
      {"SetCount", "4294967296", false},
      {"SetCount", "18446744073709551615", false},
      {"SetCount", "99999999999999999999999", false},  // ERANGE
      {"SetCount", "", true},                         // nothing to consume: 0
      {"SetCount", "12ab", false},
      {"SetCount", "0x10", false},
      {"SetCount", "1e3", false},
      {"SetCount", "5 ", false},
      {"SetCount", " 5", true},    // strtoul skips leading white space
      {"SetCount", " ", false},    // white space alone is not consumed
      {"SetCount", "+5", true},
      {"SetCount", "-0", true},
      {"SetCount", "-1", false},   // wraps to the largest unsigned long
      {"SetCount", "-", false},
      {"SetCount", "007", true},
      // UI2.
      {"SetPort", "65535", true},
      {"SetPort", "65536", false},
      {"SetPort", "", true},
      {"SetPort", "80http", false},
      {"SetRangedPort", "65535", true},
      {"SetRangedPort", "65536", false},
      // Range, inclusive, unsigned.
      {"SetRanged", "1", true},
      {"SetRanged", "10", true},
      {"SetRanged", "0", false},
      {"SetRanged", "11", false},
      {"SetRanged", "", false},
      {"SetRanged", "-1", false},
      // BOOLEAN: exact words only.
      {"SetFlag", "1", true},
      {"SetFlag", "0", true},
      {"SetFlag", "true", true},
      {"SetFlag", "false", true},
      {"SetFlag", "yes", true},
      {"SetFlag", "no", true},
      {"SetFlag", "True", false},
      {"SetFlag", "TRUE", false},
      {"SetFlag", "No", false},
      {"SetFlag", "2", false},
      {"SetFlag", "", false},
      {"SetFlag", "true ", false},
      // STRING with allowed values: exact, case-sensitive.
      {"SetProto", "TCP", true},
      {"SetProto", "UDP", true},
      {"SetProto", "tcp", false},
      {"SetProto", "TCP ", false},
      {"SetProto", "", false},
      // STRING without allowed values: anything.
      {"SetText", "", true},
      {"SetText", "anything at all", true},
  };
  for (const InputCase& c : cases) {
    SCOPED_TRACE(std::string(c.action) + " '" + c.value + "'");
    mCalls = 0;
    Answer answer = callAction(c.action, "<NewValue>" + c.value + "</NewValue>");
    const std::string head = std::string(kPrefix) + "action: " + c.action + "\n  arg: NewValue=" + c.value + "\n";
    if (c.accepted) {
      EXPECT_EQ(answer.response.firstLine, kOkLine);
      EXPECT_EQ(mCalls, 1);
      // The handler sees the text unchanged, not the number.
      EXPECT_EQ(mSeen.inputs, std::vector<std::string>{c.value});
      EXPECT_EQ(answer.log, head + "  ret: NewResult=out0\n");
    } else {
      expectFault(answer, 402);
      EXPECT_EQ(mCalls, 0);
      EXPECT_EQ(answer.log, head + "POST: action xml bad variable value\n");
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
