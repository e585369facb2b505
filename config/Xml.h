// The XML parser of the core, and how it is used: every document is parsed from a private copy
// of its text, so the caller's text is never changed, and character entities are translated.
//
// Core-internal. Include this header rather than rapidxml.hpp: it fixes the size of the first
// memory block of every document, which must be the same in every file.
#pragma once

// The core's documents are small; the first block of a document's pool lives on the stack.
#define RAPIDXML_STATIC_POOL_SIZE 4096
#include <rapidxml/rapidxml.hpp>

#include <cstddef>
#include <string_view>
#include <vector>

namespace kv::core {

using XmlNode = rapidxml::xml_node<char>;
using XmlAttribute = rapidxml::xml_attribute<char>;

// The parser recurses once per element level; deeper documents are refused before it starts, so
// that hostile text can't exhaust the stack. The core's own documents are four levels deep.
inline constexpr size_t kMaxXmlDepth = 256;

// How deep the parser would nest elements in `text` (which ends at its first zero byte), counted
// no further than `limit + 1`. Follows the parser's own reading of markup (comments, CDATA,
// declarations, quoted attribute values) and stops where the parser would stop with an error.
size_t xmlNestingDepth(const char* text, size_t limit = kMaxXmlDepth);

// A parsed document that owns the text it was parsed from. Parsing stops at the first zero byte;
// a leading byte-order mark is skipped; declarations and comments produce no nodes. Throws
// rapidxml::parse_error (a std::exception) with the parser's message on a syntax error, or
// "nesting too deep" for elements nested deeper than kMaxXmlDepth; std::bad_alloc (or
// std::length_error) when the text can't be copied.
class XmlDocument {
 public:
  explicit XmlDocument(std::string_view text) : text_(text.begin(), text.end()) {
    text_.push_back('\0');
    if (xmlNestingDepth(text_.data()) > kMaxXmlDepth) {
      throw rapidxml::parse_error("nesting too deep", text_.data());
    }
    document_.parse<0>(text_.data());
  }
  XmlDocument(const XmlDocument&) = delete;
  XmlDocument& operator=(const XmlDocument&) = delete;

  const XmlNode& root() const { return document_; }

 private:
  std::vector<char> text_;
  rapidxml::xml_document<char> document_;
};

// The first element at `path` ("kDVR/Memory"): each component is looked for among the children of
// the element found before, and only the first namesake is ever followed. Null when not found.
const XmlNode* findPath(const XmlNode& document, std::string_view path);

// The first attribute named `name` of `element`, or null.
const XmlAttribute* findAttribute(const XmlNode& element, std::string_view name);

}  // namespace kv::core
