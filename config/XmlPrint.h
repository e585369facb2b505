// The text of the core's XML documents, byte for byte: the indented form written to core.xml and
// the compact form carried by events.
//
// Core-internal; pure functions of the tree, safe on any thread. Documents hold a declaration
// and elements with attributes; element text, comments and the like are not printed.
#pragma once

#include <cstddef>
#include <string>

#include "config/Xml.h"

namespace kv::core {

// Print flag: no indentation and no line breaks.
inline constexpr int kXmlCompact = 1;

// Appends the text of `node` (a document, a declaration or an element) at indentation `depth` to
// `text` and returns it.
std::string& printXml(std::string& text, const XmlNode& node, int flags, int depth);

// The number of characters printXml would append for the same arguments.
size_t measureXml(const XmlNode& node, int flags, int depth);

// The compact text of `document`, with `sizeHint` characters reserved first when above 15.
std::string xmlToText(const XmlNode& document, size_t sizeHint);

}  // namespace kv::core
