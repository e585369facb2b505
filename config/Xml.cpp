#include "config/Xml.h"

namespace kv::core {

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
