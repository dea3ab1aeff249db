#pragma once

#include <string>

#include "http/http_host.h"
#include "http/http_message.h"
#include "http/http_request.h"

namespace upnp {

class RootDevice;

// The largest served file: each file is read with one read of this size and
// anything beyond it is not sent.
inline constexpr size_t kMaxFileBytes = 16384;

// The GET handler. "/gateway.xml" is the host's description for the
// accepting interface's address; every other path is looked up in the host's
// served files. No host check. Loop thread only.
HttpMessage handleGet(HttpHost& host, const HttpRequest& request);

// The description document of `device` for a client that reached the
// interface at `localAddress`: the XML declaration, then the root element with
// that address in presentationURL (which stays set in `device`) and URLBase.
std::string describeRoot(RootDevice& device, const std::string& localAddress);

// The 200 response carrying `document`; with an empty `document`, carrying the
// registered file that `request`'s request line names instead, or a bare 404
// when the path is not registered or the file cannot be opened or read (both
// logged with the file's router path, documentDir() + name). Headers in this order:
// CONTENT-LANGUAGE (only when the request has ACCEPT-LANGUAGE), CONTENT-TYPE,
// CONTENT-LENGTH, DATE, SERVER, CONNECTION.
HttpMessage fileResponse(const HttpHost& host, const HttpMessage& request, const std::string& document);

// "image/gif" for a file name whose extension (the text after its last ".",
// or the whole name without one) is exactly "gif", else "text/xml".
const char* contentTypeOf(const std::string& fileName);

}  // namespace upnp
