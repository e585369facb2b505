// The status and memory documents of a core without plugins, byte for byte.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdio.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <sstream>

#include "core/Version.h"
#include "tests/support/CoreFixture.h"

// Run inside rename while set: the moment core.xml is being replaced. Replaces the C library's
// rename for this program.
std::function<void()> gWhileRenaming;

extern "C" int rename(const char* from, const char* to) {
  if (gWhileRenaming) gWhileRenaming();
  return ::renameat(AT_FDCWD, from, AT_FDCWD, to);
}

namespace kv::core {
namespace {

namespace fs = std::filesystem;

class StatusDocumentsTest : public test::CoreTest {
 protected:
  void SetUp() override {
    CoreTest::SetUp();
    enterDir();
  }

  // The payload of the last queued record of `type`, checked to be one of the core's documents.
  std::string lastDocument(uint32_t type) {
    std::string payload = "none";
    for (const auto& entry : queued()) {
      if (entry.type != type) continue;
      EXPECT_EQ(entry.source, kCoreAddress);
      EXPECT_EQ(entry.flags, 0x1000010u);
      payload.assign(static_cast<const char*>(entry.data), entry.length);
    }
    return payload;
  }

  static std::string coreXml() {
    std::ifstream file("core.xml", std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
  }
};

TEST_F(StatusDocumentsTest, ACoreWithoutPluginsDescribesOnlyItself) {
  core_->publishStatusDocument();
  const std::string version = kCoreVersion;
  EXPECT_EQ(lastDocument(kTypeConfig),
            "<?xml?><kDVR><Memory ID=\"-2147483648\" Throttling=\"1\" MaxGopLen=\"1050\"/>"
            "<Modules TotalLoadTimeMs=\"0\" TotalOpenTimeMs=\"0\">"
            "<Module ID=\"-2147483648\" Name=\"Core\" Version=\"" +
                version +
                "\">"
                "<Plugin ID=\"-2147483648\" Filename=\"korvacore\" Opened=\"1\" "
                "LoadTimeMs=\"0\" OpenTimeMs=\"0\" OpenCode=\"0\" LogLevel=\"-1\" "
                "LogLevelDefault=\"-1\"/>"
                "</Module></Modules><Product Family=\"Korvascope\" Version=\"" +
                version + "\"/></kDVR>");
  EXPECT_EQ(
      coreXml(),
      "<?xml?>\n<kDVR>\n"
      "\t<Memory ID=\"-2147483648\" Throttling=\"1\" MaxGopLen=\"1050\"/>\n"
      "\t<Modules TotalLoadTimeMs=\"0\" TotalOpenTimeMs=\"0\">\n"
      "\t\t<Module ID=\"-2147483648\" Name=\"Core\" Version=\"" +
          version +
          "\">\n"
          "\t\t\t<Plugin ID=\"-2147483648\" Filename=\"korvacore\" Opened=\"1\" LoadTimeMs=\"0\" "
          "OpenTimeMs=\"0\" OpenCode=\"0\" LogLevel=\"-1\" LogLevelDefault=\"-1\"/>\n"
          "\t\t</Module>\n\t</Modules>\n</kDVR>\n\n");
}

TEST_F(StatusDocumentsTest, TheSupervisorAppearsOnceItGaveItsVersion) {
  core_->link->supervisorFile = "korvad";
  core_->publishStatusDocument();
  EXPECT_EQ(lastDocument(kTypeConfig).find("<Library"), std::string::npos);
  core_->link->supervisorVersion = "1.2.3";
  core_->throttleEnabled = false;
  core_->logLevels[0] = 50;
  core_->publishStatusDocument();
  const std::string document = lastDocument(kTypeConfig);
  EXPECT_NE(document.find("LogLevel=\"50\" LogLevelDefault=\"-1\"/>"
                          "<Library Name=\"korvad\" Filename=\"korvad\" Version=\"1.2.3\"/>"
                          "</Module>"),
            std::string::npos)
      << document;
  EXPECT_NE(document.find("<Memory ID=\"-2147483648\" Throttling=\"0\""), std::string::npos);
  EXPECT_NE(coreXml().find("\t\t\t<Library Name=\"korvad\""), std::string::npos);
}

TEST_F(StatusDocumentsTest, AFailedWriteIsLoggedAndTheEventPostedAnyway) {
  fs::create_directories("core.xml/occupied");
  core_->publishStatusDocument();
  EXPECT_NE(lastDocument(kTypeConfig), "none");
  bool logged = false;
  for (const auto& line : logLines()) {
    logged |= line.ends_with("core\033[0m Failed to rename core.xml.pending - Is a directory");
  }
  EXPECT_TRUE(logged);
}

// A zero byte in the product's version must not cost the settings that core.xml carries from
// one start to the next.
TEST_F(StatusDocumentsTest, SettingsSurviveAZeroByteInTheVersion) {
  std::ofstream("product.xml") << "<?xml?><P><Product Family=\"F\" Version=\"7.1&#0;\"/></P>";
  std::ofstream("core.xml")
      << "<?xml?><kDVR><Memory Throttling=\"0\" MaxGopLen=\"2000\"/><Modules><Module>"
         "<Plugin ID=\"-2147483648\" LogLevel=\"75\"/></Module></Modules></kDVR>";
  for (int start = 0; start < 3; ++start) {
    LogSink::Seams seams;
    seams.outputFd = logFd_;
    core_ = std::make_unique<DvrCore>("korvacore", seams);
    gCore = core_.get();
    core_->loadConfiguration();
    EXPECT_EQ(core_->coreVersion, std::string_view("7.1\0", 4));
    EXPECT_FALSE(core_->throttleEnabled.load()) << start;
    EXPECT_EQ(core_->maxGopLen.load(), 2000) << start;
    EXPECT_EQ(core_->logLevels[0].load(), 75) << start;
    core_->publishStatusDocument();
  }
  EXPECT_NE(coreXml().find("Name=\"Core\" Version=\"7.1\">"), std::string::npos) << coreXml();
  EXPECT_NE(lastDocument(kTypeConfig).find("<Product Family=\"F\" Version=\"7.1\"/>"),
            std::string::npos);
}

// Writing core.xml goes to the memory card; posts of other threads must not wait for it.
TEST_F(StatusDocumentsTest, PostsGoOnWhileCoreXmlIsWritten) {
  std::future<int> post;
  gWhileRenaming = [&] {
    post = std::async(std::launch::async, [&] {
      auto alarm = record(kTypeAlarm, kFlagLive, makeAddress(0x21), "a");
      return core_->handleEvent(alarm);
    });
    // Bounded only so that a post stuck behind the file fails the test instead of hanging it.
    EXPECT_EQ(post.wait_for(std::chrono::seconds(20)), std::future_status::ready);
  };
  core_->publishStatusDocument();
  gWhileRenaming = nullptr;
  EXPECT_EQ(post.get(), kPostAccepted);
  EXPECT_EQ(queued().back().type, kTypeAlarm);
}

TEST_F(StatusDocumentsTest, TheMemoryDocumentTellsWhetherThrottlingIsActive) {
  core_->steadyNanos = [] { return int64_t{5'123'456'789}; };
  core_->publishMemoryDocument();
  EXPECT_EQ(lastDocument(kTypeAlarm),
            "<?xml?><kDVR><Memory ID=\"-2147483648\" Throttling=\"0\" Time=\"5\" "
            "mseTime=\"5123\"/></kDVR>");
  core_->throttling = true;
  core_->publishMemoryDocument();
  EXPECT_NE(lastDocument(kTypeAlarm).find("Throttling=\"1\""), std::string::npos);
  EXPECT_FALSE(fs::exists("core.xml"));
}

}  // namespace
}  // namespace kv::core
