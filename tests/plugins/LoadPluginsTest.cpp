// Finding, ordering and loading plugin files in a real directory tree.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "plugins/PluginFiles.h"
#include "tests/support/CoreFixture.h"
#include "tests/support/TracedPlugins.h"

namespace kv::core {
namespace {

namespace fs = std::filesystem;

class LoadPluginsTest : public test::CoreTest {
 protected:
  void SetUp() override {
    CoreTest::SetUp();
    fs::create_directories(dir_ / "protected-plugins");
  }

  // An empty regular file: enough for the scan.
  void touch(const fs::path& relative) { std::ofstream(dir_ / relative) << "x"; }

  // A copy of the journaling file plugin with its configuration beside it.
  void addFilePlugin(const fs::path& relative, const std::string& conf) {
    fs::copy_file(test::testPluginPath("file_plugin"), dir_ / relative);
    std::ofstream(dir_ / (relative.string() + ".conf")) << conf;
  }

  std::vector<std::string> scannedNames() {
    std::vector<std::string> names;
    for (const auto& path : scanPluginFiles(dir_)) {
      names.push_back(fs::path(path).lexically_relative(dir_).string());
    }
    return names;
  }

  std::vector<std::string> journal() {
    std::ifstream file(dir_ / "journal.txt");
    std::vector<std::string> lines;
    for (std::string line; std::getline(file, line);) lines.push_back(line);
    return lines;
  }

  bool logged(const std::string& text) {
    for (const auto& line : logLines()) {
      if (line.find(text) != std::string::npos) return true;
    }
    return false;
  }

  std::vector<std::string> loadedNames() {
    std::vector<std::string> names;
    for (const auto& plugin : core_->plugins) names.push_back(plugin->fileName());
    return names;
  }
};

TEST_F(LoadPluginsTest, TheScanPicksCandidatesAndOrdersThem) {
  touch("protected-plugins/a.so");
  touch("protected-plugins/LogPI.so");
  touch("protected-plugins/c.so");
  touch("plugins/a.so");      // taken from protected-plugins instead
  touch("plugins/LogPI.so");  // the log plugin is loaded on its own
  touch("plugins/logpi.so");  // the exclusion is case-sensitive
  touch("plugins/A.SO");      // the extension is case-sensitive
  touch("plugins/B.so");
  touch("plugins/notes.txt");
  touch("plugins/m_xDVRpi.so");
  fs::create_directories(dir_ / "plugins" / "x.so");
  fs::create_symlink(dir_ / "protected-plugins" / "c.so", dir_ / "plugins" / "y.so");
  fs::create_symlink(dir_ / "nowhere.so", dir_ / "plugins" / "dangling.so");
  EXPECT_EQ(scannedNames(), (std::vector<std::string>{
                                "plugins/m_xDVRpi.so", "protected-plugins/a.so", "plugins/B.so",
                                "protected-plugins/c.so", "plugins/logpi.so", "plugins/y.so"}));

  // Missing directories give nothing and say nothing.
  fs::remove_all(dir_ / "plugins");
  fs::remove_all(dir_ / "protected-plugins");
  EXPECT_TRUE(scanPluginFiles(dir_).empty());
  EXPECT_TRUE(logLines().empty());
}

TEST_F(LoadPluginsTest, LoadingKeepsFailuresRefusesDuplicatesAndPutsSixFirst) {
  core_->logLevels[0] = 0;
  addFilePlugin("plugins/Cam.Foo.so", "address=0x00120000\nworker=1\n");
  addFilePlugin("plugins/dup.so", "address=0x00121234\n");
  addFilePlugin("plugins/five.so", "address=0x00000005\n");
  addFilePlugin("plugins/logpi.so", "address=0x00110000\n");
  addFilePlugin("protected-plugins/six.so",
                "address=" + std::to_string(makeAddress(kPluginIdLoadedFirst)) + "\n");
  addFilePlugin("plugins/zero.so", "address=0x80000000\n");
  touch("plugins/broken.so");
  core_->loadPlugins();

  EXPECT_EQ(loadedNames(),
            (std::vector<std::string>{"six.so", "Cam.Foo.so", "five.so", "logpi.so", "zero.so"}));
  ASSERT_EQ(core_->failedPlugins.size(), 1u);
  EXPECT_EQ(core_->failedPlugins[0]->fileName(), "broken.so");
  EXPECT_TRUE(logged("core\033[0m Failed to load plugin broken.so: "));
  EXPECT_TRUE(logged("pluginId 12 already loaded from Cam.Foo.so trying to load dup.so"));
  EXPECT_TRUE(logged("Loaded plugin 12:Cam"));
  EXPECT_TRUE(logged("Loaded plugin 06:six"));
  EXPECT_FALSE(logged("Loaded plugin 12:dup"));

  // Names for log lines: lower-case stems; ID 0 is taken by both 0x00000005 and the core's
  // address, which don't collide, and the later one names it.
  EXPECT_EQ(core_->logSink.pluginName(0x12), "cam.foo");
  EXPECT_EQ(core_->logSink.pluginName(0x11), "logpi");
  EXPECT_EQ(core_->logSink.pluginName(0), "zero");

  // The refused plugin is unloaded right after its load; worker threads start after all loads.
  for (const auto& plugin : core_->plugins) plugin->Unload();
  auto lines = journal();
  std::erase_if(lines, [](const std::string& line) { return line.ends_with(" Loading"); });
  ASSERT_GE(lines.size(), 7u);
  const std::vector<std::string> loads(lines.begin(), lines.begin() + 7);
  EXPECT_EQ(loads, (std::vector<std::string>{"Cam.Foo.so Load", "dup.so Load", "dup.so Unload",
                                             "five.so Load", "logpi.so Load", "six.so Load",
                                             "zero.so Load"}));
  const auto at = [&](const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) - lines.begin();
  };
  EXPECT_LT(at("Cam.Foo.so Worker"), at("Cam.Foo.so Unload"));  // joined before Unload
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "Cam.Foo.so Worker"), 1);
}

// A plugin thread posting searches from its Load on reads the plugin list while the first thread
// loads, opens, sorts for closing and closes 64 other plugins: it must only ever see a whole list.
// A race, so the whole life runs several times.
TEST_F(LoadPluginsTest, SearchesFromAPluginThreadRaceTheWholePluginLife) {
  fs::copy_file(test::testPluginPath("search_poster"), dir_ / "protected-plugins" / "0poster.so");
  for (int i = 0; i < 64; ++i) {
    addFilePlugin(fs::path("plugins") / ("p" + std::to_string(i) + ".so"),
                  "address=" + std::to_string((0x20 + i) << 16) +
                      "\ncloseOrder=" + std::to_string(i % 3) + "\n");
  }
  addFilePlugin("plugins/LogPI.so", "address=0x007F0000\n");
  for (int round = 0; round < 4; ++round) {
    if (round > 0) newCore();
    core_->logPlugin = Plugin::Create((dir_ / "plugins/LogPI.so").string(), &postEvent, "");
    core_->logPlugin->Open();
    core_->loadPlugins();
    core_->openPlugins();
    core_->closePlugins();
    core_->unloadPlugins();
    EXPECT_EQ(core_->plugins.size(), 66u);
    EXPECT_GT(core_->counters.searchesRequested.load(), 0u);
  }
}

// The name for log lines drops the last extension only, whatever comes before it.
TEST_F(LoadPluginsTest, LogNamesAreFileNamesWithoutTheLastExtension) {
  addFilePlugin("plugins/.so", "address=0x00130000\n");
  addFilePlugin("plugins/A.B.C.so", "address=0x00140000\n");
  core_->loadPlugins();
  EXPECT_EQ(loadedNames(), (std::vector<std::string>{".so", "A.B.C.so"}));
  EXPECT_EQ(core_->logSink.pluginName(0x13), "");
  EXPECT_EQ(core_->logSink.pluginName(0x14), "a.b.c");
}

}  // namespace
}  // namespace kv::core
