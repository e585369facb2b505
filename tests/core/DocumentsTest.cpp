// The status and memory documents of a running korvacore, as core.xml and as the events a plugin
// receives, compared byte for byte with the load and open times masked.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

#include "tests/support/IpcPackets.h"
#include "tests/support/Process.h"
#include "tests/support/TracedPlugins.h"

namespace kv::core {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

class DocumentsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("kv_docs_" + std::to_string(getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_ / "plugins");
    fs::copy_file(KV_KORVACORE, dir_ / "korvacore");
    fs::copy_file(test::testPluginPath("id_plugin"), dir_ / "plugins" / "LogPI.so");
    fs::copy_file(test::testPluginPath("file_plugin"), dir_ / "plugins" / "rec.so");
    std::ofstream(dir_ / "plugins" / "rec.so.conf") << "address=0x00210000\nrecord=1\n";
    fs::copy_file(test::tracePluginPath("no_close"), dir_ / "plugins" / "noclose.so");
    std::ofstream(dir_ / "plugins" / "a.b.c.so") << "not a library";
    std::ofstream(dir_ / "plugins" / "broken.so") << "not a library either";
    std::ofstream(dir_ / "product.xml") << "<?xml?><Info><Product Family=\"Acme &amp; Co\" "
                                           "Version=\"9.9\"/></Info>";
  }
  void TearDown() override {
    if (pipe_ >= 0) ::close(pipe_);
    fs::remove_all(dir_);
  }

  std::unique_ptr<test::ChildProcess> start() {
    int pair[2];
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair), 0);
    test::ProcessOptions options;
    options.workingDir = dir_.string();
    options.fds = {{pair[0], 3}};
    auto child = std::make_unique<test::ChildProcess>(KV_EMULATOR, (dir_ / "korvacore").string(),
                                                      std::vector<std::string>{"3"}, options);
    ::close(pair[0]);
    pipe_ = pair[1];
    return child;
  }

  void sendToCore(const std::string& packet) {
    ASSERT_EQ(send(pipe_, packet.data(), packet.size(), 0), static_cast<ssize_t>(packet.size()));
  }

  // The documents rec.so received, "<type> <payload>" each, once `count` have arrived.
  std::vector<std::string> receivedDocuments(size_t count) {
    std::vector<std::string> lines;
    for (int i = 0; i < 6000 && lines.size() < count; ++i) {
      lines.clear();
      std::ifstream file(dir_ / "plugins" / "rec.so.events");
      for (std::string line; std::getline(file, line);) lines.push_back(mask(line));
      std::this_thread::sleep_for(10ms);
    }
    return lines;
  }

  std::string coreXml() {
    std::ifstream file(dir_ / "core.xml", std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    return mask(text.str());
  }

  static std::string mask(const std::string& text) {
    static const std::regex times("(TimeMs|Time|mseTime)=\"[0-9]+\"");
    return std::regex_replace(text, times, "$1=\"T\"");
  }

  // What the loader says about a file that isn't a library, as the core's loader says it.
  std::string loaderError(const std::string& name) {
    const std::string path = (dir_ / "plugins" / name).string();
    EXPECT_EQ(dlopen(path.c_str(), RTLD_NOW), nullptr);
    return dlerror();
  }

  // The status document with tabs and line breaks when `indented`, compact otherwise.
  std::string statusDocument(bool indented, bool product, const std::string& library) {
    const std::string tab = indented ? "\t" : "";
    const std::string nl = indented ? "\n" : "";
    const auto plugin = [&](const std::string& id, const std::string& file, const char* code) {
      return tab + tab + tab + "<Plugin ID=\"" + id + "\" Filename=\"" + file +
             "\" Opened=\"1\" LoadTimeMs=\"T\" OpenTimeMs=\"T\" OpenCode=\"" + code +
             "\" LogLevel=\"-1\" LogLevelDefault=\"-1\"/>" + nl;
    };
    return "<?xml?>" + nl + "<kDVR>" + nl + tab +
           "<Memory ID=\"-2147483648\" Throttling=\"1\" MaxGopLen=\"1050\"/>" + nl + tab +
           "<Modules TotalLoadTimeMs=\"T\" TotalOpenTimeMs=\"T\">" + nl + tab + tab +
           "<Module ID=\"-2147483648\" Name=\"Core\" Version=\"9.9\">" + nl +
           plugin("-2147483648", "korvacore", "0") + plugin("4325376", "noclose.so", "-102") +
           plugin("2162688", "rec.so", "0") + plugin("8323072", "LogPI.so", "0") + library +
           plugin("1", "a.b.c.so", "79") + plugin("2", "broken.so", "79") + tab + tab +
           "</Module>" + nl + tab + tab + "<Module ID=\"1\" Name=\"a\" Version=\"" +
           loaderError("a.b.c.so") + "\"/>" + nl + tab + tab +
           "<Module ID=\"2\" Name=\"broken\" Version=\"" + loaderError("broken.so") + "\"/>" + nl +
           tab + "</Modules>" + nl +
           (product ? tab + "<Product Family=\"Acme &amp; Co\" Version=\"9.9\"/>" + nl : "") +
           "</kDVR>" + nl + nl;
  }

  fs::path dir_;
  int pipe_ = -1;
};

TEST_F(DocumentsTest, TheCoreDescribesItselfToThePluginsAndInCoreXml) {
  auto core = start();
  auto documents = receivedDocuments(2);
  ASSERT_EQ(documents.size(), 2u);
  // The memory document first (posted before any plugin loaded): not throttling right now,
  // while the status document says throttling is enabled.
  EXPECT_EQ(documents[0],
            "4 <?xml?><kDVR><Memory ID=\"-2147483648\" Throttling=\"0\" Time=\"T\" "
            "mseTime=\"T\"/></kDVR>");
  EXPECT_EQ(documents[1], "256 " + statusDocument(false, true, ""));
  EXPECT_EQ(coreXml(), statusDocument(true, false, ""));

  // Once the supervisor gave its version, a change of log level republishes with Library.
  sendToCore(test::ipcPacket(kIpcTypeSupervisorInfo, 0,
                             std::string("korvad\0"
                                         "1.2.3",
                                         12)));
  sendToCore(test::ipcPacket(
      0x100, ipcRoute(0x21),
      "<kDVR><Modules Delta=\"1\"><Module><Plugin ID=\"2162688\" LogLevel=\"50\"/></Module>"
      "</Modules></kDVR>"));
  documents = receivedDocuments(3);
  ASSERT_EQ(documents.size(), 3u);
  const std::string library = "<Library Name=\"korvad\" Filename=\"korvad\" Version=\"1.2.3\"/>";
  std::string expected = statusDocument(false, true, library);
  const auto recLevel = expected.find("LogLevel=\"-1\"", expected.find("Filename=\"rec.so\""));
  expected.replace(recLevel, 13, "LogLevel=\"50\"");
  EXPECT_EQ(documents[2], "256 " + expected);
  EXPECT_NE(coreXml().find("\t\t\t" + library + "\n"), std::string::npos);
  EXPECT_EQ(coreXml().find("<Product"), std::string::npos);

  sendToCore(test::ipcPacket(kIpcTypeClose, 0, ""));
  EXPECT_EQ(core->wait().exitCode, 0);
}

}  // namespace
}  // namespace kv::core
