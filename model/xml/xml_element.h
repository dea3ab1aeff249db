#pragma once

#include <string>
#include <vector>

namespace xml {

struct XmlAttribute {
  std::string name;
  std::string value;
};

// One element of the daemon's XML tree. Children and attributes are held by
// value in document order; copying copies the subtree. Duplicate names are kept;
// lookups take the first match.
struct XmlElement {
  std::string name;
  std::string text;  // used only when there are no children
  std::vector<XmlElement> children;
  std::vector<XmlAttribute> attributes;

  XmlElement() = default;
  XmlElement(std::string name, std::string text);

  // Appends a new leaf element and returns it (valid until the next append).
  XmlElement& addChild(std::string name, std::string text);
  // Appends a deep copy of `child`.
  void appendChild(const XmlElement& child);
  void addAttribute(std::string name, std::string value);
};

struct XmlDocument {
  bool ok = false;   // the reader reached the end of the document without error
  XmlElement top;    // nameless; its children are the document's top-level elements
};

// Parses `text`. Element and attribute names lose their namespace prefix
// ("s:Envelope" -> "Envelope", "xmlns:s" -> "s"). On a reader error writes
// "[ERR] parsing xml: <reason>" to standard output and returns ok = false with
// whatever was built so far.
XmlDocument parseXml(const std::string& text);

// The indented text form: two blanks per level, "\r\n" line ends, no XML
// declaration; `&`, `<`, `>` escaped in texts and `&`, `<`, `"` in attribute
// values.
std::string toXml(const XmlElement& element);
// Appends the text form `element` has inside a document that toXml writes,
// at a depth of `indent` blanks; the blanks in front of its start tag are the
// caller's.
void appendXml(std::string& out, const XmlElement& element, size_t indent);

}  // namespace xml
