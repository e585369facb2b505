// Optional settings of a sample plugin: "key=value" lines in "<library path>.conf" beside it.
//
// Blank lines and lines starting with '#' are skipped, as are lines without '='; spaces around keys
// and values are ignored; a key given twice keeps its last value. A missing file means defaults.
// A PluginSettings is read once (in Load) and then only read: const access from any thread.
#pragma once

#include <dlfcn.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <istream>
#include <map>
#include <string>
#include <string_view>

namespace kv::samples {

// The path of the shared object that holds `symbol`, or "" when the loader can't tell. Pass the
// address of one of the plugin's own functions: the core loads plugins from several directories,
// and this is how a plugin finds its own.
inline std::string libraryPathOf(const void* symbol) {
  Dl_info info{};
  if (dladdr(symbol, &info) == 0 || info.dli_fname == nullptr) return {};
  return info.dli_fname;
}

class PluginSettings {
 public:
  static PluginSettings parse(std::istream& in) {
    PluginSettings settings;
    std::string line;
    while (std::getline(in, line)) {
      const std::string_view text = trim(line);
      if (text.empty() || text.front() == '#') continue;
      const size_t equals = text.find('=');
      if (equals == std::string_view::npos) continue;
      settings.values_[std::string(trim(text.substr(0, equals)))] =
          std::string(trim(text.substr(equals + 1)));
    }
    return settings;
  }

  // The settings in the file at `path`; none when it can't be read.
  static PluginSettings load(const std::string& path) {
    std::ifstream in(path);
    return parse(in);
  }

  // The decimal value of `key`, clamped to [min, max]; `fallback` when the key is missing or its
  // value is not a whole non-negative number.
  uint32_t number(std::string_view key, uint32_t fallback, uint32_t min, uint32_t max) const {
    const auto found = values_.find(key);
    if (found == values_.end()) return fallback;
    const std::string& text = found->second;
    if (text.empty() || text.front() < '0' || text.front() > '9') return fallback;
    char* end = nullptr;
    errno = 0;
    const unsigned long long value = std::strtoull(text.c_str(), &end, 10);
    if (*end != '\0') return fallback;
    if (errno == ERANGE || value > max) return max;
    return value < min ? min : static_cast<uint32_t>(value);
  }

 private:
  static std::string_view trim(std::string_view text) {
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string_view::npos) return {};
    return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
  }

  std::map<std::string, std::string, std::less<>> values_;
};

}  // namespace kv::samples
