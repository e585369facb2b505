// Entry point of korvacore: `korvacore <pipe>`, where <pipe> is the descriptor of the sequenced-
// packet socket to the supervisor; "-h..." prints the version and usage.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

#include "core/DvrCore.h"
#include "core/Version.h"

namespace {

// The pipe descriptor from the arguments: the first one that doesn't start with '-'; -1 without.
// Exits with 0 after printing the help when an argument's second character is 'h'.
int32_t scanArguments(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const char* argument = argv[i];
    if (argument[0] != '-') return std::atoi(argument);
    if (argument[1] == 'h') {
      std::fprintf(stderr, "core version %s\nUsage: %s <pipe>\n", kv::core::kCoreVersion, argv[0]);
      std::exit(0);
    }
  }
  return -1;
}

}  // namespace

int main(int argc, char** argv) {
  // A reader of standard output that goes away must not kill the core: a failed write then loses
  // its line like any other short write. Set before any thread exists, so every thread inherits it.
  std::signal(SIGPIPE, SIG_IGN);
  const int32_t pipeFd = scanArguments(argc, argv);
  std::error_code error;
  const auto exePath = std::filesystem::canonical("/proc/self/exe", error);
  if (error) {
    std::fputs("failed to find canonical path", stderr);
    return 1;
  }
  auto* core = new kv::core::DvrCore(exePath.string());
  kv::core::gCore.store(core);
  if (!core->Init(pipeFd)) {
    std::fputs("failed to initialize core\n", stderr);
    return 2;
  }
  core->Run();
  delete core;
  kv::core::gCore.store(nullptr);
  return 0;
}
