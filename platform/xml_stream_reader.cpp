#include "platform/xml_stream_reader.h"

#include <expat.h>
#include <sys/random.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <utility>

namespace xml {

namespace {

struct Tok {
  XmlStreamReader::Token kind = XmlStreamReader::Token::Other;
  bool isText = false;   // an Other token of character data (may take more data)
  std::string name;      // tags: qualified name; Other: the character data
  size_t prefixEnd = std::string::npos;
  std::vector<XmlStreamReader::Attribute> attributes;
};

size_t colonIndex(const std::string& name) {
  return name.find(':');
}

// XML_Parse takes an int length, so the text goes in slices well below INT_MAX.
constexpr size_t kSlice = size_t{1} << 20;

const std::string kEmpty;
const std::vector<XmlStreamReader::Attribute> kNoAttributes;

}  // namespace

struct XmlStreamReader::Impl {
  XML_Parser parser = nullptr;
  std::vector<Tok> tokens;   // ends with exactly one Error or EndDocument token
  size_t pos = 0;            // index of the current token once started
  bool started = false;
  size_t depth = 0;
  bool aborted = false;      // a handler refused the document
  std::string abortReason;
  std::string error;

  void abort(const char* reason) {
    if (aborted) return;
    aborted = true;
    abortReason = reason;
    XML_StopParser(parser, XML_FALSE);
  }

  void push(Token kind, std::string name) {
    Tok t;
    t.kind = kind;
    t.prefixEnd = colonIndex(name);
    t.name = std::move(name);
    tokens.push_back(std::move(t));
  }

  void pushOther() {
    Tok t;
    tokens.push_back(std::move(t));
  }

  void tokenize(const std::string& text);
  void finishWithError();

  // Expat callbacks; `data` is the Impl.
  static Impl& self(void* data);
  static void onStart(void* data, const XML_Char* name, const XML_Char** attrs);
  static void onEnd(void* data, const XML_Char* name);
  static void onCharacters(void* data, const XML_Char* s, int len);
  static void onComment(void* data, const XML_Char* text);
  static void onProcessingInstruction(void* data, const XML_Char* target, const XML_Char* text);
  static void onXmlDecl(void* data, const XML_Char* version, const XML_Char* encoding, int standalone);
  static void onDoctype(void* data, const XML_Char* name, const XML_Char* sysid, const XML_Char* pubid,
                        int hasInternalSubset);
};

XmlStreamReader::Impl& XmlStreamReader::Impl::self(void* data) {
  return *static_cast<Impl*>(data);
}

void XmlStreamReader::Impl::onStart(void* data, const XML_Char* name, const XML_Char** attrs) {
  Impl& r = self(data);
  if (r.aborted) return;
  if (++r.depth > kMaxDepth) {
    r.abort("elements nested too deeply");
    return;
  }
  r.push(Token::StartTag, name);
  auto& list = r.tokens.back().attributes;
  for (size_t i = 0; attrs[i] != nullptr && attrs[i + 1] != nullptr; i += 2) {
    std::string qualified = attrs[i];
    size_t prefixEnd = colonIndex(qualified);
    list.push_back({std::move(qualified), prefixEnd, attrs[i + 1]});
  }
}

void XmlStreamReader::Impl::onEnd(void* data, const XML_Char* name) {
  Impl& r = self(data);
  if (r.aborted) return;
  if (r.depth > 0) --r.depth;
  r.push(Token::EndTag, name);
}

void XmlStreamReader::Impl::onCharacters(void* data, const XML_Char* s, int len) {
  Impl& r = self(data);
  if (r.aborted || len <= 0) return;
  // Expat splits text at line ends and entity references; readers want one run.
  if (r.tokens.empty() || !r.tokens.back().isText) {
    r.pushOther();
    r.tokens.back().isText = true;
  }
  r.tokens.back().name.append(s, static_cast<size_t>(len));
}

void XmlStreamReader::Impl::onComment(void* data, const XML_Char*) {
  Impl& r = self(data);
  if (!r.aborted) r.pushOther();
}

void XmlStreamReader::Impl::onProcessingInstruction(void* data, const XML_Char*, const XML_Char*) {
  Impl& r = self(data);
  if (!r.aborted) r.pushOther();
}

void XmlStreamReader::Impl::onXmlDecl(void* data, const XML_Char*, const XML_Char*, int) {
  Impl& r = self(data);
  if (!r.aborted) r.pushOther();
}

// A DOCTYPE is the only way to declare entities; refusing it outright keeps
// entity expansion bounded and never lets a document name an external resource.
void XmlStreamReader::Impl::onDoctype(void* data, const XML_Char*, const XML_Char*, const XML_Char*, int) {
  self(data).abort("DOCTYPE not allowed");
}

namespace {

// Expat salts its hash tables against collision floods. One secret salt per
// process, drawn once, spares every parse its own getrandom call.
unsigned long processSalt() {
  static const unsigned long salt = [] {
    unsigned long value = 0;
    if (getrandom(&value, sizeof value, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof value))
      value = static_cast<unsigned long>(time(nullptr)) * 2654435761u ^ static_cast<unsigned long>(getpid());
    return value | 1;  // 0 would ask expat for a fresh salt
  }();
  return salt;
}

// A parser's buffers and hash tables cost more to make than a short document
// costs to parse: the reader keeps one parser between documents and resets it.
XML_Parser gSpareParser = nullptr;

XML_Parser takeParser() {
  XML_Parser parser = std::exchange(gSpareParser, nullptr);
  if (parser != nullptr && XML_ParserReset(parser, nullptr) == XML_TRUE) return parser;
  if (parser != nullptr) XML_ParserFree(parser);
  return XML_ParserCreate(nullptr);
}

void giveBack(XML_Parser parser) {
  if (gSpareParser == nullptr)
    gSpareParser = parser;
  else
    XML_ParserFree(parser);
}

}  // namespace

void XmlStreamReader::Impl::tokenize(const std::string& text) {
  parser = takeParser();
  if (parser == nullptr) {
    error = "cannot create XML parser";
    push(Token::Error, {});
    return;
  }
  XML_SetHashSalt(parser, processSalt());
  XML_SetUserData(parser, this);
  XML_SetElementHandler(parser, onStart, onEnd);
  XML_SetCharacterDataHandler(parser, onCharacters);
  XML_SetCommentHandler(parser, onComment);
  XML_SetProcessingInstructionHandler(parser, onProcessingInstruction);
  XML_SetXmlDeclHandler(parser, onXmlDecl);
  XML_SetStartDoctypeDeclHandler(parser, onDoctype);
  XML_SetParamEntityParsing(parser, XML_PARAM_ENTITY_PARSING_NEVER);

  size_t offset = 0;
  do {
    size_t len = std::min(kSlice, text.size() - offset);
    bool last = offset + len == text.size();
    if (XML_Parse(parser, text.data() + offset, static_cast<int>(len), last ? XML_TRUE : XML_FALSE) !=
        XML_STATUS_OK) {
      finishWithError();
      return;
    }
    offset += len;
  } while (offset < text.size());
  push(Token::EndDocument, {});
}

void XmlStreamReader::Impl::finishWithError() {
  std::string reason = aborted ? abortReason : XML_ErrorString(XML_GetErrorCode(parser));
  error = reason + " at line " + std::to_string(XML_GetCurrentLineNumber(parser)) + ", column " +
          std::to_string(XML_GetCurrentColumnNumber(parser));
  push(Token::Error, {});
}

XmlStreamReader::XmlStreamReader(std::string text) : mImpl(std::make_unique<Impl>()) {
  mImpl->tokenize(text);
  if (mImpl->parser != nullptr) giveBack(std::exchange(mImpl->parser, nullptr));
}

XmlStreamReader::~XmlStreamReader() = default;

XmlStreamReader::Token XmlStreamReader::next() {
  if (!mImpl->started) {
    mImpl->started = true;
  } else if (mImpl->pos + 1 < mImpl->tokens.size()) {
    ++mImpl->pos;
  }
  return token();
}

XmlStreamReader::Token XmlStreamReader::token() const {
  if (!mImpl->started) return Token::Other;
  return mImpl->tokens[mImpl->pos].kind;
}

const std::string& XmlStreamReader::qualifiedName() const {
  if (!mImpl->started) return kEmpty;
  const Tok& t = mImpl->tokens[mImpl->pos];
  return t.kind == Token::StartTag || t.kind == Token::EndTag ? t.name : kEmpty;
}

size_t XmlStreamReader::prefixEnd() const {
  if (!mImpl->started) return std::string::npos;
  const Tok& t = mImpl->tokens[mImpl->pos];
  return t.kind == Token::StartTag || t.kind == Token::EndTag ? t.prefixEnd : std::string::npos;
}

const std::vector<XmlStreamReader::Attribute>& XmlStreamReader::attributes() const {
  if (!mImpl->started) return kNoAttributes;
  return mImpl->tokens[mImpl->pos].attributes;
}

bool XmlStreamReader::readContent(std::string& dest) {
  if (token() != Token::StartTag) return false;
  const auto& tokens = mImpl->tokens;
  size_t end = mImpl->pos + 1;
  while (tokens[end].kind == Token::Other) ++end;  // the list always ends in Error/EndDocument
  if (tokens[end].kind != Token::EndTag) {
    // A child element, or the document breaks off inside this one.
    ++mImpl->pos;
    return false;
  }
  for (size_t i = mImpl->pos + 1; i < end; ++i) {
    if (tokens[i].isText) dest += tokens[i].name;
  }
  mImpl->pos = end;
  return true;
}

const std::string& XmlStreamReader::errorMessage() const {
  return mImpl->error;
}

}  // namespace xml
