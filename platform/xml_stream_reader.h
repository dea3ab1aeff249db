#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace xml {

// A pull reader over one XML text, built on expat. The whole text is tokenized
// on construction; `next` then walks the tokens. Entities: only the predefined
// and character references are expanded; a document with a DOCTYPE is an error
// (so nothing external is ever loaded and no entity can be expanded without
// bound). Nesting deeper than kMaxDepth is an error.
class XmlStreamReader {
 public:
  enum class Token { Error, EndDocument, StartTag, EndTag, Other };
  struct Attribute {
    std::string qualifiedName;
    size_t prefixEnd;  // index of the ':' in qualifiedName, or npos
    std::string value;
  };
  static constexpr size_t kMaxDepth = 256;

  explicit XmlStreamReader(std::string text);
  ~XmlStreamReader();
  XmlStreamReader(const XmlStreamReader&) = delete;
  XmlStreamReader& operator=(const XmlStreamReader&) = delete;

  // Advances to the next token. Before the first call the reader stands before
  // the document. After Error or EndDocument it stays there.
  Token next();
  Token token() const;

  // For StartTag and EndTag: the qualified name ("s:Envelope") and the index of
  // its ':' (npos without a prefix).
  const std::string& qualifiedName() const;
  size_t prefixEnd() const;
  // For StartTag: the attributes in document order.
  const std::vector<Attribute>& attributes() const;

  // REQUIRES: token() == StartTag. If the element holds only text (character
  // data, comments and processing instructions, no child element), appends the
  // text to `dest`, moves to the element's EndTag and returns true. Otherwise
  // moves to the first token inside the element and returns false.
  bool readContent(std::string& dest);

  // After Error: what went wrong (with line and column).
  const std::string& errorMessage() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> mImpl;
};

}  // namespace xml
