#include "http/get_handler.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>

#include "http/http_server.h"
#include "http/response.h"
#include "model/device.h"
#include "model/xml/xml_element.h"
#include "platform/debug_log.h"
#include "platform/paths.h"

namespace upnp {

namespace {

constexpr const char kDescriptionPath[] = "/gateway.xml";
constexpr const char kProlog[] = "<?xml version=\"1.0\"?>";

void logFileError(const char* what, const std::string& path) {
  bus::debugLog() << what << path << ": " << strerror(errno);
}

// The first kMaxFileBytes of the file, or nullopt after logging. `path` is the
// router path; it is mapped to this machine's file system only for the open,
// so log lines name the file as the router knows it.
std::optional<std::string> readFile(const std::string& path) {
  const int fd = open(bus::hostPath(path).c_str(), O_RDONLY);
  if (fd < 0) {
    logFileError("open file ", path);
    return std::nullopt;
  }
  std::string content(kMaxFileBytes, '\0');
  const ssize_t count = read(fd, content.data(), content.size());
  if (count < 0) {
    logFileError("read file ", path);
    close(fd);
    return std::nullopt;
  }
  close(fd);
  content.resize(static_cast<size_t>(count));
  return content;
}

}  // namespace

std::string describeRoot(RootDevice& device, const std::string& localAddress) {
  device.info.presentationURL = "http://" + localAddress + "/";
  xml::XmlElement root = device.describe();
  char base[64];
  snprintf(base, sizeof(base), "http://%s:%u", localAddress.c_str(),
           static_cast<unsigned>(kHttpPort));
  root.addChild("URLBase", base);
  return kProlog + lineEnd() + xml::toXml(root);
}

const char* contentTypeOf(const std::string& fileName) {
  const size_t dot = fileName.rfind('.');
  const std::string extension = dot == std::string::npos ? fileName : fileName.substr(dot + 1);
  return extension == "gif" ? "image/gif" : "text/xml";
}

HttpMessage handleGet(HttpHost& host, const HttpRequest& request) {
  if (request.path == kDescriptionPath)
    return fileResponse(host, request.request, host.description(request.localAddress));
  return fileResponse(host, request.request, std::string());
}

HttpMessage fileResponse(const HttpHost& host, const HttpMessage& request, const std::string& document) {
  const char* contentType = "text/xml";
  std::string body = document;
  if (body.empty()) {
    std::string method;
    std::string path;
    splitRequestLine(request.firstLine, method, path);
    const std::string* file = host.servedFile(path);
    if (file == nullptr) return statusResponse(404);
    contentType = contentTypeOf(*file);
    std::optional<std::string> content = readFile(host.documentDir() + *file);
    if (!content) return statusResponse(404);
    body = std::move(*content);
  }
  HttpMessage response = statusResponse(200);
  if (hasHeader(request, "ACCEPT-LANGUAGE")) addHeader(response, "CONTENT-LANGUAGE", "en-us");
  addHeader(response, "CONTENT-TYPE", contentType);
  char length[24];
  snprintf(length, sizeof(length), "%d", static_cast<int>(body.size()));
  addHeader(response, "CONTENT-LENGTH", length);
  addDateHeader(response);
  addHeader(response, "SERVER", serverString());
  addHeader(response, "CONNECTION", "close");
  response.body = std::move(body);
  return response;
}

}  // namespace upnp
