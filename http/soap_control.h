#pragma once

#include "http/http_message.h"
#include "http/http_request.h"

namespace upnp {

class Service;

// Answers a SOAP control request POSTed to `service`'s control URL. The
// dispatcher has already found the service and checked HOST. Returns the
// response to write (SOAP response, fault or bare status). Loop thread only.
HttpMessage handlePost(const HttpRequest& request, Service& service);

}  // namespace upnp
