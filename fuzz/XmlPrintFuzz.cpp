// The XML printer on arbitrary trees: elements with hostile names (any byte the parser takes in a
// name) and attribute values of any bytes, nested up to the depth the reader accepts.
//
// Input, read as a stream of bytes (0 once it is used up): per element a name, an attribute count
// and attributes (name, value), a child count and the children, depth first. Names are 1 to 8
// bytes, a byte the parser would not take in a name becoming 'x'; values are 0 to 32 bytes.
//
// Checked: for both forms and several starting depths, the measured length is the printed
// length; the compact text is xmlToText's; and the printed document parses back to the same tree,
// each value up to its first zero byte (the printer writes values as the C texts they stand for).
#include <algorithm>
#include <cstdint>
#include <deque>
#include <exception>
#include <string>
#include <string_view>

#include "config/Xml.h"
#include "config/XmlPrint.h"
#include "fuzz/FuzzSupport.h"

namespace {

using namespace kv::core;

void fail(const std::string& what) {
  kv::fuzz::fail("xml_print", what);
}

bool isBlank(uint8_t c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// What the parser takes into an element name, and into an attribute name.
bool isNameByte(uint8_t c) {
  return c != 0 && !isBlank(c) && c != '/' && c != '>' && c != '?';
}
bool isAttributeNameByte(uint8_t c) {
  return isNameByte(c) && c != '!' && c != '<' && c != '=';
}

class TreeBuilder {
 public:
  TreeBuilder(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  void build(rapidxml::xml_document<char>& document) {
    document.append_node(document.allocate_node(rapidxml::node_declaration));
    document.append_node(element(document, 1));
  }

 private:
  uint8_t next() { return offset_ < size_ ? data_[offset_++] : 0; }

  std::string_view keep(std::string text) { return texts_.emplace_back(std::move(text)); }

  std::string_view name(bool attribute) {
    std::string text(1 + next() % 8, 'x');
    for (auto& c : text) {
      const uint8_t b = next();
      if (attribute ? isAttributeNameByte(b) : isNameByte(b)) c = static_cast<char>(b);
    }
    // "<!" and "<?" open other markup than an element.
    if (!attribute && text[0] == '!') text[0] = 'x';
    return keep(std::move(text));
  }

  std::string_view value() {
    std::string text(next() % 33, '\0');
    for (auto& c : text) c = static_cast<char>(next());
    return keep(std::move(text));
  }

  XmlNode* element(rapidxml::xml_document<char>& document, size_t depth) {
    const std::string_view elementName = name(false);
    XmlNode* node = document.allocate_node(rapidxml::node_element, elementName.data(), nullptr,
                                           elementName.size());
    for (int attributes = next() % 5; attributes > 0; --attributes) {
      const std::string_view attributeName = name(true);
      const std::string_view attributeValue = value();
      node->append_attribute(
          document.allocate_attribute(attributeName.data(), attributeValue.data(),
                                      attributeName.size(), attributeValue.size()));
    }
    const int children = depth < kMaxXmlDepth ? next() % 4 : 0;
    for (int i = 0; i < children && offset_ < size_; ++i) {
      node->append_node(element(document, depth + 1));
    }
    return node;
  }

  const uint8_t* data_;
  size_t size_;
  size_t offset_ = 0;
  std::deque<std::string> texts_;  // the names and values the tree points to
};

std::string_view nameOf(const XmlNode& node) {
  return {node.name(), node.name_size()};
}

// `parsed` is `built` as the printed text can carry it.
void compare(const XmlNode& built, const XmlNode& parsed) {
  if (parsed.type() != rapidxml::node_element) fail("the text parsed to a node of another kind");
  if (nameOf(built) != nameOf(parsed)) fail("an element name came back changed");
  const XmlAttribute* b = built.first_attribute();
  const XmlAttribute* p = parsed.first_attribute();
  for (; b != nullptr && p != nullptr; b = b->next_attribute(), p = p->next_attribute()) {
    std::string_view value(b->value(), b->value_size());
    value = value.substr(0, value.find('\0'));
    if (std::string_view(b->name(), b->name_size()) !=
            std::string_view(p->name(), p->name_size()) ||
        value != std::string_view(p->value(), p->value_size())) {
      fail("an attribute came back changed");
    }
  }
  if (b != nullptr || p != nullptr) fail("the attributes came back in another number");
  const XmlNode* bc = built.first_node();
  const XmlNode* pc = parsed.first_node();
  for (; bc != nullptr && pc != nullptr; bc = bc->next_sibling(), pc = pc->next_sibling()) {
    compare(*bc, *pc);
  }
  if (bc != nullptr || pc != nullptr) fail("the children came back in another number");
}

void checkMeasure(const XmlNode& node, int flags, int depth) {
  std::string text = "prefix";
  printXml(text, node, flags, depth);
  if (measureXml(node, flags, depth) != text.size() - 6) {
    fail("measured " + std::to_string(measureXml(node, flags, depth)) + ", printed " +
         std::to_string(text.size() - 6) + " (flags " + std::to_string(flags) + ", depth " +
         std::to_string(depth) + ")");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  TreeBuilder builder(data, size);  // holds the texts the tree points to
  rapidxml::xml_document<char> document;
  builder.build(document);
  const XmlNode& root = *document.first_node()->next_sibling();

  for (const int flags : {0, kXmlCompact}) {
    for (const int depth : {0, 1, 3}) {
      checkMeasure(document, flags, depth);
      checkMeasure(root, flags, depth);
    }
    std::string text;
    printXml(text, document, flags, 0);
    try {
      const XmlDocument parsed(text);
      const XmlNode* top = parsed.root().first_node();
      if (top == nullptr || top->next_sibling() != nullptr) fail("not one root element");
      compare(root, *top);
    } catch (const std::exception& error) {
      fail(std::string("the printed text does not parse: ") + error.what() + "\n" + text);
    }
  }
  std::string compact;
  printXml(compact, document, kXmlCompact, 0);
  if (xmlToText(document, measureXml(document, 0, 0)) != compact ||
      xmlToText(document, 0) != compact) {
    fail("xmlToText differs from the compact print");
  }
  return 0;
}
