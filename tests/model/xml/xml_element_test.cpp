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
  for (size_t i = 0; i < e.children.size(); ++i) out += (i ? "," : "(") + shape(e.children[i]);
  return e.children.empty() ? out : out + ")";
}

TEST(XmlElementTest, ParsesTreesAndKeepsWhatWasBuiltOnError) {
  const std::pair<const char*, const char*> cases[] = {  // text, shape of the nameless top; '!' when not ok
      {"<a><b>x</b><c/></a>", "(a(b{x},c))"},
      {"<s:Envelope xmlns:s=\"e\" s:encodingStyle=\"enc\"><s:Body><u:Act xmlns:u=\"svc\"><NewX>1</NewX></u:Act></s:Body>"
       "</s:Envelope>", "(Envelope[s=e][encodingStyle=enc](Body(Act[u=svc](NewX{1}))))"},
      {"<?xml version=\"1.0\"?>\r\n<!-- c -->\r\n<root xmlns=\"n\">\r\n  <a>1</a>\r\n</root>\r\n", "(root[xmlns=n](a{1}))"},
      {"<a>x<b>y</b>z</a>", "(a(b{y}))"},  // text beside children is dropped
      {"<a>&lt;&amp;&#65;&gt;&quot;</a>", "(a{<&A>\"})"}, {"<a b=\"&amp;1\" c='2'/>", "(a[b=&1][c=2])"},
      {"<a:b:c/>", "(b:c)"},  // only the first colon ends the prefix
      {"<a><b>x</b><c>", "!(a(b{x},c))"}, {"<a/><b/>", "!(a)"}, {"", "!"},
      {"<!DOCTYPE a [<!ENTITY e \"v\">]><a>&e;</a>", "!"}, {"<a>&undefined;</a>", "!(a)"},
  };
  for (const auto& [text, expected] : cases) {
    const XmlDocument doc = parseXml(text);
    EXPECT_EQ((doc.ok ? "" : "!") + shape(doc.top), expected) << text;
  }
}

// Every truncation of the written form fails until the root is closed.
TEST(XmlElementTest, WritesIndentedEscapedFormThatParsesBack) {
  XmlElement root("root", "");
  root.addAttribute("xmlns", "urn:a&b<c>\"d\"'");
  XmlElement inner("c", "hidden");  // text beside children is not written
  inner.addChild("d", "</d><f>1 < 2 && \"3\" > 0'");  // cannot add markup
  inner.addChild("e", "");
  root.addChild("major", " 1 ");
  root.appendChild(inner);
  const std::string full = toXml(root);
  const std::string d = "<d>&lt;/d&gt;&lt;f&gt;1 &lt; 2 &amp;&amp; \"3\" &gt; 0'</d>";
  EXPECT_EQ(full, "<root xmlns=\"urn:a&amp;b&lt;c>&quot;d&quot;'\">\r\n  <major> 1 </major>\r\n  <c>\r\n    " + d +
                      "\r\n    <e></e>\r\n  </c>\r\n</root>\r\n");
  EXPECT_EQ(toXml(root.children[1]), "<c>\r\n  " + d + "\r\n  <e></e>\r\n</c>\r\n");
  root.children[1].text.clear();
  const XmlDocument doc = parseXml(full);
  ASSERT_TRUE(doc.ok && doc.top.children.size() == 1);
  EXPECT_EQ(shape(doc.top.children[0]), shape(root));
  for (size_t length = 0; length < full.size(); ++length)
    EXPECT_EQ(parseXml(full.substr(0, length)).ok, length >= full.size() - 2) << length;
}

}  // namespace
}  // namespace xml
