#include "plugins/PluginFiles.h"

#include <strings.h>

#include <algorithm>
#include <set>
#include <system_error>

#include "log/CoreLog.h"

namespace kv::core {
namespace {

namespace fs = std::filesystem;

constexpr const char* kPluginDirectories[] = {"protected-plugins", "plugins"};
constexpr std::string_view kExcludedName = "LogPI.so";
constexpr std::string_view kMarker = "xDVRpi";

bool hasPluginExtension(const std::string& name) {
  const auto dot = name.rfind('.');
  return dot != std::string::npos && name.compare(dot, std::string::npos, ".so") == 0;
}

bool isCandidate(const fs::path& path, const std::set<std::string>& taken) {
  const std::string name = path.filename().string();
  if (!hasPluginExtension(name) || name == kExcludedName || taken.count(name) != 0) return false;
  std::error_code error;
  return fs::is_regular_file(path, error);  // follows links; unreadable status is no candidate
}

// Marked paths first, then file names without regard to ASCII case.
bool loadsBefore(const std::string& a, const std::string& b) {
  const bool aMarked = a.find(kMarker) != std::string::npos;
  const bool bMarked = b.find(kMarker) != std::string::npos;
  if (aMarked != bMarked) return aMarked;
  return strcasecmp(fs::path(a).filename().c_str(), fs::path(b).filename().c_str()) < 0;
}

void scanDirectory(const fs::path& dir, std::set<std::string>& taken,
                   std::vector<std::string>& found) {
  std::error_code error;
  fs::directory_iterator it(dir, error);
  if (error) return;  // missing or unreadable: nothing from it
  for (; it != fs::directory_iterator(); it.increment(error)) {
    if (error) break;
    const fs::path& path = it->path();
    if (!isCandidate(path, taken)) continue;
    taken.insert(path.filename().string());
    found.push_back(path.string());
  }
  if (error) coreLog75("Failed to list plugin directory {}: {}", dir.string(), error.message());
}

}  // namespace

std::vector<std::string> scanPluginFiles(const fs::path& baseDir) {
  std::set<std::string> taken;
  std::vector<std::string> found;
  for (const char* name : kPluginDirectories) scanDirectory(baseDir / name, taken, found);
  std::stable_sort(found.begin(), found.end(), loadsBefore);
  return found;
}

}  // namespace kv::core
