// Settings from product.xml and core.xml, value by value, and log levels from deltas.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "config/ConfigValues.h"
#include "tests/support/CoreFixture.h"

namespace kv::core {
namespace {

namespace fs = std::filesystem;

class ConfigurationTest : public test::CoreTest {
 protected:
  void SetUp() override {
    CoreTest::SetUp();
    enterDir();
  }

  static void writeFile(const char* name, const std::string& text) {
    std::ofstream(name, std::ios::binary) << text;
  }
  void loadCore(const std::string& memory, const std::string& modules = "") {
    writeFile("core.xml", "<?xml version=\"1.0\"?><kDVR>" + memory + modules + "</kDVR>");
    core_->loadConfiguration();
  }
  // Status documents posted so far, as the queue holds them.
  size_t statusDocuments() {
    size_t count = 0;
    for (const auto& entry : queued()) count += entry.type == kTypeConfig;
    return count;
  }
  int applyDelta(const std::string& payload, uint32_t source = makeAddress(0x21)) {
    auto event = record(kTypeConfig, kFlagLive | kFlagConfigDelta, source, payload);
    core_->applyModulesDelta(event);
    return static_cast<int>(statusDocuments());
  }
};

TEST(ConfigValues, Flags) {
  rapidxml::xml_document<char> document;
  const std::pair<const char*, bool> values[] = {
      {"0", false}, {"1", true},   {"x", true},      {"FALSE", false}, {"fAlSe", false},
      {"no", true}, {"off", true}, {"false ", true}, {"00", true},
  };
  for (const auto& [text, expected] : values) {
    auto* attribute = document.allocate_attribute("Throttling", text);
    EXPECT_EQ(parseFlag(attribute, true), expected) << text;
  }
  EXPECT_TRUE(parseFlag(document.allocate_attribute("Throttling", ""), true));
  EXPECT_TRUE(parseFlag(nullptr, true));
  EXPECT_FALSE(parseFlag(nullptr, false));
}

TEST(ConfigValues, Numbers) {
  EXPECT_EQ(parseUnsigned("1200ms"), 1200u);
  EXPECT_EQ(parseUnsigned("4294967295"), 4294967295u);
  EXPECT_EQ(parseUnsigned("4294967296"), std::nullopt);
  EXPECT_EQ(parseUnsigned("-5"), std::nullopt);
  EXPECT_EQ(parseUnsigned(""), std::nullopt);
  EXPECT_EQ(parseUnsigned("x1"), std::nullopt);
  EXPECT_EQ(parseSigned("-2147483648"), INT32_MIN);
  EXPECT_EQ(parseSigned("2147483647"), INT32_MAX);
  EXPECT_EQ(parseSigned("2147483648"), std::nullopt);
  EXPECT_EQ(parseSigned("-2147483649"), std::nullopt);
  EXPECT_EQ(parseSigned("-"), std::nullopt);
  EXPECT_EQ(parseSigned("131072x"), 131072);
  EXPECT_EQ(parseSigned("+5"), std::nullopt);
}

TEST_F(ConfigurationTest, WithoutCoreXmlEverythingIsDefaulted) {
  core_->loadConfiguration();
  const auto lines = logLines();
  ASSERT_EQ(lines.size(), 2u);  // the message and its second line
  EXPECT_EQ(lines[0],
            "\033[38;5;196m12:04:05.007\033[36m core\033[0m Failed to open core.xml - "
            "No such file or directory");
  EXPECT_EQ(lines[1], "Config defaulted");
  EXPECT_TRUE(core_->throttleEnabled.load());
  EXPECT_EQ(core_->maxGopLen.load(), 1050);
  EXPECT_EQ(core_->logLevels[0].load(), -1);
  EXPECT_EQ(core_->productName, "Korvascope");

  writeFile("core.xml", "<kDVR/>");
  core_->loadConfiguration();
  EXPECT_EQ(logLines().at(2).substr(logLines().at(2).find("core\033[0m ") + 9),
            "Failed - not xml content");
}

TEST_F(ConfigurationTest, MemorySettings) {
  const std::pair<const char*, int> gops[] = {
      {"100", 765},     {"99999", 1050}, {"3000", 2500},  {"-5", 1050},
      {"1200ms", 1200}, {"", 1050},      {"65535", 2500}, {"65536", 1050},
  };
  for (const auto& [value, expected] : gops) {
    core_->maxGopLen = 1050;
    loadCore(std::string("<Memory MaxGopLen=\"") + value + "\"/>");
    EXPECT_EQ(core_->maxGopLen.load(), expected) << value;
  }
  core_->maxGopLen = 3000;  // the clamp applies even without a value
  loadCore("<Memory/>");
  EXPECT_EQ(core_->maxGopLen.load(), 2500);

  for (const auto& [value, expected] : {std::pair{"FALSE", false}, std::pair{"0", false},
                                        std::pair{"no", true}, std::pair{"", true}}) {
    core_->throttleEnabled = !expected;
    loadCore(std::string("<Memory Throttling=\"") + value + "\"/>");
    EXPECT_EQ(core_->throttleEnabled.load(), expected) << value;
  }
  // Only the first namesake is followed: a second Memory is never looked at.
  loadCore("<Memory/><Memory Throttling=\"0\"/>");
  EXPECT_TRUE(core_->throttleEnabled.load());
}

TEST_F(ConfigurationTest, LogLevelsBySlot) {
  loadCore("",
           "<Modules><Module>"
           "<Plugin ID=\"65536\" LogLevel=\"50\"/>"       // slot 1: skipped
           "<Plugin ID=\"131072\" LogLevel=\"50\"/>"      // slot 2
           "<Plugin ID=\"-2147483648\" LogLevel=\"0\"/>"  // the core
           "<Plugin ID=\"3145728\" LogLevel=\"250\"/>"    // slot 0x30, clamped
           "<Plugin ID=\"3211264\" LogLevel=\"-7\"/>"     // slot 0x31, clamped
           "<Plugin ID=\"x\" LogLevel=\"75\"/>"
           "<Plugin ID=\"3276800\" LogLevel=\"\"/>"
           "<Other ID=\"3342336\" LogLevel=\"75\"/>"
           "</Module><Module><Plugin ID=\"3407872\" LogLevel=\"75\"/></Module></Modules>");
  EXPECT_EQ(core_->logLevels[1].load(), -1);
  EXPECT_EQ(core_->logLevels[2].load(), 50);
  EXPECT_EQ(core_->logLevels[0].load(), 0);
  EXPECT_EQ(core_->logLevels[0x30].load(), 100);
  EXPECT_EQ(core_->logLevels[0x31].load(), -1);
  EXPECT_EQ(core_->logLevels[0x32].load(), -1);
  EXPECT_EQ(core_->logLevels[0x33].load(), -1);
  EXPECT_EQ(core_->logLevels[0x34].load(), 75);  // later Module siblings count too
}

TEST_F(ConfigurationTest, ProductNameAndVersion) {
  writeFile("core.xml", "<?xml?><kDVR/>");
  writeFile("product.xml",
            "<?xml?><Anything><Product Family=\"Acme &amp; Co\" Version=\"9\"/>"
            "<Product Family=\"second\"/></Anything>");
  core_->loadConfiguration();
  EXPECT_EQ(core_->productName, "Acme & Co");
  EXPECT_EQ(core_->coreVersion, "9");
  writeFile("product.xml", "<?xml?><P><Product Family=\"NoVersion\"/></P>");
  core_->loadConfiguration();
  EXPECT_EQ(core_->coreVersion, "");
  writeFile("product.xml", "<?xml?><P><Other/></P>");  // no Product: kept
  core_->loadConfiguration();
  EXPECT_EQ(core_->productName, "NoVersion");
  EXPECT_TRUE(logLines().empty());  // product.xml never complains, core.xml was fine
}

TEST_F(ConfigurationTest, DeltasChangeLevelsAndRepublish) {
  const std::string delta =
      "<kDVR><Modules Delta=\"1\"><Module><Plugin ID=\"2162688\" LogLevel=\"50\"/></Module>"
      "</Modules></kDVR>";
  EXPECT_EQ(applyDelta(delta), 1);  // one change, one rebuild
  EXPECT_EQ(core_->logLevels[0x21].load(), 50);
  EXPECT_EQ(applyDelta(delta), 1);  // unchanged: none
  EXPECT_TRUE(fs::exists("core.xml"));

  const std::string other =
      "<kDVR><Modules Delta=\"1\"><Module><Plugin ID=\"2162688\" LogLevel=\"75\"/></Module>"
      "</Modules></kDVR>";
  EXPECT_EQ(applyDelta(other, kCoreAddress), 1);  // from the core itself: ignored
  auto notDelta = record(kTypeConfig, kFlagLive, makeAddress(0x21), other);
  core_->applyModulesDelta(notDelta);  // without the delta flag
  EXPECT_EQ(statusDocuments(), 1u);
  // "<Modules" must start within the first 40 bytes.
  const std::string late =
      "<kDVR>                                  <Modules Delta=\"1\"><Module>"
      "<Plugin ID=\"2162688\" LogLevel=\"75\"/></Module></Modules></kDVR>";
  EXPECT_EQ(applyDelta(late), 1);
  EXPECT_EQ(core_->logLevels[0x21].load(), 50);
  EXPECT_EQ(applyDelta(other), 2);
  EXPECT_EQ(core_->logLevels[0x21].load(), 75);
  core_->requestStop();
  EXPECT_EQ(applyDelta(delta), 2);  // nothing changes once stopping
}

// `depth` levels of elements, to be placed inside `levels` levels that are already open.
std::string padding(size_t depth, size_t levels) {
  std::string text;
  for (size_t i = levels; i < depth; ++i) text += "<x>";
  for (size_t i = levels; i < depth; ++i) text += "</x>";
  return text;
}

TEST_F(ConfigurationTest, DeepDocumentsAreRefusedLikeBrokenOnes) {
  const auto delta = [](size_t depth, const char* level) {
    return "<kDVR><Modules Delta=\"1\"><Module><Plugin ID=\"2162688\" LogLevel=\"" +
           std::string(level) + "\"/>" + padding(depth, 3) + "</Module></Modules></kDVR>";
  };
  EXPECT_EQ(applyDelta(delta(kMaxXmlDepth, "50")), 1);
  EXPECT_EQ(core_->logLevels[0x21].load(), 50);
  for (const size_t depth : {kMaxXmlDepth + 1, size_t{150000}}) {
    EXPECT_EQ(applyDelta(delta(depth, "75")), 1) << depth;
    EXPECT_EQ(core_->logLevels[0x21].load(), 50);
  }

  const auto coreXml = [](size_t depth) {
    return "<?xml?><kDVR><Memory MaxGopLen=\"2000\"/>" + padding(depth, 1) + "</kDVR>";
  };
  const auto productXml = [](size_t depth) {
    return "<?xml?><P><Product Family=\"F\" Version=\"7\"/>" + padding(depth, 1) + "</P>";
  };
  writeFile("core.xml", coreXml(kMaxXmlDepth));
  writeFile("product.xml", productXml(kMaxXmlDepth));
  core_->loadConfiguration();
  EXPECT_EQ(core_->maxGopLen.load(), 2000);
  EXPECT_EQ(core_->coreVersion, "7");
  EXPECT_TRUE(logLines().empty());

  // A deep pending copy is passed over for the file itself; a deep file is not read at all.
  core_->maxGopLen = 1050;
  writeFile("core.xml.pending", coreXml(100000));
  writeFile("product.xml", productXml(100000));
  core_->coreVersion = "26";
  core_->loadConfiguration();
  EXPECT_EQ(core_->maxGopLen.load(), 2000);
  EXPECT_EQ(core_->coreVersion, "26");
  EXPECT_FALSE(fs::exists("core.xml.pending"));
  core_->maxGopLen = 1050;
  writeFile("core.xml", coreXml(kMaxXmlDepth + 1));
  core_->loadConfiguration();
  EXPECT_EQ(core_->maxGopLen.load(), 1050);
  const auto lines = logLines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].substr(lines[0].find("core\033[0m ") + 9), "nesting too deep");
  EXPECT_EQ(lines[1], "Config defaulted");
}

TEST(ConfigValues, TheDeltaFilterLooksOnlyInItsWindows) {
  const auto looks = [](const std::string& text) {
    return looksLikeModulesDelta(text.data(), static_cast<uint32_t>(text.size()));
  };
  EXPECT_TRUE(looks("<kDVR><Modules Delta=\"1\">"));
  EXPECT_FALSE(looks("<Modules Delta=\"1\">"));      // shorter than 22
  EXPECT_FALSE(looks("<Modules Delta=\"1\"/>   "));  // "Delta" begins before byte 13
  // A mark that begins before byte 113 but ends after the 100-byte window is not found.
  const std::string pad(98, ' ');
  EXPECT_FALSE(looks("<Modules" + std::string(5, ' ') + pad + "Delta=\"1\""));
  EXPECT_TRUE(looks("<Modules" + std::string(5, ' ') + std::string(91, ' ') + "Delta=\"1\"   "));
  // "<Modules" may come after the Delta attribute, as long as it starts early enough.
  EXPECT_TRUE(looks("<kDVR Version=\"x\" Delta=\"1\"><Modules/>"));
}

}  // namespace
}  // namespace kv::core
