// Helpers shared by the fuzz targets: failing loudly, cutting an input into parts, and a private
// working directory for the targets that read and write files.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace kv::fuzz {

// A broken property: abort, so that libFuzzer keeps the input as a crash.
[[noreturn]] inline void fail(const char* target, const std::string& what) {
  std::fprintf(stderr, "%s: %s\n", target, what.c_str());
  std::fflush(stderr);
  std::abort();
}

// Seeds stay readable: an input is its parts, one after the other, each separator a line of
// its own.
inline constexpr std::string_view kPartSeparator = "\n----\n";

inline std::vector<std::string_view> splitParts(std::string_view input) {
  std::vector<std::string_view> parts;
  for (;;) {
    const size_t at = input.find(kPartSeparator);
    parts.push_back(input.substr(0, at));
    if (at == std::string_view::npos) return parts;
    input.remove_prefix(at + kPartSeparator.size());
  }
}

// Makes a new directory of this process the working directory, in memory where the system has
// it, so that the files the targets write cost no disk; it is removed when the process exits
// normally. Once per process. Aborts when it can't.
inline void enterPrivateDir(const char* target) {
  static std::string dir;
  struct stat status {};
  const std::string base = ::stat("/dev/shm", &status) == 0 ? "/dev/shm" : "/tmp";
  dir = base + "/kv_" + target + "_XXXXXX";
  if (::mkdtemp(dir.data()) == nullptr || ::chdir(dir.c_str()) != 0) {
    fail(target, "no private working directory under " + base);
  }
  std::atexit([] {
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
  });
}

}  // namespace kv::fuzz
