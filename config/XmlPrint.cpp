#include "config/XmlPrint.h"

#include <string_view>

namespace kv::core {
namespace {

// Printing and measuring walk the tree the same way; only what they do with the text differs.
class Printer {
 public:
  Printer(std::string* text, int flags) : text_(text), indented_((flags & kXmlCompact) == 0) {}

  void node(const XmlNode& node, int depth) {
    switch (node.type()) {
      case rapidxml::node_document:
        for (const XmlNode* child = node.first_node(); child; child = child->next_sibling()) {
          this->node(*child, depth);
        }
        break;
      case rapidxml::node_declaration:
        indent(depth);
        put("<?xml");
        attributes(node);
        put("?>");
        break;
      case rapidxml::node_element: element(node, depth); break;
      default: return;  // the core's documents hold nothing else
    }
    if (indented_) put("\n");
  }

  size_t size() const { return size_; }

 private:
  void element(const XmlNode& element, int depth) {
    indent(depth);
    put("<");
    put(name(element));
    attributes(element);
    const XmlNode* child = element.first_node();
    if (child == nullptr) {
      put("/>");
      return;
    }
    put(">");
    if (indented_) put("\n");
    for (; child; child = child->next_sibling()) node(*child, depth + 1);
    indent(depth);
    put("</");
    put(name(element));
    put(">");
  }

  void attributes(const XmlNode& node) {
    for (const XmlAttribute* a = node.first_attribute(); a; a = a->next_attribute()) {
      put(" ");
      put({a->name(), a->name_size()});
      put("=");
      value({a->value(), a->value_size()});
    }
  }

  // Apostrophes around a value holding a double quote, double quotes otherwise. A value ends at
  // its first zero byte, as the C text it stands for: the reader could not take one back.
  void value(std::string_view value) {
    value = value.substr(0, value.find('\0'));
    const bool apostrophes = value.find('"') != std::string_view::npos;
    put(apostrophes ? "'" : "\"");
    for (const char c : value) {
      switch (c) {
        case '&': put("&amp;"); break;
        case '<': put("&lt;"); break;
        case '>': put("&gt;"); break;
        case '\'': put(apostrophes ? "&apos;" : "'"); break;
        default: put({&c, 1});
      }
    }
    put(apostrophes ? "'" : "\"");
  }

  void indent(int depth) {
    if (indented_) put(std::string(static_cast<size_t>(depth), '\t'));
  }

  static std::string_view name(const XmlNode& node) { return {node.name(), node.name_size()}; }

  void put(std::string_view part) {
    size_ += part.size();
    if (text_ != nullptr) text_->append(part);
  }

  std::string* text_;  // null when only measuring
  bool indented_;
  size_t size_ = 0;
};

}  // namespace

std::string& printXml(std::string& text, const XmlNode& node, int flags, int depth) {
  Printer(&text, flags).node(node, depth);
  return text;
}

size_t measureXml(const XmlNode& node, int flags, int depth) {
  Printer measurer(nullptr, flags);
  measurer.node(node, depth);
  return measurer.size();
}

std::string xmlToText(const XmlNode& document, size_t sizeHint) {
  std::string text;
  if (sizeHint > 15) text.reserve(sizeHint);
  return printXml(text, document, kXmlCompact, 0);
}

}  // namespace kv::core
