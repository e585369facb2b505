// The exact text of documents in both forms, and measuring that matches printing.
#include "config/XmlPrint.h"

#include <gtest/gtest.h>

#include <random>

namespace kv::core {
namespace {

class XmlPrintTest : public ::testing::Test {
 protected:
  XmlPrintTest() { document_.append_node(document_.allocate_node(rapidxml::node_declaration)); }

  XmlNode* element(XmlNode* parent, const char* name) {
    XmlNode* node = document_.allocate_node(rapidxml::node_element, name);
    (parent != nullptr ? parent : &document_)->append_node(node);
    return node;
  }
  void attribute(XmlNode* node, const char* name, const char* value) {
    node->append_attribute(document_.allocate_attribute(name, value));
  }
  std::string print(int flags) {
    std::string text;
    printXml(text, document_, flags, 0);
    EXPECT_EQ(measureXml(document_, flags, 0), text.size());
    return text;
  }

  rapidxml::xml_document<char> document_;
};

TEST_F(XmlPrintTest, IndentedAndCompactForms) {
  XmlNode* root = element(nullptr, "kDVR");
  XmlNode* memory = element(root, "Memory");
  attribute(memory, "ID", "-2147483648");
  attribute(memory, "Throttling", "1");
  XmlNode* modules = element(root, "Modules");
  attribute(modules, "Total", "0");
  attribute(element(element(modules, "Module"), "Plugin"), "ID", "1");
  EXPECT_EQ(print(0),
            "<?xml?>\n"
            "<kDVR>\n"
            "\t<Memory ID=\"-2147483648\" Throttling=\"1\"/>\n"
            "\t<Modules Total=\"0\">\n"
            "\t\t<Module>\n"
            "\t\t\t<Plugin ID=\"1\"/>\n"
            "\t\t</Module>\n"
            "\t</Modules>\n"
            "</kDVR>\n"
            "\n");
  EXPECT_EQ(print(kXmlCompact),
            "<?xml?><kDVR><Memory ID=\"-2147483648\" Throttling=\"1\"/><Modules Total=\"0\">"
            "<Module><Plugin ID=\"1\"/></Module></Modules></kDVR>");
  EXPECT_EQ(xmlToText(document_, 3), print(kXmlCompact));
  // An element printed on its own, deeper in.
  std::string text;
  EXPECT_EQ(printXml(text, *memory, 0, 2), "\t\t<Memory ID=\"-2147483648\" Throttling=\"1\"/>\n");
}

TEST_F(XmlPrintTest, QuotesAndEscapes) {
  XmlNode* root = element(nullptr, "e");
  attribute(root, "a", "it's <b> & c");
  attribute(root, "b", "say \"it's\"");
  attribute(root, "c", "\x01\xC3\xA9");
  EXPECT_EQ(print(kXmlCompact),
            "<?xml?><e a=\"it's &lt;b&gt; &amp; c\" b='say \"it&apos;s\"' c=\"\x01\xC3\xA9\"/>");
}

TEST_F(XmlPrintTest, MeasuringMatchesPrintingForAnyTree) {
  std::mt19937 random(12);
  const char* values[] = {"", "plain", "a&b", "<>", "\"q\"", "'", "mix'\"&<>", "tab\there"};
  for (int round = 0; round < 30; ++round) {
    rapidxml::xml_document<char> document;
    document.append_node(document.allocate_node(rapidxml::node_declaration));
    std::vector<XmlNode*> nodes{&document};
    for (int i = 0; i < 20; ++i) {
      XmlNode* node = document.allocate_node(rapidxml::node_element, i % 2 ? "Plugin" : "M");
      nodes[random() % nodes.size()]->append_node(node);
      for (unsigned a = 0; a < random() % 4; ++a) {
        node->append_attribute(document.allocate_attribute("k", values[random() % 8]));
      }
      nodes.push_back(node);
    }
    for (int flags : {0, kXmlCompact}) {
      for (int depth : {0, 3}) {
        std::string text;
        printXml(text, document, flags, depth);
        EXPECT_EQ(measureXml(document, flags, depth), text.size());
      }
    }
  }
}

}  // namespace
}  // namespace kv::core
