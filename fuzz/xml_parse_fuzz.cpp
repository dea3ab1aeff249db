// Feeds arbitrary bytes to parseXml and writes the resulting tree back out.
// Properties checked beyond "no crash, no over-read, bounded work": a document
// that parsed has exactly one root, and when its names and texts need no
// escaping the written form parses again to the very same text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <set>
#include <string>

#include "model/xml/xml_element.h"

namespace {

bool plainName(const std::string& name) {
  if (name.empty()) return false;
  const char first = name[0];
  if (!((first >= 'a' && first <= 'z') || (first >= 'A' && first <= 'Z') || first == '_')) return false;
  return name.find(':') == std::string::npos;
}

// True when the writer's unescaped output of this text reads back unchanged.
bool plainText(const std::string& text) {
  return text.find_first_of("<&\"\r\n\t") == std::string::npos && text.find("]]>") == std::string::npos;
}

bool plainTree(const xml::XmlElement& element) {
  if (!plainName(element.name)) return false;
  if (element.children.empty() && !plainText(element.text)) return false;
  std::set<std::string> seen;
  for (const xml::XmlAttribute& attribute : element.attributes) {
    if (!plainName(attribute.name) || !plainText(attribute.value)) return false;
    if (!seen.insert(attribute.name).second) return false;
  }
  for (const xml::XmlElement& child : element.children) {
    if (!plainTree(child)) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  xml::XmlDocument doc = xml::parseXml(text);

  std::string written;
  for (const xml::XmlElement& element : doc.top.children) written += xml::toXml(element);
  if (!doc.ok) return 0;
  if (doc.top.children.size() != 1) std::abort();

  const xml::XmlElement& root = doc.top.children[0];
  if (plainTree(root)) {
    xml::XmlDocument again = xml::parseXml(written);
    if (!again.ok || again.top.children.size() != 1 || xml::toXml(again.top.children[0]) != written) {
      std::abort();
    }
  }
  return 0;
}
