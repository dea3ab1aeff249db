// Stored text is written back escaped: it reads back as it was and can never
// add markup to the document around it.

#include <gtest/gtest.h>

#include "model/xml/xml_element.h"

namespace xml {
namespace {

TEST(HardeningXmlTest, TextsAndAttributeValuesAreEscapedAndReadBackUnchanged) {
  XmlElement element("e", "</e><f>a<b & c>d\"'");
  element.addAttribute("v", "x\"y<z&w>'");
  const std::string text = toXml(element);
  EXPECT_EQ(text, "<e v=\"x&quot;y&lt;z&amp;w>'\">&lt;/e&gt;&lt;f&gt;a&lt;b &amp; c&gt;d\"'</e>\r\n");
  const XmlDocument back = parseXml(text);
  ASSERT_TRUE(back.ok && back.top.children.size() == 1 && back.top.children[0].children.empty());
  EXPECT_EQ(back.top.children[0].text, element.text);
  EXPECT_EQ(back.top.children[0].attributes.at(0).value, element.attributes.at(0).value);
}

}  // namespace
}  // namespace xml
