#include "http/soap_control.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "http/http_server.h"
#include "http/response.h"
#include "model/action.h"
#include "model/service.h"
#include "model/soap/soap.h"
#include "model/state_variable.h"
#include "model/xml/xml_element.h"
#include "platform/debug_log.h"

namespace upnp {

namespace {

using xml::XmlAttribute;
using xml::XmlElement;

constexpr char kControlNs[] = "urn:schemas-upnp-org:control-1-0";
constexpr char kQueryAction[] = "urn:schemas-upnp-org:control-1-0#QueryStateVariable";

// Lines about the request as a whole carry the connection prefix; the lines
// about one action call's arguments and results follow its prefixed "action:"
// line and are written without it.
void logLine(const std::string& prefix, std::string_view line) { bus::debugLog() << prefix << line; }

void logLine(std::string_view line) { bus::debugLog() << line; }

std::string_view localName(std::string_view name) {
  size_t colon = name.rfind(':');
  return colon == std::string_view::npos ? name : name.substr(colon + 1);
}

const XmlElement* findChild(const XmlElement& parent, std::string_view local) {
  for (const XmlElement& child : parent.children) {
    if (localName(child.name) == local) return &child;
  }
  return nullptr;
}

const XmlAttribute* findAttribute(const XmlElement& element, std::string_view local) {
  for (const XmlAttribute& attribute : element.attributes) {
    if (localName(attribute.name) == local) return &attribute;
  }
  return nullptr;
}

// Exactly what strtoul in base 10 accepts when it has to consume the whole
// text: leading white space and a sign pass (a negative number wraps, so "-1"
// becomes the largest unsigned long and then fails the 32-bit bound), the
// empty text passes as 0, white space alone or trailing bytes fail. An embedded
// NUL ends strtoul early and so fails too. Out-of-range values fail.
bool parseUi4(const std::string& text, uint32_t& number) {
  const char* begin = text.c_str();
  char* end = nullptr;
  errno = 0;
  unsigned long parsed = std::strtoul(begin, &end, 10);
  if (errno == ERANGE || end != begin + text.size()) return false;
  if (parsed > UINT32_MAX) return false;
  number = static_cast<uint32_t>(parsed);
  return true;
}

bool numberAccepted(const StateVariable& variable, const std::string& text, uint32_t& number) {
  if (!parseUi4(text, number)) return false;
  if (variable.kind == VariableKind::UI2 && number >= 65536) return false;
  return !variable.hasRange || (variable.minimum <= number && number <= variable.maximum);
}

// Checks `text` against the variable's type; numbers are kept in `number`.
bool valueAccepted(const StateVariable& variable, const std::string& text, uint32_t& number) {
  switch (variable.kind) {
    case VariableKind::UI4:
    case VariableKind::UI2:
      return numberAccepted(variable, text, number);
    case VariableKind::BOOLEAN:
      return text == "1" || text == "0" || text == "true" || text == "false" || text == "yes" ||
             text == "no";
    case VariableKind::STRING:
      if (variable.allowedValues.empty()) return true;
      for (const std::string& allowed : variable.allowedValues) {
        if (text == allowed) return true;
      }
      return false;
  }
  return false;
}

// The seven request and envelope checks, in their fixed order. Returns the
// Body element, or null after logging the failed check.
const XmlElement* checkEnvelope(const HttpMessage& message, const xml::XmlDocument& document,
                                const std::string& prefix) {
  if (!document.ok) {
    logLine(prefix, "POST: with bad xml");
    return nullptr;
  }
  // A document without any element cannot come out of a successful parse
  // today, but should the reader ever accept one it is an envelope whose
  // name is empty: refused like any other non-Envelope root.
  static const XmlElement kNoElement;
  const XmlElement& envelope = document.top.children.empty() ? kNoElement : document.top.children.front();
  if (localName(envelope.name) != "Envelope") {
    logLine(prefix, "POST: XML bad node name: " + envelope.name);
    return nullptr;
  }
  const XmlAttribute* style = findAttribute(envelope, "encodingStyle");
  if (style == nullptr) {
    logLine(prefix, "POST: XML no encoding style");
    return nullptr;
  }
  if (style->value != kSoapEncodingNs) {
    logLine(prefix, "POST: XML bad encoding style");
    return nullptr;
  }
  const XmlElement* body = findChild(envelope, "Body");
  if (body == nullptr) {
    logLine(prefix, "POST: XML no body");
    return nullptr;
  }
  if (header(message, "SOAPACTION").empty()) {
    logLine(prefix, "POST: with no SOAPACTION");
    return nullptr;
  }
  return body;
}

// A quoted SOAPACTION loses its first and its last byte, whatever that last
// byte is: clients that forget the closing quote lose a letter of the action.
std::string actionString(const std::string& soapAction) {
  if (soapAction.empty() || soapAction.front() != '"') return soapAction;
  if (soapAction.size() < 2) return std::string();
  return soapAction.substr(1, soapAction.size() - 2);
}

HttpMessage queryStateVariable(const XmlElement& body, const Service& service, const std::string& prefix) {
  const XmlElement* query = findChild(body, "QueryStateVariable");
  if (query == nullptr) {
    logLine(prefix, "POST: query variable xml bad");
    return statusResponse(400);
  }
  const XmlElement* varName = findChild(*query, "varName");
  if (varName == nullptr) {
    logLine(prefix, "POST: query variable xml var name bad");
    return statusResponse(400);
  }
  const std::string& name = varName->text;
  auto found = service.stateVariables.find(name);
  if (found == service.stateVariables.end()) {
    logLine(prefix, "POST: no such variable registered: " + name);
    return soapFault(code(UpnpError::InvalidVar));
  }
  std::string value;
  if (!found->second->getValue(value)) {
    logLine(prefix, "POST: variable has no value: " + name);
    return soapFault(code(UpnpError::InvalidVar));
  }
  XmlElement response("u:QueryStateVariableResponse", "");
  response.addAttribute("xmlns:u", kControlNs);
  response.addChild("return", value);
  logLine(prefix, "query variable: " + name + "=" + value);
  return soapResponse(200, response);
}

// An action without a handler reports its output variables as they stand.
HttpMessage answerFromVariables(const Action& action, const Service& service, XmlElement& response) {
  for (size_t i = 0; i < action.outArguments.size(); ++i) {
    auto found = i < action.outVariables.size() ? service.stateVariables.find(action.outVariables[i])
                                                 : service.stateVariables.end();
    if (found == service.stateVariables.end()) {
      logLine("bad var");
      return soapFault(code(UpnpError::InvalidAction));
    }
    std::string value;
    if (!found->second->getValue(value)) {
      logLine("bad val");
      return soapFault(code(UpnpError::InvalidAction));
    }
    logLine("  ret: " + action.outArguments[i] + "=" + value);
    response.addChild(action.outArguments[i], value);
  }
  return soapResponse(200, response);
}

// Fills request.inputs from the action element.
UpnpError collectInputs(const Action& action, const XmlElement& call, const Service& service,
                       ActionRequest& request) {
  for (size_t i = 0; i < action.inArguments.size(); ++i) {
    const std::string& argument = action.inArguments[i];
    auto found = i < action.inVariables.size() ? service.stateVariables.find(action.inVariables[i])
                                                : service.stateVariables.end();
    if (found == service.stateVariables.end()) {
      logLine("POST: bad variable");
      return UpnpError::InvalidAction;
    }
    const XmlElement* element = findChild(call, argument);
    if (element == nullptr) {
      logLine("POST: action xml doesn't have var: " + argument);
      return UpnpError::InvalidArgs;
    }
    logLine("  arg: " + argument + "=" + element->text);
    ActionInput input{element->text, 0};
    if (!valueAccepted(*found->second, input.text, input.number)) {
      logLine("POST: action xml bad variable value");
      return UpnpError::InvalidArgs;
    }
    request.inputs.push_back(std::move(input));
  }
  return UpnpError::None;
}

HttpMessage callHandler(const Action& action, const XmlElement& call, const Service& service,
                        const HttpConnection& connection, XmlElement& response) {
  ActionRequest request;
  request.requester = connection.peerAddress;
  if (connection.interface != nullptr) {
    request.lanAddress = connection.interface->address;
    request.lanPrefix = connection.interface->prefixLength;
  }
  UpnpError error = collectInputs(action, call, service, request);
  if (error != UpnpError::None) return soapFault(code(error));
  error = action.handler(request);
  if (error != UpnpError::None) return soapFault(code(error));
  if (request.outputs.size() != action.outVariables.size() ||
      request.outputs.size() != action.outArguments.size()) {
    logLine("bad ret");
    return soapFault(code(UpnpError::InvalidAction));
  }
  for (size_t i = 0; i < request.outputs.size(); ++i) {
    logLine("  ret: " + action.outArguments[i] + "=" + request.outputs[i]);
    response.addChild(action.outArguments[i], request.outputs[i]);
  }
  return soapResponse(200, response);
}

HttpMessage callAction(const std::string& actionText, const XmlElement& body, Service& service,
                       const HttpConnection& connection, const std::string& prefix) {
  size_t hash = actionText.find('#');
  std::string name = hash == std::string::npos ? actionText : actionText.substr(hash + 1);
  logLine(prefix, "action: " + name);
  const XmlElement* call = findChild(body, name);
  if (call == nullptr) {
    logLine("POST: XML has no such action");
    return statusResponse(400);
  }
  auto found = service.actions.find(name);
  if (found == service.actions.end()) {
    logLine("POST: no such action registered");
    return soapFault(code(UpnpError::InvalidAction));
  }
  // The handler may change the service's tables; work on a copy of the action.
  const Action action = found->second;
  XmlElement response("u:" + name + "Response", "");
  response.addAttribute("xmlns:u", service.serviceType);
  if (!action.handler) return answerFromVariables(action, service, response);
  return callHandler(action, *call, service, connection, response);
}

}  // namespace

HttpMessage handlePost(const HttpRequest& request, Service& service) {
  const HttpConnection& connection = *request.connection;
  const std::string prefix = connectionLogPrefix(connection);
  const HttpMessage& message = request.request;
  const std::string contentType = header(message, "CONTENT-TYPE");
  if (contentType.find("text/xml") == std::string::npos) {
    logLine(prefix, "POST method with bad CONTENT-TYPE: " + contentType);
    return statusResponse(400);
  }
  const xml::XmlDocument document = xml::parseXml(message.body);
  const XmlElement* body = checkEnvelope(message, document, prefix);
  if (body == nullptr) return statusResponse(400);
  const std::string action = actionString(header(message, "SOAPACTION"));
  if (action == kQueryAction) return queryStateVariable(*body, service, prefix);
  return callAction(action, *body, service, connection, prefix);
}

}  // namespace upnp
