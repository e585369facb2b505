// Discovery of plugin files beside the executable.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace kv::core {

// The candidate plugin files in "protected-plugins", then "plugins", inside `baseDir`: regular
// files (links followed) named "*.so", except "LogPI.so"; a name found in both directories is
// taken from "protected-plugins". Ordered with paths containing "xDVRpi" first, then by file name
// ignoring ASCII case. Missing directories contribute nothing; an error while listing one skips
// the rest of it and is logged. First thread.
std::vector<std::string> scanPluginFiles(const std::filesystem::path& baseDir);

}  // namespace kv::core
