#include "config/Xml.h"

#include <algorithm>
#include <cstring>

namespace kv::core {
namespace {

bool isBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// The characters the parser takes into an element name, and into an attribute name.
bool isNameChar(char c) {
  return c != '\0' && !isBlank(c) && c != '/' && c != '>' && c != '?';
}
bool isAttributeNameChar(char c) {
  return isNameChar(c) && c != '!' && c != '<' && c != '=';
}

// Walks the markup the way the parser does, counting open elements. Wherever the parser would
// throw, the walk ends: the parser never gets deeper than the elements opened before that point.
class NestingScan {
 public:
  NestingScan(const char* text, size_t limit) : p_(text), limit_(limit) {}

  size_t run() {
    if (std::strncmp(p_, "\xEF\xBB\xBF", 3) == 0) p_ += 3;  // the byte-order mark
    while (deepest_ <= limit_) {
      skipBlanks();
      if (*p_ == '\0' || (depth_ == 0 && *p_ != '<')) break;
      if (*p_ != '<') {
        while (*p_ != '\0' && *p_ != '<') ++p_;  // character data
        continue;
      }
      ++p_;
      if (!markup()) break;
    }
    return deepest_;
  }

 private:
  // After a '<': false where the parser would stop with an error. Each kind of markup is skipped
  // from the same offset as the parser skips it, so that both see its end at the same place.
  bool markup() {
    switch (*p_) {
      case '/':
        if (depth_ == 0) return false;
        --depth_;
        return skipPast(1, ">");
      case '?': return skipPast(1, "?>");
      case '!':
        if (std::strncmp(p_, "!--", 3) == 0) return skipPast(3, "-->");
        if (std::strncmp(p_, "![CDATA[", 8) == 0) return skipPast(8, "]]>");
        if (std::strncmp(p_, "!DOCTYPE", 8) == 0 && isBlank(p_[8])) {
          p_ += 9;
          return skipDoctype();
        }
        return skipPast(1, ">");
      default: return element();
    }
  }

  bool element() {
    const char* name = p_;
    while (isNameChar(*p_)) ++p_;
    if (p_ == name) return false;
    skipBlanks();
    while (isAttributeNameChar(*p_)) {
      while (isAttributeNameChar(*p_)) ++p_;
      skipBlanks();
      if (*p_++ != '=') return false;
      skipBlanks();
      const char quote = *p_++;
      if (quote != '"' && quote != '\'') return false;
      while (*p_ != '\0' && *p_ != quote) ++p_;
      if (*p_++ != quote) return false;
      skipBlanks();
    }
    const bool empty = *p_ == '/';
    if (empty) ++p_;
    if (*p_++ != '>') return false;
    deepest_ = std::max(deepest_, depth_ + 1);
    if (!empty) ++depth_;  // the parser recurses for the contents
    return true;
  }

  bool skipDoctype() {
    while (*p_ != '>') {
      if (*p_ == '\0') return false;
      if (*p_++ != '[') continue;
      for (int brackets = 1; brackets > 0; ++p_) {
        if (*p_ == '\0') return false;
        if (*p_ == '[') ++brackets;
        if (*p_ == ']') --brackets;
      }
    }
    ++p_;
    return true;
  }

  bool skipPast(size_t offset, const char* mark) {
    const char* end = std::strstr(p_ + offset, mark);
    if (end == nullptr) return false;
    p_ = end + std::strlen(mark);
    return true;
  }

  void skipBlanks() {
    while (isBlank(*p_)) ++p_;
  }

  const char* p_;
  size_t limit_;
  size_t depth_ = 0;
  size_t deepest_ = 0;
};

}  // namespace

size_t xmlNestingDepth(const char* text, size_t limit) {
  return NestingScan(text, limit).run();
}

const XmlNode* findPath(const XmlNode& document, std::string_view path) {
  const XmlNode* node = &document;
  while (node != nullptr) {
    const auto slash = path.find('/');
    const std::string_view component = path.substr(0, slash);
    node = node->first_node(component.data(), component.size());
    if (slash == std::string_view::npos) break;
    path.remove_prefix(slash + 1);
  }
  return node;
}

const XmlAttribute* findAttribute(const XmlNode& element, std::string_view name) {
  return element.first_attribute(name.data(), name.size());
}

}  // namespace kv::core
