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

// Whatever the printer writes, the reader takes back: names as they were, values up to their
// first zero byte.
TEST(XmlRoundTrip, ThePrintedTextReadsBackAsTheTree) {
  std::mt19937 random(7);
  // The bytes a name may hold: none that ends a name or starts other markup.
  std::string nameBytes;
  for (int c = 1; c < 256; ++c) {
    if (std::string_view(" \t\n\r/>?!<=").find(static_cast<char>(c)) == std::string_view::npos) {
      nameBytes += static_cast<char>(c);
    }
  }
  const auto bytes = [&](size_t length, std::string_view from) {
    std::string text;
    for (size_t i = 0; i < length; ++i) {
      text += from.empty() ? static_cast<char>(random() % 256) : from[random() % from.size()];
    }
    return text;
  };
  for (int round = 0; round < 300; ++round) {
    rapidxml::xml_document<char> document;
    document.append_node(document.allocate_node(rapidxml::node_declaration));
    std::vector<XmlNode*> elements;
    std::vector<std::string> texts;  // owns every name and value of this round
    texts.reserve(200);
    const auto keep = [&](std::string text) -> const std::string& {
      return texts.emplace_back(std::move(text));
    };
    for (int i = 0; i < 8; ++i) {
      const std::string& name = keep(bytes(1 + random() % 6, nameBytes));
      XmlNode* node =
          document.allocate_node(rapidxml::node_element, name.data(), nullptr, name.size());
      (elements.empty() ? &document : elements[random() % elements.size()])->append_node(node);
      for (unsigned a = random() % 4; a > 0; --a) {
        const std::string& key = keep(bytes(1 + random() % 6, nameBytes));
        const std::string& value = keep(bytes(random() % 24, ""));
        node->append_attribute(
            document.allocate_attribute(key.data(), value.data(), key.size(), value.size()));
      }
      elements.push_back(node);
    }
    for (const int flags : {0, kXmlCompact}) {
      std::string text;
      printXml(text, document, flags, 0);
      ASSERT_EQ(measureXml(document, flags, 0), text.size());
      XmlDocument readBack(text);
      const XmlNode* printed = document.first_node()->next_sibling();
      const XmlNode* read = readBack.root().first_node();
      ASSERT_NE(read, nullptr) << text;
      std::vector<std::pair<const XmlNode*, const XmlNode*>> pending{{printed, read}};
      while (!pending.empty()) {
        const auto [want, got] = pending.back();
        pending.pop_back();
        ASSERT_NE(got, nullptr) << text;
        ASSERT_EQ(std::string_view(got->name(), got->name_size()),
                  std::string_view(want->name(), want->name_size()));
        const XmlAttribute* gotAttribute = got->first_attribute();
        for (const XmlAttribute* a = want->first_attribute(); a; a = a->next_attribute()) {
          ASSERT_NE(gotAttribute, nullptr) << text;
          const std::string_view value(a->value(), a->value_size());
          EXPECT_EQ(std::string_view(gotAttribute->value(), gotAttribute->value_size()),
                    value.substr(0, value.find('\0')))
              << text;
          gotAttribute = gotAttribute->next_attribute();
        }
        EXPECT_EQ(gotAttribute, nullptr);
        const XmlNode* gotChild = got->first_node();
        for (const XmlNode* child = want->first_node(); child; child = child->next_sibling()) {
          pending.emplace_back(child, gotChild);
          ASSERT_NE(gotChild, nullptr) << text;
          gotChild = gotChild->next_sibling();
        }
        EXPECT_EQ(gotChild, nullptr) << text;
      }
    }
  }
}

}  // namespace
}  // namespace kv::core
