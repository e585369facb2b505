#include "tests/support/CoreFixture.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <ctime>

#include "tests/support/TracedPlugins.h"

namespace kv::test {

void CoreTest::SetUp() {
  setenv("TZ", "UTC0", 1);
  tzset();
  static std::atomic<int> serial{0};
  dir_ = std::filesystem::temp_directory_path() /
         ("kv_core_" + std::to_string(getpid()) + "_" + std::to_string(serial++));
  std::filesystem::create_directories(dir_ / "plugins");
  logFd_ = ::open((dir_ / "log.txt").c_str(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  ASSERT_GE(logFd_, 0);
  newCore();
}

void CoreTest::newCore() {
  if (core_ != nullptr) {
    for (const auto& plugin : core_->plugins) plugin->WaitForSearches();
    core_.reset();
  }
  core::LogSink::Seams seams;
  seams.outputFd = logFd_;
  seams.syslogCritical = [this](std::string_view text) {
    std::lock_guard lock(syslogMutex_);
    syslog_.emplace_back(text);
  };
  seams.wallClockNanos = [] { return kLogClockNanos; };
  core_ = std::make_unique<core::DvrCore>((dir_ / "korvacore").string(), seams);
  core::gCore = core_.get();
}

void CoreTest::enterDir() {
  previousDir_ = std::filesystem::current_path();
  std::filesystem::current_path(dir_);
}

void CoreTest::TearDown() {
  if (!previousDir_.empty()) std::filesystem::current_path(previousDir_);
  if (core_ != nullptr) {
    for (const auto& plugin : core_->plugins) plugin->WaitForSearches();
  }
  core_.reset();
  core::gCore = nullptr;
  if (logFd_ >= 0) ::close(logFd_);
  std::filesystem::remove_all(dir_);
}

std::shared_ptr<core::Plugin> CoreTest::addHookPlugin(std::string_view variant, PluginHooks& hooks,
                                                      std::string fileName) {
  static std::atomic<int> copies{0};
  if (fileName.empty()) fileName = std::string(variant) + "_" + std::to_string(copies++) + ".so";
  const auto copy = dir_ / "hooked" / fileName;
  std::filesystem::create_directories(copy.parent_path());
  std::filesystem::copy_file(testPluginPath(variant), copy);
  // Install the hooks into this copy before the core calls its Load.
  void* handle = dlopen(copy.c_str(), RTLD_NOW);
  EXPECT_NE(handle, nullptr) << dlerror();
  reinterpret_cast<InstallHooksFn>(dlsym(handle, kInstallHooks))(&hooks);
  auto plugin = core::Plugin::Create(copy.string(), &core::postEvent, core_->systemId);
  dlclose(handle);
  EXPECT_EQ(plugin->loadCode(), 0) << plugin->errorText();
  plugin->Open();
  core_->plugins.push_back(plugin);
  return plugin;
}

core::EventParms CoreTest::record(uint32_t type, uint32_t flags, uint32_t source,
                                  std::string_view payload) {
  return core::makeEventRecord(type, flags, source, payload.empty() ? nullptr : payload.data(),
                               payload.size());
}

std::vector<std::string> CoreTest::logLines() const {
  std::string text;
  char buffer[4096];
  for (off_t offset = 0;;) {
    const ssize_t got = ::pread(logFd_, buffer, sizeof buffer, offset);
    if (got <= 0) break;
    text.append(buffer, static_cast<size_t>(got));
    offset += got;
  }
  std::vector<std::string> lines;
  for (size_t start = 0; start < text.size();) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

std::vector<std::string> CoreTest::syslogCalls() const {
  std::lock_guard lock(syslogMutex_);
  return syslog_;
}

std::vector<core::EventParms> CoreTest::queued() {
  std::lock_guard lock(core_->queue.queueMutex);
  return {core_->queue.eventQueue.begin(), core_->queue.eventQueue.end()};
}

}  // namespace kv::test
