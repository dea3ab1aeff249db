#include "platform/xml_stream_reader.h"

#include <gtest/gtest.h>

#include <string>

namespace xml {
namespace {

using Token = XmlStreamReader::Token;

// The tag's name with a "|" at its prefix end: "s|:Envelope".
std::string name(const XmlStreamReader& reader) {
  std::string name = reader.qualifiedName();
  return reader.prefixEnd() == std::string::npos ? name : name.insert(reader.prefixEnd(), "|");
}

// Walks the whole document and writes one mark per token: "<name a=v>" for a
// start tag, "</name>" for an end tag, "~" for anything else, "$" for the end
// of the document and "!" for an error. Bounded by the input size.
std::string walk(const std::string& text) {
  XmlStreamReader reader(text);
  std::string out;
  for (size_t i = 0; i < text.size() * 2 + 4; ++i) {
    switch (reader.next()) {
      case Token::StartTag:
        out += "<" + name(reader);
        for (const auto& attribute : reader.attributes()) out += " " + attribute.qualifiedName + "=" + attribute.value;
        out += ">";
        break;
      case Token::EndTag:
        out += "</" + name(reader) + ">";
        break;
      case Token::Other:
        out += "~";
        break;
      case Token::EndDocument:
        return out + "$";
      case Token::Error:
        return out + "!";
    }
  }
  return out + "(runaway)";
}

TEST(XmlStreamReaderTest, TokenSequences) {
  using namespace std::string_literals;
  struct Case {
    std::string text;
    const char* expected;
  } cases[] = {
      {"<a/>", "<a></a>$"},
      {"<a>x<!--c-->y</a>", "<a>~~~</a>$"},
      {"<?xml version=\"1.0\"?>\r\n<a b=\"1\" c='2'/>", "~<a b=1 c=2></a>$"},
      {"<!--lead--><a/><!--trail-->", "~<a></a>~$"},
      {"<a><b>1</b><c/></a>", "<a><b>~</b><c></c></a>$"},
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
  for (const Case& c : cases) EXPECT_EQ(walk(c.text), c.expected) << c.text;
}

// Entity tricks all need a DOCTYPE; every one of them must be refused before
// any expansion or external access happens.
TEST(XmlStreamReaderTest, DoctypeIsRefused) {
  std::string billionLaughs = "<?xml version=\"1.0\"?>\n<!DOCTYPE lolz [\n<!ENTITY lol0 \"lol\">\n";
  for (int i = 1; i < 10; ++i) {
    billionLaughs += "<!ENTITY lol" + std::to_string(i) + " \"";
    for (int j = 0; j < 10; ++j) billionLaughs += "&lol" + std::to_string(i - 1) + ";";
    billionLaughs += "\">\n";
  }
  billionLaughs += "]>\n<lolz>&lol9;</lolz>";
  const std::string cases[] = {
      "<!DOCTYPE a><a/>",
      "<!DOCTYPE a [<!ENTITY e \"v\">]><a>&e;</a>",
      "<!DOCTYPE a [<!ENTITY e SYSTEM \"file:///etc/passwd\">]><a>&e;</a>",
      "<!DOCTYPE a SYSTEM \"http://127.0.0.1:1/x.dtd\"><a/>",
      "<!DOCTYPE a [<!ENTITY % p SYSTEM \"file:///etc/passwd\"> %p;]><a/>",
      "<!DOCTYPE a [<!ATTLIST a b CDATA \"injected\">]><a/>",
      billionLaughs,
  };
  for (const std::string& text : cases) {
    XmlStreamReader reader(text);
    Token t = Token::Other;
    for (int i = 0; i < 10 && t != Token::Error && t != Token::EndDocument; ++i) t = reader.next();
    EXPECT_EQ(t, Token::Error) << text;
    EXPECT_NE(reader.errorMessage().find("DOCTYPE not allowed"), std::string::npos) << reader.errorMessage();
  }
  EXPECT_EQ(walk(billionLaughs), "~!");  // the XML declaration, then the refusal
}

std::string nested(size_t depth) {
  std::string text;
  for (size_t i = 0; i < depth; ++i) text += "<n>";
  for (size_t i = 0; i < depth; ++i) text += "</n>";
  return text;
}

TEST(XmlStreamReaderTest, NestingLimit) {
  EXPECT_EQ(walk(nested(XmlStreamReader::kMaxDepth)).back(), '$');
  XmlStreamReader reader(nested(XmlStreamReader::kMaxDepth + 1));
  size_t starts = 0;
  Token t = Token::Other;
  for (size_t i = 0; i < 2 * XmlStreamReader::kMaxDepth + 4 && t != Token::Error; ++i) {
    t = reader.next();
    if (t == Token::StartTag) ++starts;
  }
  EXPECT_EQ(t, Token::Error);
  EXPECT_EQ(starts, XmlStreamReader::kMaxDepth);
  EXPECT_NE(reader.errorMessage().find("nested too deeply"), std::string::npos) << reader.errorMessage();
  // Far deeper: fails without recursion.
  std::string deep;
  for (int i = 0; i < 200000; ++i) deep += "<n>";
  EXPECT_EQ(walk(deep).back(), '!');
}

const char kSoapRequest[] =
    "<?xml version=\"1.0\"?>\r\n"
    "<s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\" "
    "s:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\">"
    "<s:Body><u:AddPortMapping xmlns:u=\"urn:schemas-upnp-org:service:WANIPConnection:1\">"
    "<NewRemoteHost></NewRemoteHost><NewExternalPort>8080</NewExternalPort>"
    "<NewPortMappingDescription>a &amp; b<!-- c --></NewPortMappingDescription>"
    "<?pi x?><![CDATA[<raw>]]>"
    "</u:AddPortMapping></s:Body></s:Envelope>\r\n";

// Every prefix of a document is fed through a reader that also calls
// readContent on each start tag; each must end in Error without running away,
// except the complete document (and the one without its final line end).
TEST(XmlStreamReaderTest, TruncatedAtEveryByte) {
  const std::string full = kSoapRequest;
  const size_t rootEnd = full.rfind('>') + 1;
  for (size_t len = 0; len <= full.size(); ++len) {
    XmlStreamReader reader(full.substr(0, len));
    Token t = Token::Other;
    size_t steps = 0;
    for (; steps < full.size() && t != Token::Error && t != Token::EndDocument; ++steps) {
      t = reader.next();
      std::string dest;
      if (t == Token::StartTag && reader.readContent(dest)) t = reader.token();
    }
    ASSERT_LT(steps, full.size()) << len;
    EXPECT_EQ(t, len >= rootEnd ? Token::EndDocument : Token::Error) << len;
    if (t == Token::Error) {
      EXPECT_FALSE(reader.errorMessage().empty());
    }
  }
}

}  // namespace
}  // namespace xml
