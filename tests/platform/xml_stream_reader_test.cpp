#include "platform/xml_stream_reader.h"

#include <gtest/gtest.h>


namespace xml {
namespace {

using Token = XmlStreamReader::Token;

// Walks the whole document and writes one mark per token: "<name a=v>" for a
// start tag, "</name>" for an end tag, "~" for anything else, "$" for the end
// of the document and "!" for an error. Bounded by the input size.
std::string walk(const std::string& text) {
  XmlStreamReader reader(text);
  auto name = [](const XmlStreamReader& r) {  // "s|:Envelope": "|" at the prefix end
    std::string n = r.qualifiedName();
    return r.prefixEnd() == std::string::npos ? n : n.insert(r.prefixEnd(), "|");
  };
  std::string out;
  for (size_t i = 0; i < text.size() * 2 + 4; ++i) {
    const Token t = reader.next();
    if (t == Token::EndDocument || t == Token::Error) return out + (t == Token::Error ? "!" : "$");
    out += t == Token::Other ? "~" : (t == Token::EndTag ? "</" : "<") + name(reader);
    if (t == Token::StartTag)
      for (const auto& attribute : reader.attributes()) out += " " + attribute.qualifiedName + "=" + attribute.value;
    if (t != Token::Other) out += ">";
  }
  return out + "(runaway)";
}

TEST(XmlStreamReaderTest, TokenSequences) {
  using namespace std::string_literals;
  const std::pair<std::string, const char*> cases[] = {
      {"<a>x<!--c-->y</a>", "<a>~~~</a>$"},
      {"<?xml version=\"1.0\"?>\r\n<a b=\"1\" c='2'/>", "~<a b=1 c=2></a>$"},
      {"<s:Envelope xmlns:s=\"u\"><s:Body/></s:Envelope>", "<s|:Envelope xmlns:s=u><s|:Body></s|:Body></s|:Envelope>$"},
      {"<a b=\"&lt;&#65;\"/>", "<a b=<A></a>$"},
      {"", "!"},
      {"<a></b>", "<a>!"},
      {"<a/>junk", "<a></a>!"},
      {"<a>&foo;</a>", "<a>!"},
      {"<a b=\"1\" b=\"2\"/>", "!"},
      {"<a>\x01</a>", "<a>!"},
      {"<a>x\0</a>"s, "<a>~!"},
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(walk(text), expected) << text;
}

// Entity tricks all need a DOCTYPE: refused before any expansion or external access.
TEST(XmlStreamReaderTest, DoctypeIsRefusedAndNestingIsBounded) {
  const std::string doctypes[] = {
      "<!DOCTYPE a><a/>",
      "<!DOCTYPE a [<!ENTITY e SYSTEM \"file:///etc/passwd\">]><a>&e;</a>",
      "<!DOCTYPE a [<!ENTITY % p SYSTEM \"file:///etc/passwd\"> %p;]><a/>",
      "<?xml version=\"1.0\"?><!DOCTYPE l [<!ENTITY a \"aaaa\"><!ENTITY b \"&a;&a;&a;\">]><l>&b;</l>",
  };
  for (const std::string& text : doctypes) {
    XmlStreamReader reader(text);
    Token t = Token::Other;
    for (int i = 0; i < 10 && t != Token::Error && t != Token::EndDocument; ++i) t = reader.next();
    EXPECT_EQ(t, Token::Error) << text;
    EXPECT_NE(reader.errorMessage().find("DOCTYPE not allowed"), std::string::npos) << reader.errorMessage();
  }
  auto nested = [](size_t depth) {
    std::string text;
    for (size_t i = 0; i < depth; ++i) text += "<n>";
    for (size_t i = 0; i < depth; ++i) text += "</n>";
    return text;
  };
  const size_t max = XmlStreamReader::kMaxDepth;
  EXPECT_EQ(walk(nested(max)).back(), '$');
  XmlStreamReader reader(nested(max + 1));
  size_t starts = 0;
  Token t = Token::Other;
  for (size_t i = 0; i < 2 * max + 4 && t != Token::Error; ++i) starts += (t = reader.next()) == Token::StartTag;
  EXPECT_EQ(t, Token::Error);
  EXPECT_EQ(starts, max);
  EXPECT_NE(reader.errorMessage().find("nested too deeply"), std::string::npos) << reader.errorMessage();
}

}  // namespace
}  // namespace xml
