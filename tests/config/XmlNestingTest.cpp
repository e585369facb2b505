// The nesting limit of the parser: the depth scan agrees with the tree the parser builds, and
// documents past the limit are refused before the parser recurses.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "config/Xml.h"

namespace kv::core {
namespace {

std::string nested(size_t depth, std::string_view inner = "") {
  std::string text;
  for (size_t i = 0; i < depth; ++i) text += "<e>";
  text += inner;
  for (size_t i = 0; i < depth; ++i) text += "</e>";
  return text;
}

size_t treeDepth(const XmlNode& node) {
  size_t deepest = 0;
  for (const XmlNode* child = node.first_node(); child; child = child->next_sibling()) {
    if (child->type() != rapidxml::node_element) continue;
    deepest = std::max(deepest, 1 + treeDepth(*child));
  }
  return deepest;
}

TEST(XmlNesting, TheScanSeesMarkupAsTheParserDoes) {
  const std::pair<std::string, size_t> cases[] = {
      {"<?xml version=\"1.0\"?><a><b/><c><d></d></c></a>", 3},
      {"\xEF\xBB\xBF<a><b></b></a>", 2},
      {"<a><!-- <b><c><d> --></a>", 1},
      {"<a><![CDATA[<b><c>]]></a>", 1},
      {"<!DOCTYPE a [<!ELEMENT a ANY><x>]><a/>", 1},
      {"<a v='/>' w=\"<b>\"><b/></a>", 2},  // marks inside values are not markup
      {"<a><?pi <b><c> ?><b/></a>", 2},
      {"<a>text > &amp; <b>more</b></a>", 2},
      {"<a/><b><c/></b>", 2},
      {"<a\"b c\"d='1'><e/></a\"b>", 2},  // quotes may be part of names
      {"junk<a><b>", 0},                  // the parser stops at once
      {"<a x=1><b><c>", 0},
      {"<a><!-->", 1},
      {"", 0},
  };
  for (const auto& [text, depth] : cases) EXPECT_EQ(xmlNestingDepth(text.c_str()), depth) << text;
  EXPECT_EQ(xmlNestingDepth(nested(100000).c_str()), kMaxXmlDepth + 1);  // counted no further
}

// Random documents made of the markup that can hide or fake a nesting level.
TEST(XmlNesting, TheScanMatchesTheParsedTree) {
  std::mt19937 random(12);
  const std::string_view pieces[] = {
      "<!-- <x> -->", "<![CDATA[<y>]]>", "<?p <z>?>", " text ", "<q a='>' b=\"/>\"/>", "&lt;",
  };
  for (int round = 0; round < 500; ++round) {
    std::string text;
    size_t open = 0;
    for (int step = 0; step < 60; ++step) {
      const unsigned pick = random() % 10;
      if (pick < 4) {
        text += "<n k='v'>";
        ++open;
      } else if (pick < 6 && open > 0) {
        text += "</n>";
        --open;
      } else {
        text += pieces[random() % std::size(pieces)];
      }
    }
    for (; open > 0; --open) text += "</n>";
    text = "<r>" + text + "</r>";
    const XmlDocument document(text);
    EXPECT_EQ(xmlNestingDepth(text.c_str()), treeDepth(document.root())) << text;
  }
}

TEST(XmlNesting, DocumentsDeeperThanTheLimitAreRefused) {
  EXPECT_NO_THROW(XmlDocument(nested(kMaxXmlDepth)));
  for (const size_t depth : {kMaxXmlDepth + 1, size_t{100000}}) {
    try {
      XmlDocument document(nested(depth));
      ADD_FAILURE() << depth << " levels parsed";
    } catch (const rapidxml::parse_error& error) {
      EXPECT_STREQ(error.what(), "nesting too deep");
    }
  }
}

}  // namespace
}  // namespace kv::core
