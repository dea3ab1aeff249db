// Feeds arbitrary CONTENT-TYPE and SOAPACTION values and bodies to the SOAP
// control dispatcher of a service with variables of every kind and actions with
// and without handlers. Input layout: the CONTENT-TYPE value, a NUL, the
// SOAPACTION value, a NUL, then the body (missing parts are empty; a first
// byte of 0xff leaves CONTENT-TYPE out and a second of 0xff SOAPACTION).
// Properties checked beyond "no crash, no over-read": the answer is always a
// 200, a bare 400 or a 500 fault, a bare 400 has no headers and no body, every
// handler input passed its kind's check, and the handler runs at most once.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "http/http_host.h"
#include "http/http_request.h"
#include "http/http_server.h"
#include "http/soap_control.h"
#include "model/service.h"
#include "model/state_variable.h"

namespace {

using upnp::ActionRequest;
using upnp::Service;
using upnp::StateVariable;
using upnp::VariableKind;

int gCalls = 0;

StateVariable& addVariable(Service& service, const std::string& name, VariableKind kind) {
  auto variable = std::make_unique<StateVariable>(false, kind);
  StateVariable& ref = *variable;
  service.addVariable(name, std::move(variable));
  return ref;
}

// Whether `text` reads as a number in minimum..maximum by strtoul over the whole text.
bool isNumber(const std::string& text, unsigned long minimum, unsigned long maximum) {
  char* end = nullptr;
  unsigned long value = std::strtoul(text.c_str(), &end, 10);
  return end == text.c_str() + text.size() && minimum <= value && value <= maximum;
}

std::unique_ptr<Service> makeService() {
  auto service = std::make_unique<Service>("urn:schemas-upnp-org:service:WANIPConnection:1");
  addVariable(*service, "Count", VariableKind::UI4).setValue("7");
  StateVariable& port = addVariable(*service, "Port", VariableKind::UI2);
  port.hasRange = true;
  port.minimum = 1;
  port.maximum = 65535;
  addVariable(*service, "Flag", VariableKind::BOOLEAN);
  service->addVariable("Proto", std::make_unique<StateVariable>(std::vector<std::string>{"TCP", "UDP"}, false));
  addVariable(*service, "Text", VariableKind::STRING).setValue("hello");
  addVariable(*service, "Empty", VariableKind::STRING);
  service->addAction("Add", {"Proto", "Port", "Count", "Flag", "Text"},
                     {"NewProtocol", "NewPort", "NewCount", "NewEnabled", "NewDescription"}, {"Count"}, {"NewIndex"},
                     [](ActionRequest& request) -> upnp::UpnpError {
                       if (++gCalls > 1 || request.inputs.size() != 5) std::abort();
                       std::vector<std::string> in;
                       for (const upnp::ActionInput& input : request.inputs) in.push_back(input.text);
                       if (request.inputs[1].number != std::strtoul(in[1].c_str(), nullptr, 10)) std::abort();
                       if (in[0] != "TCP" && in[0] != "UDP") std::abort();
                       if (!isNumber(in[1], 1, 65535) || !isNumber(in[2], 0, UINT32_MAX)) std::abort();
                       if (in[3] != "1" && in[3] != "0" && in[3] != "true" && in[3] != "false" && in[3] != "yes" &&
                           in[3] != "no") {
                         std::abort();
                       }
                       if (in[4] == "conflict") return upnp::UpnpError::ConflictInMappingEntry;
                       request.outputs.push_back("1");
                       if (in[4] == "extra") request.outputs.push_back("2");
                       return upnp::UpnpError::None;
                     });
  service->addQueryAction("GetCount", {"Count"});
  service->addQueryAction("GetEmpty", {"Empty"});
  service->addQueryAction("GetNone", {"None"});
  return service;
}

std::string_view takeField(std::string_view& rest) {
  size_t nul = rest.find('\0');
  std::string_view field = rest.substr(0, nul);
  rest = nul == std::string_view::npos ? std::string_view() : rest.substr(nul + 1);
  return field;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static upnp::ServedInterface* interface = [] {
    auto* served = new upnp::ServedInterface();
    served->name = "lan0";
    return served;
  }();
  static std::unique_ptr<Service> service = makeService();
  static upnp::HttpConnection* connection = [] {
    auto* made = new upnp::HttpConnection();
    made->peerAddress = IPAddr::fromHost(0xc0a80114);
    made->peerPort = 40000;
    made->interface = interface;
    return made;
  }();

  std::string_view rest(reinterpret_cast<const char*>(data), size);
  const bool noContentType = !rest.empty() && static_cast<unsigned char>(rest[0]) == 0xff;
  const bool noSoapAction = rest.size() > 1 && static_cast<unsigned char>(rest[1]) == 0xff;
  std::string_view contentType = takeField(rest);
  std::string_view soapAction = takeField(rest);

  upnp::HttpRequest request;
  request.request.firstLine = "POST /upnp/control/abcdefghij/wanipconn-1 HTTP/1.1";
  if (!noContentType) upnp::addHeader(request.request, "CONTENT-TYPE", contentType);
  if (!noSoapAction) upnp::addHeader(request.request, "SOAPACTION", soapAction);
  request.request.body = std::string(rest.substr(0, upnp::kMaxBodyBytes));
  request.request.complete = true;
  request.method = "POST";
  request.connection = connection;

  gCalls = 0;
  upnp::HttpMessage response = upnp::handlePost(request, *service);
  const std::string& line = response.firstLine;
  if (line == "HTTP/1.1 400 Bad Request") {
    if (!response.headerNames.empty() || !response.body.empty()) std::abort();  // CONNECTION is the server's
  } else if (line != "HTTP/1.1 200 OK" && line != "HTTP/1.1 500 Internal Server Error") {
    std::abort();
  }
  return 0;
}
