// Files that survive a crash or a power cut at any moment: new content goes to "<path>.pending",
// written synchronously, then is renamed over the path; reading promotes a complete pending copy
// left by an interrupted rename and ignores a broken one.
//
// Every failure throws std::runtime_error whose message is the whole user-visible text, such as
// "Failed to open core.xml - No such file or directory". Any thread; two writers of one path must
// be serialised by the caller.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace kv::core {

// Whether `text` is XML as far as these files are concerned: longer than 4 bytes, starting "<?xml".
bool isXmlText(std::string_view text);

// The whole content of the file at `path`.
std::string readFile(const std::string& path);

// Stores `length` bytes at `data` under `path` through the pending file. A failed rename leaves
// the complete pending file, which the next read promotes.
void writeFileSafely(const std::string& path, const char* data, size_t length);

// writeFileSafely for an XML text; refuses anything else before touching the disk.
void writeXmlFile(const std::string& path, const char* data, size_t length);

// The content of the file, or of its complete pending copy (which then takes the file's place),
// checked to be XML that parses.
std::string readXmlFile(const std::string& path);

}  // namespace kv::core
