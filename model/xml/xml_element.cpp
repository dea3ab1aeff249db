#include "model/xml/xml_element.h"

#include <utility>

#include "platform/debug_log.h"
#include "platform/xml_stream_reader.h"

namespace xml {

namespace {

constexpr char kLineEnd[] = "\r\n";

std::string localName(const std::string& qualified, size_t prefixEnd) {
  if (prefixEnd == std::string::npos || prefixEnd >= qualified.size()) return qualified;
  return qualified.substr(prefixEnd + 1);
}

// The entity that stands for `c` in text or in an attribute value; null when
// `c` stands for itself there.
const char* escapeOf(char c, bool attribute) {
  switch (c) {
    case '&':
      return "&amp;";
    case '<':
      return "&lt;";
    case '>':
      return attribute ? nullptr : "&gt;";
    case '"':
      return attribute ? "&quot;" : nullptr;
    default:
      return nullptr;
  }
}

// Appends `text` with `&`, `<` and `>` escaped (in attribute values `&`, `<`
// and `"`). What a control point sent escaped goes back escaped, and stored
// text can never add elements to a document. Text without them is copied as it is.
void appendEscaped(std::string& out, const std::string& text, bool attribute) {
  if (text.find_first_of(attribute ? "&<\"" : "&<>") == std::string::npos) {
    out += text;
    return;
  }
  for (char c : text) {
    if (const char* escaped = escapeOf(c, attribute))
      out += escaped;
    else
      out += c;
  }
}

// Appends the element's text form; `indent` is the depth of the element in
// blanks. The element's own start tag is never indented: its parent writes the
// indentation in front of it, so the top element starts at column 0.
void writeElement(const XmlElement& element, size_t indent, std::string& out) {
  out += '<';
  out += element.name;
  for (const XmlAttribute& attribute : element.attributes) {
    out += ' ';
    out += attribute.name;
    out += "=\"";
    appendEscaped(out, attribute.value, true);
    out += '"';
  }
  out += '>';
  if (element.children.empty()) {
    appendEscaped(out, element.text, false);
  } else {
    out += kLineEnd;
    for (const XmlElement& child : element.children) {
      out.append(indent + 2, ' ');
      writeElement(child, indent + 2, out);
    }
    out.append(indent, ' ');
  }
  out += "</";
  out += element.name;
  out += '>';
  out += kLineEnd;
}

}  // namespace

XmlElement::XmlElement(std::string name, std::string text) : name(std::move(name)), text(std::move(text)) {}

XmlElement& XmlElement::addChild(std::string name, std::string text) {
  children.emplace_back(std::move(name), std::move(text));
  return children.back();
}

void XmlElement::appendChild(const XmlElement& child) {
  // Copy first: `child` may live inside this element's own children.
  XmlElement copy = child;
  children.push_back(std::move(copy));
}

void XmlElement::addAttribute(std::string name, std::string value) {
  attributes.push_back({std::move(name), std::move(value)});
}

XmlDocument parseXml(const std::string& text) {
  XmlDocument doc;
  // Pointers stay valid: an element's vector only grows while it is the top of
  // the stack, and the stack never holds one of that element's children then.
  std::vector<XmlElement*> open{&doc.top};
  XmlStreamReader reader(text);
  XmlStreamReader::Token token = reader.next();
  while (token != XmlStreamReader::Token::Error && token != XmlStreamReader::Token::EndDocument) {
    if (token == XmlStreamReader::Token::StartTag) {
      XmlElement& element = open.back()->children.emplace_back();
      element.name = localName(reader.qualifiedName(), reader.prefixEnd());
      for (const XmlStreamReader::Attribute& attribute : reader.attributes()) {
        element.addAttribute(localName(attribute.qualifiedName, attribute.prefixEnd), attribute.value);
      }
      if (reader.readContent(element.text)) {
        token = reader.next();
      } else {
        open.push_back(&element);
        token = reader.token();
      }
    } else {
      if (token == XmlStreamReader::Token::EndTag && open.size() > 1) open.pop_back();
      token = reader.next();
    }
  }
  if (token == XmlStreamReader::Token::Error) {
    bus::debugLog() << "[ERR] parsing xml: " << reader.errorMessage();
  } else {
    doc.ok = true;
  }
  return doc;
}

std::string toXml(const XmlElement& element) {
  std::string out;
  writeElement(element, 0, out);
  return out;
}

void appendXml(std::string& out, const XmlElement& element, size_t indent) { writeElement(element, indent, out); }

}  // namespace xml
