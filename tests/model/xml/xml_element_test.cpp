#include "model/xml/xml_element.h"

#include <gtest/gtest.h>

#include <string>

namespace xml {
namespace {

// Parses `text` and returns the document together with what parseXml wrote to
// standard output.
XmlDocument parseCapturing(const std::string& text, std::string& output) {
  testing::internal::CaptureStdout();
  XmlDocument doc = parseXml(text);
  output = testing::internal::GetCapturedStdout();
  return doc;
}

// A compact rendering of a tree for comparisons: name[attr=value]{text}(children).
std::string shape(const XmlElement& e) {
  std::string out = e.name;
  for (const XmlAttribute& a : e.attributes) out += "[" + a.name + "=" + a.value + "]";
  if (!e.text.empty()) out += "{" + e.text + "}";
  if (!e.children.empty()) {
    out += "(";
    for (size_t i = 0; i < e.children.size(); ++i) out += (i ? "," : "") + shape(e.children[i]);
    out += ")";
  }
  return out;
}

TEST(XmlElementTest, ParsesDocumentShapes) {
  struct Case {
    const char* text;
    const char* shape;  // of `top`
  } cases[] = {
      {"<a><b>x</b><c/></a>", "(a(b{x},c))"},
      {"<s:Envelope xmlns:s=\"urn:x\"><s:Body></s:Body></s:Envelope>", "(Envelope[s=urn:x](Body))"},
      {"<s:Envelope xmlns:s=\"e\" s:encodingStyle=\"enc\"><s:Body><u:Act xmlns:u=\"svc\"><NewX>1</NewX>"
       "</u:Act></s:Body></s:Envelope>",
       "(Envelope[s=e][encodingStyle=enc](Body(Act[u=svc](NewX{1}))))"},
      {"<?xml version=\"1.0\"?>\r\n<!-- c -->\r\n<root xmlns=\"n\">\r\n  <a>1</a>\r\n</root>\r\n",
       "(root[xmlns=n](a{1}))"},
      {"<a>x<b>y</b>z</a>", "(a(b{y}))"},  // text beside children is dropped
      {"<a>x<!--c-->y<?p q?>z</a>", "(a{xyz})"},
      {"<a>&lt;&amp;&#65;&gt;&quot;</a>", "(a{<&A>\"})"},
      {"<a b=\"&amp;1\" c='2'/>", "(a[b=&1][c=2])"},
      {"<a:b:c/>", "(b:c)"},  // only the first colon ends the prefix
      {"<a><a><a/></a><a/></a>", "(a(a(a),a))"},
  };
  for (const Case& c : cases) {
    std::string output;
    XmlDocument doc = parseCapturing(c.text, output);
    EXPECT_TRUE(doc.ok) << c.text;
    EXPECT_EQ(output, "") << c.text;
    EXPECT_EQ(doc.top.name, "");
    EXPECT_EQ(shape(doc.top), c.shape) << c.text;
  }
}

TEST(XmlElementTest, ParseErrorsKeepWhatWasBuilt) {
  struct Case {
    const char* text;
    const char* shape;
  } cases[] = {
      {"<a><b>x</b><c>", "(a(b{x},c))"},
      {"<a><b>x", "(a(b))"},
      {"<a><b></a>", "(a(b))"},
      {"<a/><b/>", "(a)"},
      {"", ""},
      {"<!DOCTYPE a [<!ENTITY e \"v\">]><a>&e;</a>", ""},
      {"<a>&undefined;</a>", "(a)"},
  };
  for (const Case& c : cases) {
    std::string output;
    XmlDocument doc = parseCapturing(c.text, output);
    EXPECT_FALSE(doc.ok) << c.text;
    EXPECT_EQ(shape(doc.top), c.shape) << c.text;
    // Exactly one line, with the reader's reason.
    EXPECT_EQ(output.rfind("[ERR] parsing xml: ", 0), 0u) << output;
    EXPECT_GT(output.size(), std::string("[ERR] parsing xml: \n").size()) << output;
    EXPECT_EQ(output.find('\n'), output.size() - 1) << output;
  }
}

TEST(XmlElementTest, WritesTheIndentedForm) {
  XmlElement root("root", "");
  root.addAttribute("xmlns", "urn:schemas-upnp-org:device-1-0");
  XmlElement specVersion("specVersion", "");
  specVersion.addChild("major", "1");
  XmlElement deeper("c", "hidden");  // text beside children is not written
  deeper.addChild("d", "x");
  specVersion.appendChild(deeper);
  root.appendChild(specVersion);
  const std::string expected =
      "<root xmlns=\"urn:schemas-upnp-org:device-1-0\">\r\n"
      "  <specVersion>\r\n"
      "    <major>1</major>\r\n"
      "    <c>\r\n"
      "      <d>x</d>\r\n"
      "    </c>\r\n"
      "  </specVersion>\r\n"
      "</root>\r\n";
  EXPECT_EQ(toXml(root), expected);
  EXPECT_EQ(toXml(root), expected);  // the indentation starts over on every call
  // A subtree written on its own starts at column 0.
  EXPECT_EQ(toXml(root.children[0].children[1]), "<c>\r\n  <d>x</d>\r\n</c>\r\n");
}

TEST(XmlElementTest, WritesLeavesExactly) {
  XmlElement withAttributes("e:propertyset", "");
  withAttributes.addAttribute("xmlns:e", "a\"b");
  withAttributes.addAttribute("xmlns:e", "dup");
  const struct {
    XmlElement element;
    const char* expected;
  } cases[] = {
      {XmlElement("a", ""), "<a></a>\r\n"},
      {XmlElement("a", "1 < 2 & \"3\""), "<a>1 < 2 & \"3\"</a>\r\n"},  // written unescaped
      {XmlElement("s:Body", " "), "<s:Body> </s:Body>\r\n"},             // prefixes kept as built
      {XmlElement("", ""), "<></>\r\n"},
      {withAttributes, "<e:propertyset xmlns:e=\"a\"b\" xmlns:e=\"dup\"></e:propertyset>\r\n"},
  };
  for (const auto& c : cases) EXPECT_EQ(toXml(c.element), c.expected);
}

TEST(XmlElementTest, AppendChildCopiesDeeply) {
  XmlElement parent("p", "");
  XmlElement child("c", "");
  child.addChild("leaf", "1");
  parent.appendChild(child);
  child.children[0].text = "changed";
  child.addChild("more", "");
  EXPECT_EQ(shape(parent), "p(c(leaf{1}))");
  // Appending one of its own children must survive the vector growing.
  for (int i = 0; i < 5; ++i) parent.appendChild(parent.children[0]);
  EXPECT_EQ(parent.children.size(), 6u);
  EXPECT_EQ(shape(parent.children[5]), "c(leaf{1})");
}

TEST(XmlElementTest, RoundTripKeepsTheTree) {
  XmlElement response("GetExternalIPAddressResponse", "");
  response.addAttribute("u", "urn:schemas-upnp-org:service:WANIPConnection:1");
  XmlElement inner("Inner", "");
  inner.addChild("NewExternalIPAddress", "10.0.0.1");
  inner.addChild("Empty", "");
  inner.addChild("Spaced", "  two  words ");
  response.appendChild(inner);
  const std::string text = toXml(response);
  std::string output;
  XmlDocument doc = parseCapturing("<?xml version=\"1.0\"?>\r\n" + text, output);
  ASSERT_TRUE(doc.ok) << output;
  ASSERT_EQ(doc.top.children.size(), 1u);
  EXPECT_EQ(shape(doc.top.children[0]), shape(response));
  EXPECT_EQ(toXml(doc.top.children[0]), text);
}

TEST(XmlElementTest, TruncatedAtEveryByteNeverPretendsSuccess) {
  XmlElement root("root", "");
  root.addAttribute("xmlns", "urn:schemas-upnp-org:device-1-0");
  root.addChild("a", "x&amp;y");
  root.addChild("b", "");
  const std::string full = toXml(root);
  const size_t rootEnd = full.rfind('>') + 1;
  for (size_t len = 0; len < full.size(); ++len) {
    std::string output;
    XmlDocument doc = parseCapturing(full.substr(0, len), output);
    EXPECT_EQ(doc.ok, len >= rootEnd) << len;
    EXPECT_EQ(output.empty(), len >= rootEnd) << len;
  }
}

}  // namespace
}  // namespace xml
