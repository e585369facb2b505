// The korvacore executable in a staging directory of its own, started with one end of a socket
// pair as its pipe while the test plays the supervisor on the other end; a stop that doesn't
// finish in time prints every thread's stack.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/Process.h"
#include "tests/support/TracedPlugins.h"

namespace kv::test {

// A whole number from the environment, `fallback` when unset or empty.
inline long envNumber(const char* name, long fallback) {
  const char* text = std::getenv(name);
  return text != nullptr && *text != '\0' ? std::strtol(text, nullptr, 10) : fallback;
}

// The emulator and the sanitizers make the core many times slower.
inline bool slowBuild() {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  return true;
#else
  return !std::string(KV_EMULATOR).empty();
#endif
}

inline std::string readText(const std::filesystem::path& path) {
  std::ifstream file(path, std::ios::binary);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

// "key value" lines.
inline std::map<std::string, long long> readReport(const std::filesystem::path& path) {
  std::map<std::string, long long> values;
  std::ifstream file(path);
  std::string key;
  long long value = 0;
  while (file >> key >> value) values[key] = value;
  return values;
}

class StagedCore {
 public:
  explicit StagedCore(const std::string& name)
      : dir_(std::filesystem::temp_directory_path() /
             ("kv_" + name + "_" + std::to_string(getpid()))) {
    namespace fs = std::filesystem;
    fs::remove_all(dir_);
    fs::create_directories(dir_ / "plugins");
    fs::create_directories(dir_ / "protected-plugins");
    fs::copy_file(KV_KORVACORE, dir_ / "korvacore");
    fs::copy_file(testPluginPath("id_plugin"), dir_ / "plugins" / "LogPI.so");
  }
  // A core still running (a test that stopped early) is killed before its directory goes.
  ~StagedCore() {
    if (child_ != nullptr) {
      child_->signal(SIGKILL);
      child_->wait(std::chrono::seconds(10));
    }
    closePipe();
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }

  const std::filesystem::path& dir() const { return dir_; }

  // A copy of test plugin `variant` as plugins/<fileName> with `conf` beside it.
  void addPlugin(const std::string& variant, const std::string& fileName, const std::string& conf) {
    std::filesystem::copy_file(testPluginPath(variant), dir_ / "plugins" / fileName);
    std::ofstream(dir_ / "plugins" / (fileName + ".conf")) << conf;
  }

  // `environment`: variables set for the core on top of the test's own.
  void start(std::vector<std::pair<std::string, std::string>> environment = {}) {
    closePipe();
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair_), 0);
    ProcessOptions options;
    options.workingDir = dir_.string();
    options.fds = {{pair_[0], 3}};
    // Lets the test's debugger look at the core where ptrace is limited to ancestors.
    options.inChild = [environment] {
      prctl(PR_SET_PTRACER, PR_SET_PTRACER_ANY, 0, 0, 0);
      for (const auto& [name, value] : environment) setenv(name.c_str(), value.c_str(), 1);
    };
    child_ = std::make_unique<ChildProcess>(KV_EMULATOR, (dir_ / "korvacore").string(),
                                            std::vector<std::string>{"3"}, options);
    ::close(pair_[0]);
    pair_[0] = -1;
  }

  ChildProcess& child() { return *child_; }
  int supervisorFd() const { return pair_[1]; }

  // Waits up to `limit` for the core to end; if it doesn't, every thread's stack goes into the
  // failure and the core is killed. The result of a core that ended.
  ProcessResult finish(std::chrono::seconds limit) {
    if (!child_->endsWithin(limit)) {
      ADD_FAILURE() << "the core did not finish within " << limit.count() << " s\n"
                    << stacks(child_->pid()) << "\noutput so far:\n"
                    << tail(child_->outputSoFar(), 20000);
    }
    auto result = child_->wait(std::chrono::seconds(0));
    child_.reset();
    return result;
  }

  void closePipe() {
    for (int& fd : pair_) {
      if (fd >= 0) ::close(fd);
      fd = -1;
    }
  }

  static std::string tail(const std::string& text, size_t keep) {
    return text.size() <= keep ? text : "..." + text.substr(text.size() - keep);
  }

 private:
  static std::string stacks(pid_t pid) {
    const std::string command =
        "gdb -p " + std::to_string(pid) + " -batch -ex 'thread apply all bt' 2>&1";
    std::string text;
    if (FILE* pipe = popen(command.c_str(), "r")) {
      char buffer[4096];
      for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) text.append(buffer, n);
      pclose(pipe);
    }
    return text.empty() ? "(no stacks: gdb missing?)" : text;
  }

  std::filesystem::path dir_;
  int pair_[2] = {-1, -1};
  std::unique_ptr<ChildProcess> child_;
};

}  // namespace kv::test
