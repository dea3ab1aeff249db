#include "model/xml/xml_element.h"

#include <gtest/gtest.h>

#include <string>

namespace xml {
namespace {

// name[attr=value]{text}(children), for comparing trees.
std::string shape(const XmlElement& e) {
  std::string out = e.name;
  for (const XmlAttribute& a : e.attributes) out += "[" + a.name + "=" + a.value + "]";
  if (!e.text.empty()) out += "{" + e.text + "}";
  if (e.children.empty()) return out;
  out += "(";
  for (size_t i = 0; i < e.children.size(); ++i) out += (i ? "," : "") + shape(e.children[i]);
  return out + ")";
}

XmlDocument parseQuietly(const std::string& text) {
  testing::internal::CaptureStdout();
  XmlDocument doc = parseXml(text);
  testing::internal::GetCapturedStdout();
  return doc;
}

TEST(XmlElementTest, ParsesTreesAndKeepsWhatWasBuiltOnError) {
  const struct {
    const char* text;
    bool ok;
    const char* shape;  // of the nameless top
  } cases[] = {
      {"<a><b>x</b><c/></a>", true, "(a(b{x},c))"},
      {"<s:Envelope xmlns:s=\"e\" s:encodingStyle=\"enc\"><s:Body><u:Act xmlns:u=\"svc\"><NewX>1</NewX>"
       "</u:Act></s:Body></s:Envelope>",
       true, "(Envelope[s=e][encodingStyle=enc](Body(Act[u=svc](NewX{1}))))"},
      {"<?xml version=\"1.0\"?>\r\n<!-- c -->\r\n<root xmlns=\"n\">\r\n  <a>1</a>\r\n</root>\r\n", true,
       "(root[xmlns=n](a{1}))"},
      {"<a>x<b>y</b>z</a>", true, "(a(b{y}))"},  // text beside children is dropped
      {"<a>&lt;&amp;&#65;&gt;&quot;</a>", true, "(a{<&A>\"})"},
      {"<a b=\"&amp;1\" c='2'/>", true, "(a[b=&1][c=2])"},
      {"<a:b:c/>", true, "(b:c)"},  // only the first colon ends the prefix
      {"<a><b>x</b><c>", false, "(a(b{x},c))"},
      {"<a/><b/>", false, "(a)"},
      {"", false, ""},
      {"<!DOCTYPE a [<!ENTITY e \"v\">]><a>&e;</a>", false, ""},
      {"<a>&undefined;</a>", false, "(a)"},
  };
  for (const auto& c : cases) {
    const XmlDocument doc = parseQuietly(c.text);
    EXPECT_EQ(doc.ok, c.ok) << c.text;
    EXPECT_EQ(shape(doc.top), c.shape) << c.text;
  }
}

TEST(XmlElementTest, WritesIndentedEscapedFormThatParsesBack) {
  XmlElement root("root", "");
  root.addAttribute("xmlns", "urn:a&b<c>\"d\"");
  XmlElement inner("c", "hidden");  // text beside children is not written
  inner.addChild("d", "1 < 2 && \"3\" > 0");
  inner.addChild("e", "");
  root.addChild("major", " 1 ");
  root.appendChild(inner);
  const std::string expected =
      "<root xmlns=\"urn:a&amp;b&lt;c>&quot;d&quot;\">\r\n"
      "  <major> 1 </major>\r\n"
      "  <c>\r\n"
      "    <d>1 &lt; 2 &amp;&amp; \"3\" &gt; 0</d>\r\n"
      "    <e></e>\r\n"
      "  </c>\r\n"
      "</root>\r\n";
  EXPECT_EQ(toXml(root), expected);
  EXPECT_EQ(toXml(root.children[1]), "<c>\r\n  <d>1 &lt; 2 &amp;&amp; \"3\" &gt; 0</d>\r\n  <e></e>\r\n</c>\r\n");
  root.children[1].text.clear();
  const XmlDocument doc = parseQuietly(toXml(root));
  ASSERT_TRUE(doc.ok);
  ASSERT_EQ(doc.top.children.size(), 1u);
  EXPECT_EQ(shape(doc.top.children[0]), shape(root));
}

TEST(XmlElementTest, EveryTruncationFailsUntilTheRootIsClosed) {
  XmlElement root("root", "");
  root.addAttribute("xmlns", "urn:x");
  root.addChild("a", "x&y");
  root.addChild("b", "");
  const std::string full = toXml(root);
  const size_t rootEnd = full.rfind('>') + 1;
  for (size_t length = 0; length < full.size(); ++length)
    EXPECT_EQ(parseQuietly(full.substr(0, length)).ok, length >= rootEnd) << length;
}

}  // namespace
}  // namespace xml
